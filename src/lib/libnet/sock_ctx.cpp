// Thread-per-connection service. The pool's lock decides who releases a
// record: its own thread, in sock_tcp_ctx_close, unless the stopper has
// marked it (stop state 2) first. The stopper marks under the lock, then
// waits and releases outside it; a thread it cannot join in time is never
// cancelled, and keeps its record, socket and context for good.
#include "libnet/sock_ctx.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "libnet/sock_cli.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr int k_stop_wait_ms = 1000;

// The record the calling thread serves, so that an exit run from inside a
// session knows which record is its own.
thread_local void *t_current_rec = nullptr;

sock_ctx_conn *head_of(void *rec)
{
    return static_cast<sock_ctx_conn *>(rec);
}

int conn_thread(void *rec)
{
    t_current_rec = rec;
    sock_ctx *ctx = head_of(rec)->ctx;
    return ctx->thread_proc(rec);
}

// Close callback, socket, record. The thread handle is the caller's business.
void release_record(sock_ctx *ctx, void *rec)
{
    if (ctx->close_proc != nullptr)
        ctx->close_proc(rec);
    net_conn *conn = &head_of(rec)->conn;
    if (conn->handle != 0)
        net_close(conn);
    conn->handle = 0;
    lbuf_free(ctx->pool, rec);
}

// eno: the reason, 0 when the pool had no room for a record.
void report_refusal(sock_ctx *ctx, int eno)
{
    uint64_t count = 0;
    if (!sock_refusal_due(&ctx->refused, &count))
        return;
    ZLOG_ERR("%s: connection refused, no %s: %s (%llu refused since the last report)\n", ctx->name,
             eno != 0 ? "thread" : "memory for its record", os_errno_text(eno != 0 ? eno : ENOMEM),
             static_cast<unsigned long long>(count));
}

void ctx_free(sock_ctx *ctx)
{
    lbuf_exit(ctx->pool);
    ctx->~sock_ctx();
    os_free(ctx);
}

}  // namespace

sock_ctx *sock_tcp_ctx_init(const sock_tcp_ctx_param *param)
{
    PL_ASSERT_RET(param && param->thread_proc, nullptr);
    PL_ASSERT_RET(param->size >= sizeof(sock_ctx_conn), nullptr);
    void *mem = os_zalloc(sizeof(sock_ctx));
    if (mem == nullptr) {
        ZLOG_CRIT("os_list_init error\n");
        return nullptr;
    }
    auto *ctx = new (mem) sock_ctx{};
    lbuf_param lp = {};
    lp.name = "sock_ctx";
    lp.item_size = param->size;
    ctx->pool = lbuf_init(&lp);
    if (ctx->pool == nullptr) {
        ZLOG_CRIT("os_fixed_pool_init error\n");
        ctx->~sock_ctx();
        os_free(mem);
        return nullptr;
    }
    str_safecopy2(ctx->name, sizeof(ctx->name), param->name != nullptr ? param->name : "");
    ctx->size = param->size;
    ctx->close_proc = param->close_proc;
    ctx->thread_proc = param->thread_proc;
    return ctx;
}

void *sock_tcp_ctx_open(sock_ctx *ctx, os_socket sock)
{
    PL_ASSERT_RET(ctx && sock, nullptr);
    // Held until the handle is stored: the new thread's own close waits for
    // it, so the record is complete before it can be released.
    lbuf_lock(ctx->pool);
    void *rec = lbuf_slab_malloc0(ctx->pool);
    if (rec == nullptr) {
        lbuf_unlock(ctx->pool);
        report_refusal(ctx, 0);
        return nullptr;
    }
    sock_ctx_conn *head = new (rec) sock_ctx_conn{};
    head->conn.type = NET_SOCK_TYPE;
    head->conn.handle = sock;
    head->ctx = ctx;
    os_thread *t = os_thread_init(ctx->name, conn_thread, rec, 0);
    if (t == nullptr) {
        const int eno = errno;
        lbuf_free(ctx->pool, rec);
        lbuf_unlock(ctx->pool);
        report_refusal(ctx, eno != 0 ? eno : EAGAIN);
        return nullptr;
    }
    head->conn.thread = t;
    lbuf_unlock(ctx->pool);
    return rec;
}

