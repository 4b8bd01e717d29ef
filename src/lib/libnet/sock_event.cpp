// The event thread: wait on the poller, dispatch each ready socket by the
// kind its user data starts with, then sweep idle data events and run the
// periodic hook. Accepting loops until the backlog is empty, so a burst of
// connections costs one wake-up.
#include "libnet/sock_event.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "libnet/sock_cli.h"
#include "libnet/sock_srv.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/lbuf.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

// An edge-triggered registration, asked for where the poller offers it.
constexpr uint32_t k_ev_edge = 0x10;
constexpr int k_wait_ms = 1000;
constexpr int k_stop_wait_ms = 1000;
// Out of descriptors or memory, the pending connection stays in the backlog
// and the listener stays readable: pause instead of spinning on it.
constexpr uint64_t k_accept_backoff_ms = 100;
constexpr uint64_t k_accept_log_ms = 1000;

struct sock_env {
    std::mutex lock;  // creation and exit
    std::atomic<os_poller *> poller{nullptr};
    os_thread *thread = nullptr;
    std::atomic<uint32_t> stop{0};
    std::atomic<lbuf *> events{nullptr};
    std::mutex param_lock;
    sock_env_param param = {};
    uint64_t accept_log_tick = 0;  // event thread only
};

sock_env g_env;

sock_env_param param_get()
{
    std::lock_guard<std::mutex> g(g_env.param_lock);
    return g_env.param;
}

os_poller_object object_of(os_socket sock)
{
    return os_poller_object{OS_POLLER_OBJECT_SOCKET, sock};
}

bool accept_exhausted(int eno)
{
    return eno == EMFILE || eno == ENFILE || eno == ENOBUFS || eno == ENOMEM;
}

void accept_backoff(const sock_server *srv, int eno)
{
    const uint64_t now = os_tick_ms();
    if (now - g_env.accept_log_tick >= k_accept_log_ms) {
        g_env.accept_log_tick = now;
        ZLOG_ERR("%s accept error [%d] [%s], backing off\n", srv->name, eno, os_errno_text(eno));
    }
    os_sleep_ms(k_accept_backoff_ms);
}

void start_work_thread(sock_server *srv, os_socket sock, bool &ok)
{
    char name[128];
    str_sprintf_s2(name, sizeof(name), "%s_work", srv->name);
    os_thread *t = os_thread_init(name, srv->work_proc, reinterpret_cast<void *>(static_cast<uintptr_t>(sock)), 0);
    if (t == nullptr) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_thread_init error: ");
        // Nobody would ever serve or close it.
        sock_close(sock);
        ok = false;
        return;
    }
    os_thread_release(t);
}

void tcp_accept(sock_server *srv, os_socket listener)
{
    auto accept_proc = reinterpret_cast<sock_accept_cb>(srv->callback);
    if (accept_proc == nullptr && srv->work_proc == nullptr) {
        ZLOG_ERR("expr[%s]: assert failed\n", "tctx->work_proc!=NULL");
        assert_dump_stack();
    }
    for (;;) {
        os_ipaddr peer = {};
        errno = 0;
        const os_socket sock = os_socket_accept(listener, &peer);
        if (sock == 0) {
            if (accept_exhausted(errno))
                accept_backoff(srv, errno);
            return;
        }
        if (accept_proc != nullptr) {
            accept_proc(sock, &peer, srv->udata);
            continue;
        }
        if (srv->work_proc == nullptr) {
            sock_close(sock);
            continue;
        }
        bool ok = true;
        start_work_thread(srv, sock, ok);
        if (!ok)
            return;
    }
}

int sock_events_callback(os_poller *poller, os_poller_object *object, uint32_t events, void *udata)
{
    (void)poller;
    ZLOG_VERB("==>\n");
    const uint32_t kind = *static_cast<const uint32_t *>(udata);
    switch (kind) {
    case SOCKET_TYPE_EVENT: {
        auto *ev = static_cast<sock_event *>(udata);
        ev->no_event = 0;
        ev->tick = os_tick_ms();
        if (ev->callback(ev->sock, events, ev->arg) < 0)
            sock_del_event_proc(ev);
        break;
    }
    case SOCKET_TYPE_UDP: {
        auto *srv = static_cast<sock_server *>(udata);
        reinterpret_cast<sock_udp_cb>(srv->callback)(object->handle, 0, srv->udata);
        break;
    }
    case SOCKET_TYPE_TCP:
        tcp_accept(static_cast<sock_server *>(udata), object->handle);
        break;
    default:
        ZLOG_ERR("invalid type=%d\n", static_cast<int>(kind));
        break;
    }
    return 0;
}

// Data events quiet for longer than their time-out lose their registration.
void sweep_idle(const sock_env_param &param)
{
    if (param.first_timeout == 0 && param.idle_timeout == 0)
        return;
    lbuf *pool = g_env.events.load();
    const uint64_t now = os_tick_ms();
    lbuf_lock(pool);
    lbuf_iter it;
    lbuf_iter_init(pool, &it);
    while (void *item = lbuf_iter_next(&it)) {
        auto *ev = static_cast<sock_event *>(item);
        const uint32_t limit = ev->no_event != 0 ? param.first_timeout : param.idle_timeout;
        if (limit != 0 && now - ev->tick >= limit) {
            const os_poller_object obj = object_of(ev->sock);
            os_poller_remove(g_env.poller.load(), &obj);
            lbuf_free(pool, ev);
        }
    }
    lbuf_unlock(pool);
}

