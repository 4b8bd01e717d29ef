// Debug shell sessions: the command shell bound to one byte stream (the
// console on the main thread, one accepted TCP connection of the "netsh"
// service on its own "netsh_srv" thread, or a named pipe). The stream
// protocol: a command line in, ended by LF or NUL (CRs dropped, at most 8190
// bytes; a longer one is answered with an error, the rest of it is dropped up
// to its end and the session reads the next line); out, each executed
// command's output with CR LF line ends followed by one NUL, two after a
// command that flushes itself ("exit", "quit", "tlog", "stack_over",
// "thread_except"), none for a line that runs no command. What the commands
// of a "source" print is part of its output, ended by its one NUL; output is
// written as it comes, never held. The -e client (dbg_cli.h) speaks the same
// protocol.
#pragma once

#include <cstdint>

#include "libnet/libnet.h"
#include "libnet/sock_ctx.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_srv.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "libsh/libsh.h"

constexpr int DBGSH_LINE_SIZE = 8192;
constexpr int DBGSH_TIMEOUT_MS = 1000;  // the wait for more of a line once it began
// How long a stop of the TCP service waits for its sessions, all together.
constexpr int DBGSH_STOP_WAIT_MS = 1000;

// A TCP session item of the "netsh_srv" service: connection, service, shell.
struct dbgsh_item {
    sock_ctx_conn head;
    sh_ctx sh;
};

struct dbgsrv_handle {
    uint32_t kind;  // 0 TCP, 1 named pipe
    uint32_t port;
    sock_ctx *ctx;
    sock_server *srv;
    // Named pipe: the session of the "pipe_srv" thread and its server.
    sh_ctx sh;
    net_conn conn;
    os_thread *thread;
    os_name_pipe_srv *pipe;
};

struct debug_shell_param {
    const char *prompt;  // the console prompt; nullptr gives ">"
};

// Output operations of a session; out is the session's net_conn.
int dbgout_printf(void *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int dbgout_write(void *out, const void *text, int len);
// "\n" to "\r\n", trailing blanks removed, then written: bytes written or -1.
int dbgout_write_imp(net_conn *conn, const char *text);
int dbgout_flush(void *out);
// Why the session cannot go on: its connection stopped by the service's
// stop, or its peer gone (a write failed or timed out); nullptr while it can.
const char *dbgout_ended(void *out);

// Binds a context to a connection in a mode (SH_MODE_STDIO, _NET, _PIPE):
// 1000 ms time-out, the connection type of the mode, the three operations.
// -1 for another mode.
int dbgsh_srv_ctx_init(sh_ctx *ctx, net_conn *conn, uint32_t mode, uint64_t handle);
// Runs the read-execute loop until exit, quit, the end of input or a failed read.
int dbgsh_srv_imp(sh_ctx *ctx);
int dbgsh_srv_run(uint32_t mode, uint64_t handle);

// The console session on the calling thread. At the end of standard input it
// prints one line saying so, that the program goes on serving and how to stop
// it, then waits in one-second steps until the program's stopped flag is set.
int debug_shell_stdio_loop();
// The console session over a ";"-separated script; ends the process with 0
// when the script is used up.
int debug_shell_stdio_script(const char *script);
// Sets the console prompt (at most 31 characters; a longer one leaves ">").
int debug_shell_init(const debug_shell_param *param);

// The TCP debug shell service: start (address list, port; 0 or -1) and stop.
// The stop waits DBGSH_STOP_WAIT_MS for the sessions; _by until deadline
// (os_tick_ms), a stop's bound shared with other waits.
int debug_shell_server_init(const char *addrs, uint32_t port);
int debug_shell_server_exit();
int debug_shell_server_exit_by(uint64_t deadline);
// The port the running service listens on, 0 when stopped.
uint32_t debug_shell_server_port();
// port in/out: 0 asks the system for one and gets it back.
dbgsrv_handle *dbgsrv_tcp_open(const char *addrs, uint32_t *port);
// "tcp://host:port", or "pipe://./NAME": a named-pipe server (os_name_pipe.h)
// served by a "pipe_srv" thread, one client after the other. nullptr on
// failure, the name "stdio" and other schemes.
dbgsrv_handle *dbgsrv_open(const char *url);
// Stops the service and frees the handle; 0, or -1 for an unknown kind. A
// TCP service's sessions are waited for DBGSH_STOP_WAIT_MS, or until
// deadline (os_tick_ms).
int dbgsrv_close(dbgsrv_handle *h);
int dbgsrv_close_by(dbgsrv_handle *h, uint64_t deadline);
int accept_proc(os_socket sock, os_ipaddr *peer, void *udata);
int netsh_srv_thread(void *item);
int pipe_srv_thread(void *handle);

// A named-pipe session on the calling thread until "quit", "exit" or
// debug_shell_pipe_kill: its result, or -1 when the pipe cannot be opened
// or another one is being served.
int debug_shell_pipe_loop(const char *name);
// Ends the wait of the running debug_shell_pipe_loop, if any. 0.
int debug_shell_pipe_kill();

// The binary-record pipe server is not part of this system: init answers -1.
int debug_bsv_pipe_srv_init(const char *name);
int debug_bsv_pipe_srv_exit();
const char *debug_bsv_pipe_name();
