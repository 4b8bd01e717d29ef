// The NBD server: its settings, the listener, and the session that each
// client thread runs (fixed newstyle handshake, then one request at a time
// with simple replies). The daemon sets the settings and starts and stops
// the listener; sessions live in the client pool (cli_mgr.h). Calls return
// 0 on success and -1 on failure unless stated otherwise.
#pragma once

#include <cstdint>

struct nbd_client;

// One per process. The daemon writes it at start-up (defaults, the
// configuration file, -s keys); the shell's "nbd_readonly_flag" writes
// readonly at any time, and each client thread loads it once when it starts
// (std::atomic_ref), so a change reaches only later clients. Plain ints, so
// that the -s key table and the set-variable can point at them.
struct nbd_settings {
    char *addr;    // listen address list, nullptr or empty for all addresses
    int port;
    int readonly;  // 1: every export opens read-only, 0 read-write
};
extern nbd_settings g_nbd_settings;

// Defaults (127.0.0.1, port 10809, read-only) and the block layer's
// one-time set-up.
int nbdsrv_init();

// The listener "nbd" on addr (nullptr or "" for all addresses) and port.
int nbd_start_server(const char *addr, uint32_t port);
// The port the listener bound (the system's choice when port 0 was asked).
uint32_t nbd_server_port();
// Closes the listener; running sessions go on (cli_mgr_exit ends them).
int nbd_stop_server();
// Waits up to 2 s for the client pool's stop protocol to have finished.
int nbdsrv_wait_exit();

// A session, on its "clisrv" thread: copies the read-only setting, runs the
// handshake and the request loop, then returns the context to the pool.
int client_thread(void *arg);
// 0 when an export is open and transmission may start.
int negotiate(nbd_client *client);
void mainloop_threaded(nbd_client *client);
