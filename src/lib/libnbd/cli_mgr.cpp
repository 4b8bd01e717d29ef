#define ZLOG_TAG "bdsrv"
#include "libnbd/cli_mgr.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "libblock/block.h"
#include "liblog/zlog.h"
#include "libnbd/nbd_proto.h"
#include "libnbd/nbdsrv.h"
#include "libnet/sock_srv.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/lbuf.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

namespace {

constexpr int32_t k_conn_timeout_ms = 3000;
constexpr int k_thread_wait_ms = 1000;

std::atomic<lbuf *> g_pool{nullptr};
std::atomic<uint32_t> g_exited{0};
// Accepts and the start of the stop protocol exclude each other: an accept
// that runs while the listener closes either completes its context before
// the stop protocol collects them, or finds the pool stopping and adds none.
std::mutex g_accept_lock;
bool g_stopping = false;
// Sessions refused for want of a thread or memory: a client looping on
// connect gets one line a second with the count, not two per connect.
sock_refusals g_refused{};

void ctx_item_init_func(void *payload, void *)
{
    auto *c = static_cast<nbd_client *>(payload);
    // A context whose buffers could not be had is refused by cli_mgr_alloc.
    c->buf = static_cast<uint8_t *>(os_zalloc(NBD_REQ_BUF_INIT));
    c->buf_size = c->buf != nullptr ? NBD_REQ_BUF_INIT : 0;
    c->rx = static_cast<uint8_t *>(os_malloc(NBD_RX_SIZE));
    c->conn.type = 0;
    c->conn.timeout = k_conn_timeout_ms;
}

// Frees the request buffer, giving a budgeted one back to the budget.
void buf_drop(nbd_client *c)
{
    os_free(c->buf);
    if (c->buf_size > NBD_REQ_BUF_KEEP) {
        cli_buf_budget_give(c->buf_size);
    }
    c->buf = nullptr;
    c->buf_size = 0;
}

void ctx_item_exit_func(void *payload, void *)
{
    auto *c = static_cast<nbd_client *>(payload);
    cli_export_close(c);
    if (c->thread != nullptr) {
        os_thread_release(c->thread);
        c->thread = nullptr;
    }
    if (c->conn.handle != 0) {
        os_socket_exit(c->conn.handle);
        c->conn.handle = 0;
    }
    // A session that ended inside a large request still holds its grant.
    buf_drop(c);
    os_free(c->rx);
    c->rx = nullptr;
}

// A session that cannot be served, eno its reason: one line a second at most.
void report_refusal(const os_ipaddr *peer, int eno)
{
    uint64_t count = 0;
    if (!sock_refusal_due(&g_refused, &count)) {
        return;
    }
    char text[80];
    os_ipaddr_ip_cstr(peer, text, sizeof(text));
    ZLOG_ERR("session from [%s] refused, no %s: %s (%llu refused since the last report)\n", text,
             eno == ENOMEM ? "memory" : "thread", os_errno_text(eno), static_cast<unsigned long long>(count));
}

}  // namespace

int cli_mgr_init()
{
    const lbuf_param param{"ctx_buf", ctx_item_init_func, ctx_item_exit_func, nullptr, sizeof(nbd_client)};
    lbuf *pool = lbuf_init(&param);
    if (pool == nullptr) {
        ZLOG_CRIT("lbuf_init error\n");
        return -1;
    }
    g_stopping = false;
    g_exited = 0;
    g_pool = pool;
    bool from_cgroup = false;
    const uint64_t mem = cli_mem_limit("/proc/self/cgroup", "/sys/fs/cgroup", &from_cgroup);
    // Below the default level: the console's first prompt stays the first
    // thing an operator sees; the rule is the README's.
    ZLOG_DBG("request buffers beyond %u KiB a session: %llu MiB, 1/%llu of the %s (%llu MiB)\n",
             NBD_REQ_BUF_KEEP >> 10, static_cast<unsigned long long>(cli_buf_budget() >> 20),
             static_cast<unsigned long long>(CLI_BUF_BUDGET_DIVISOR),
             from_cgroup ? "memory cgroup's limit" : "machine's memory", static_cast<unsigned long long>(mem >> 20));
    return 0;
}

nbd_client *cli_mgr_alloc(os_socket sock)
{
    lbuf *pool = g_pool.load();
    if (pool == nullptr) {
        return nullptr;
    }
    auto *c = static_cast<nbd_client *>(lbuf_slab_malloc0(pool));
    if (c == nullptr) {
        return nullptr;
    }
    if (c->buf == nullptr || c->rx == nullptr) {
        lbuf_free(pool, c);
        return nullptr;
    }
    c->conn.handle = sock;
    return c;
}

int cli_mgr_accept(os_socket sock, const os_ipaddr *peer)
{
    const std::lock_guard guard(g_accept_lock);
    nbd_client *c = g_stopping ? nullptr : cli_mgr_alloc(sock);
    if (c == nullptr) {
        os_socket_exit(sock);
        if (!g_stopping)
            report_refusal(peer, ENOMEM);
        return 0;
    }
    os_ipaddr_ip_cstr(peer, c->peer, sizeof(c->peer));
    // Once its thread runs, a client that leaves at once frees c: what is
    // logged after the start comes from this copy.
    std::array<char, sizeof(c->peer)> peer_text;
    memcpy(peer_text.data(), c->peer, peer_text.size());
    lbuf *pool = g_pool.load();
    // The thread's own release takes this lock: it cannot free the context
    // before the handle is stored.
    lbuf_lock(pool);
    c->thread = os_thread_init("clisrv", client_thread, c, 0);
    const bool started = c->thread != nullptr;
    const int eno = errno;
    lbuf_unlock(pool);
    if (!started) {
        lbuf_free(pool, c);
        report_refusal(peer, eno != 0 ? eno : EAGAIN);
        return 0;
    }
    ZLOG_DBG("ip=[%s]\n", peer_text.data());
    return 0;
}

