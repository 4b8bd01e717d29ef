// The socket layer's process-wide set-up, run once by the platform start-up
// before any thread uses a socket.
#pragma once

// Ignores SIGPIPE for the whole process, so that a write to a peer that has
// gone fails with EPIPE instead of ending the process. Always true.
bool os_socket_init_env();
void os_socket_exit_env();