int sock_events_thread(void *arg)
{
    (void)arg;
    ZLOG_DBG("==>\n");
    os_poller *poller = g_env.poller.load();
    for (;;) {
        const int64_t r = os_poller_wait(poller, sock_events_callback, k_wait_ms);
        if (g_env.stop.load() != 0) {
            ZLOG_DBG("<==\n");
            return 0;
        }
        if (r < 0)
            ZLOG(LOG2_DBG | LOG2_F_ERRNO, "os_poller_wait error: ");
        const sock_env_param param = param_get();
        sweep_idle(param);
        if (param.proc != nullptr)
            param.proc(param.arg);
    }
}

void sock_env_stop()
{
    ZLOG_DBG("==>\n");
    if (g_env.thread == nullptr)
        return;
    g_env.stop.store(1);
    os_poller_kill(g_env.poller.load());
    int eno = 0;
    const int r = os_thread_wait_kill_exit(g_env.thread, k_stop_wait_ms, nullptr);
    if (r < 0) {
        eno = errno;
        ZLOG_ERR("os_thread_wait_kill_exit ret=%d error=%d\n", r, eno);
    }
    g_env.thread = nullptr;
}

}  // namespace

int sock_env_init()
{
    std::lock_guard<std::mutex> g(g_env.lock);
    if (g_env.poller.load() != nullptr)
        return 0;
    os_poller *poller = os_poller_init(nullptr);
    if (poller == nullptr) {
        ZLOG_CRIT("os_poller_init failed\n");
        return -1;
    }
    os_poller_attach(poller);
    g_env.stop.store(0);
    g_env.poller.store(poller);
    lbuf_param lp = {};
    lp.name = "events";
    lp.item_size = sizeof(sock_event);
    lbuf *events = lbuf_init(&lp);
    if (events == nullptr) {
        ZLOG_CRIT("lbuf_init failed");
        return -1;
    }
    g_env.events.store(events);
    g_env.thread = os_thread_init("sock_listen", sock_events_thread, nullptr, 0);
    if (g_env.thread == nullptr) {
        ZLOG_CRIT("os_thread_init failed");
        return -1;
    }
    os_sleep_ms(1000);
    return 0;
}

int sock_env_exit()
{
    ZLOG_DBG("==>\n");
    std::lock_guard<std::mutex> g(g_env.lock);
    if (g_env.poller.load() == nullptr)
        return 0;
    sock_env_stop();
    os_poller_exit(g_env.poller.exchange(nullptr));
    lbuf_exit(g_env.events.exchange(nullptr));
    return 0;
}

int sock_env_set_param(const sock_env_param *param)
{
    PL_ASSERT_RET(param!=NULL, -1);
    std::lock_guard<std::mutex> g(g_env.param_lock);
    g_env.param = *param;
    return 0;
}

os_poller *sock_env_poller()
{
    return g_env.poller.load();
}

sock_event *sock_add_event(os_socket sock, uint32_t events, sock_event_cb callback, void *arg)
{
    PL_ASSERT_RET(sock && callback, nullptr);
    os_poller *poller = g_env.poller.load();
    lbuf *pool = g_env.events.load();
    PL_ASSERT_RET(poller && pool, nullptr);
    auto *ev = static_cast<sock_event *>(lbuf_slab_malloc0(pool));
    if (ev == nullptr)
        return nullptr;
    ev->type = SOCKET_TYPE_EVENT;
    ev->callback = callback;
    ev->arg = arg;
    ev->sock = sock;
    ev->tick = os_tick_ms();
    ev->no_event = 1;
    if (os_poller_support(poller, k_ev_edge))
        events |= k_ev_edge;
    const os_poller_object obj = object_of(sock);
    if (!os_poller_insert(poller, &obj, events, ev)) {
        sock_close(sock);
        lbuf_free(pool, ev);
        return nullptr;
    }
    os_poller_spak(poller);
    return ev;
}

int sock_del_event_proc(sock_event *ev)
{
    PL_ASSERT_RET(ev!=NULL, -1);
    lbuf *pool = g_env.events.load();
    PL_ASSERT_RET(pool!=NULL, -1);
    // The sweep may have dropped the record already: look at it only while
    // it is in the pool, and wait for a running callback outside the pool's
    // lock, since that callback may itself drop its record.
    lbuf_lock(pool);
    const bool live = lbuf_is_item(pool, ev);
    const uint32_t type = live ? ev->type : 0;
    const os_socket sock = live ? ev->sock : 0;
    lbuf_unlock(pool);
    if (!live)
        return -1;
    PL_ASSERT_RET(type == SOCKET_TYPE_EVENT, -1);
    const os_poller_object obj = object_of(sock);
    os_poller_remove(g_env.poller.load(), &obj);
    lbuf_lock(pool);
    if (lbuf_is_item(pool, ev))
        lbuf_free(pool, ev);
    lbuf_unlock(pool);
    return 0;
}
