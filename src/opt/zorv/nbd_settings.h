// The NBD settings of the process: where the NBD listener binds and whether
// exports open read-only. Written at start-up (defaults, configuration file,
// -s keys) and by the shell's set-variable "nbd_readonly_flag"; read by the
// NBD server start and, once per session, by each client thread, so a change
// reaches only clients that connect afterwards.
#pragma once

#include <cstdint>

// Plain ints, so that the -s key table and the set-variable can point at
// them; readers after start-up load readonly with std::atomic_ref.
struct nbd_settings {
    char *addr;    // heap text; nullptr or empty: all addresses
    int port;
    int readonly;  // 1 every export read-only, 0 read-write
};

extern nbd_settings g_nbd_settings;

// The defaults: all addresses, port 10809, read-only. 0.
int nbdsrv_init();