void sock_tcp_ctx_close(sock_ctx *ctx, void *rec)
{
    PL_ASSERT_RET_VOID(ctx && rec);
    sock_ctx_conn *head = head_of(rec);
    lbuf_lock(ctx->pool);
    if (head->conn.stop.load() == NET_STOP_BY_STOPPER) {
        lbuf_unlock(ctx->pool);
        return;
    }
    os_thread *t = head->conn.thread;
    head->conn.thread = nullptr;
    release_record(ctx, rec);
    // A record left behind by a thread that could not be joined keeps the
    // context alive: leaked, never freed under that thread.
    const bool last = ctx->exited.load() && lbuf_count(ctx->pool) == 0;
    lbuf_unlock(ctx->pool);
    if (t != nullptr)
        os_thread_release(t);
    if (last)
        ctx_free(ctx);
}

int sock_tcp_ctx_count(sock_ctx *ctx)
{
    PL_ASSERT_RET(ctx!=NULL, -1);
    return static_cast<int>(lbuf_count(ctx->pool));
}

namespace {

// The next record marked by the stopper and not yet stopped, or nullptr.
void *next_marked(sock_ctx *ctx, void *self)
{
    void *found = nullptr;
    lbuf_lock(ctx->pool);
    lbuf_iter it;
    lbuf_iter_init(ctx->pool, &it);
    while (void *rec = lbuf_iter_next(&it)) {
        const net_conn &conn = head_of(rec)->conn;
        if (rec != self && conn.thread != nullptr && conn.stop.load() == NET_STOP_BY_STOPPER) {
            found = rec;
            break;
        }
    }
    lbuf_unlock(ctx->pool);
    return found;
}

}  // namespace

int sock_tcp_ctx_exit(sock_ctx *ctx) { return sock_tcp_ctx_exit_by(ctx, os_tick_ms() + k_stop_wait_ms); }

int sock_tcp_ctx_exit_by(sock_ctx *ctx, uint64_t deadline)
{
    PL_ASSERT_RET(ctx!=NULL, -1);
    void *self = nullptr;
    lbuf_lock(ctx->pool);
    lbuf_iter it;
    lbuf_iter_init(ctx->pool, &it);
    while (void *rec = lbuf_iter_next(&it)) {
        if (rec == t_current_rec) {
            self = rec;
            continue;
        }
        net_conn *conn = &head_of(rec)->conn;
        conn->stop.store(NET_STOP_BY_STOPPER);
        // Wakes a thread waiting on its socket at once instead of at its next slice.
        if (conn->handle != 0)
            os_socket_kill(conn->handle, 2);
    }
    ctx->exited.store(self != nullptr);
    lbuf_unlock(ctx->pool);

    // Every thread was woken above and all share one deadline: a session
    // that does not end costs the stop its bound once, not once per session.
    bool leaked = false;
    while (void *rec = next_marked(ctx, self)) {
        net_conn *conn = &head_of(rec)->conn;
        os_thread *t = conn->thread;
        conn->thread = nullptr;
        const uint64_t now = os_tick_ms();
        const int left = deadline > now ? static_cast<int>(std::min<uint64_t>(deadline - now, INT32_MAX)) : 0;
        const int r = os_thread_wait_kill_exit(t, left, nullptr);
        if (r != 0) {
            ZLOG_DBG("os_thread_wait_kill_exit ret=%d\n", r);
            // Still running: its record, socket and the pool must outlive it.
            leaked = true;
            continue;
        }
        release_record(ctx, rec);
    }
    if (self == nullptr && !leaked)
        ctx_free(ctx);
    return 0;
}
