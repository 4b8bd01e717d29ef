// Thread-per-connection service: each accepted connection gets a record of
// the context's pool, beginning with its net_conn, and a named thread that
// serves it. A record is released exactly once: by its own thread through
// sock_tcp_ctx_close, or, once sock_tcp_ctx_exit has set its stop state to
// 2, by the stopper alone. The debug shell's sessions run here.
#pragma once

#include <cstdint>

#include "libnet/libnet.h"
#include "libnet/sock_srv.h"
#include "libpal/memory/lbuf.h"
#include "libpal/network/os_socket.h"

struct sock_ctx;

// The head of every connection record; the service's own fields follow.
struct sock_ctx_conn {
    net_conn conn;  // type 0, handle the accepted socket, thread its thread
    sock_ctx *ctx;
};

struct sock_tcp_ctx_param {
    const char *name;  // every connection thread's name
    uint32_t size;     // the record's size, at least sizeof(sock_ctx_conn)
    void (*close_proc)(void *rec);  // optional, before the record's socket closes
    int (*thread_proc)(void *rec);  // ends by calling sock_tcp_ctx_close
};

struct sock_ctx {
    char name[256];
    uint32_t size;
    void (*close_proc)(void *rec);
    int (*thread_proc)(void *rec);
    lbuf *pool;  // "sock_ctx"
    // Set when the thread that ran the exit serves a record of its own: that
    // record's close then frees the context.
    std::atomic<bool> exited;
    sock_refusals refused;  // connections that got no record or no thread
};

sock_ctx *sock_tcp_ctx_init(const sock_tcp_ctx_param *param);
// The new record with its thread started, or nullptr (the socket stays the
// caller's). A refusal is reported here, at most once a second with the count.
void *sock_tcp_ctx_open(sock_ctx *ctx, os_socket sock);
// On the record's own thread, as it ends.
void sock_tcp_ctx_close(sock_ctx *ctx, void *rec);
int sock_tcp_ctx_count(sock_ctx *ctx);
// Stops every connection (stop state 2 and its socket shut down; all are
// waited for until one deadline, 1000 ms from the call; one still running
// then is never cancelled and keeps its record, socket and the context),
// releases the records of the others and frees the context. Called on a
// connection's own thread, that thread is neither waited for nor stopped,
// and its record, released by its own close, frees the context last.
int sock_tcp_ctx_exit(sock_ctx *ctx);
// The same with the deadline given (os_tick_ms), a bound the caller shares
// with its other waits.
int sock_tcp_ctx_exit_by(sock_ctx *ctx, uint64_t deadline);