int cli_mgr_free(nbd_client *client)
{
    ZLOG_VERB("==>\n");
    // A session the stopper claimed is the stopper's to release, or left
    // with its pool when its thread could not be joined: then the pool may
    // be gone from g_pool already, and neither may be touched here. The
    // claim is made before g_pool is cleared, so a null pool means claimed.
    lbuf *pool = g_pool.load();
    if (pool == nullptr || client->conn.stop.load() == NET_STOP_BY_STOPPER) {
        return 0;
    }
    lbuf_lock(pool);
    if (client->conn.stop.load() != NET_STOP_BY_STOPPER) {
        lbuf_free(pool, client);
    }
    lbuf_unlock(pool);
    return 0;
}

uint64_t cli_mgr_count()
{
    lbuf *pool = g_pool.load();
    return pool != nullptr ? lbuf_count(pool) : 0;
}

int cli_mgr_exit()
{
    ZLOG_VERB("==>\n");
    lbuf *pool = g_pool.load();
    if (pool == nullptr) {
        return 0;
    }
    {
        const std::lock_guard guard(g_accept_lock);
        g_stopping = true;
    }
    std::vector<nbd_client *> running;
    try {
        running.reserve(lbuf_count(pool) + 1);
    } catch (const std::bad_alloc &) {
        ZLOG_ERR("no memory to stop %llu clients\n", static_cast<unsigned long long>(lbuf_count(pool)));
    }
    bool leaked = false;
    lbuf_lock(pool);
    lbuf_iter it;
    lbuf_iter_init(pool, &it);
    while (auto *c = static_cast<nbd_client *>(lbuf_iter_next(&it))) {
        if (c->thread != nullptr) {
            c->conn.stop = NET_STOP_BY_STOPPER;
            // Wakes a thread waiting in a read or write at once, rather than
            // at the end of its polling slice.
            os_socket_kill(c->conn.handle, 2);
            if (running.size() < running.capacity()) {
                running.push_back(c);
            } else {
                leaked = true;
            }
        } else {
            lbuf_free(pool, c);
        }
    }
    lbuf_unlock(pool);
    // A session waiting for room in the budget sleeps on no socket.
    cli_buf_budget_wake();
    for (nbd_client *c : running) {
        // Never cancelled: a thread inside the block layer (an open, a read
        // of a slow medium) is in C++ frames that cancellation cannot unwind.
        const int ret = os_thread_wait_kill_exit(c->thread, k_thread_wait_ms, nullptr);
        c->thread = nullptr;
        if (ret != 0) {
            // Not joined: the thread runs on detached and keeps its context,
            // its device and the pool, which are left allocated for it.
            ZLOG_WARN("client [%s] still running after %d ms; left to end on its own\n", c->peer, k_thread_wait_ms);
            leaked = true;
            continue;
        }
        lbuf_free(pool, c);
    }
    g_pool = nullptr;
    if (!leaked) {
        lbuf_exit(pool);
    }
    g_exited = 1;
    ZLOG_VERB("<==\n");
    return 0;
}

bool cli_buf_reserve(nbd_client *client, uint32_t len)
{
    if (len <= client->buf_size) {
        return true;
    }
    // The grant comes before the allocation: under overcommit the memory
    // only fails once its pages are touched, and then it ends the process.
    const bool budgeted = len > NBD_REQ_BUF_KEEP;
    if (budgeted && !cli_buf_budget_take(len, client->conn.timeout, &client->conn.stop)) {
        return false;
    }
    auto *fresh = static_cast<uint8_t *>(os_zalloc(len));
    if (fresh == nullptr) {
        if (budgeted) {
            cli_buf_budget_give(len);
        }
        return false;
    }
    buf_drop(client);
    client->buf = fresh;
    client->buf_size = len;
    return true;
}

void cli_buf_trim(nbd_client *client)
{
    if (client->buf_size <= NBD_REQ_BUF_KEEP) {
        return;
    }
    // Forty idle sessions that each once read 32 MiB must not hold 1.3 GB.
    buf_drop(client);
    client->buf = static_cast<uint8_t *>(os_zalloc(NBD_REQ_BUF_KEEP));
    client->buf_size = client->buf != nullptr ? NBD_REQ_BUF_KEEP : 0;
}

void cli_export_close(nbd_client *client)
{
    if (client->dev != nullptr) {
        char safe[URL_BUF_SIZE];
        ZLOG_INFO("close [%s]\n", cli_safe_name(client, safe));
        bd_close(client->dev);
        client->dev = nullptr;
    }
    cli_name_free(client);
    client->size = 0;
}

const char *cli_safe_name(const nbd_client *client, char *out)
{
    return url_safe_fmt(client->name != nullptr ? client->name : "", out);
}

void cli_name_free(nbd_client *client)
{
    if (client->name != nullptr) {
        explicit_bzero(client->name, strlen(client->name));
        os_free(client->name);
        client->name = nullptr;
    }
}

bool cli_mgr_exited()
{
    return g_exited.load() != 0;
}
