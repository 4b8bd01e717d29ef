// The event thread: wait on the poller, dispatch each ready socket by the
// kind its user data starts with, then sweep idle data events and run the
// periodic hook. Accepting loops until the backlog is empty, so a burst of
// connections costs one wake-up.
#include "libnet/sock_event.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "libnet/sock_cli.h"
#include "libnet/sock_srv.h"
#include "libpal/basic/os_malloc.h"
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

// What one run of the event thread works on. A thread that exit cannot join
// keeps its run, poller and pool (never freed under it) and a later start
// makes a fresh run. Exit and the thread each mark their side of the hand-over
// and learn the other's in one step: the one that comes second frees the run.
enum : uint32_t {
    k_run_abandoned = 0x1,  // exit is done with the run
    k_run_ended     = 0x2,  // the thread touches the run no more
};

struct sock_run {
    os_poller *poller;
    lbuf *events;
    std::atomic<uint32_t> stop{0};
    std::atomic<uint32_t> handover{0};
};

void run_free(sock_run *run)
{
    os_poller_exit(run->poller);
    lbuf_exit(run->events);
    run->~sock_run();
    os_free(run);
}

struct sock_env {
    std::mutex lock;  // creation and exit
    std::atomic<os_poller *> poller{nullptr};
    std::atomic<lbuf *> events{nullptr};
    sock_run *run = nullptr;
    os_thread *thread = nullptr;
    std::mutex param_lock;
    sock_env_param param = {};
    sock_refusals accept_refusals{};
    sock_refusals thread_refusals{};
    // Waits the event thread has finished, for sock_env_sync.
    std::mutex pass_lock;
    std::condition_variable passed;
    uint64_t passes = 0;
};

// Never destroyed: the event thread may still use it while the process exits.
sock_env &g_env = *new sock_env;

// The run of the event thread that calls, nullptr on every other thread.
thread_local sock_run *t_run = nullptr;

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
    uint64_t count = 0;
    if (sock_refusal_due(&g_env.accept_refusals, &count))
        ZLOG_ERR("%s accept error [%d] [%s], backing off\n", srv->name, eno, os_errno_text(eno));
    os_sleep_ms(k_accept_backoff_ms);
}

void start_work_thread(sock_server *srv, os_socket sock, bool &ok)
{
    char name[128];
    str_sprintf_s2(name, sizeof(name), "%s_work", srv->name);
    os_thread *t = os_thread_init(name, srv->work_proc, reinterpret_cast<void *>(static_cast<uintptr_t>(sock)), 0);
    if (t == nullptr) {
        const int eno = errno != 0 ? errno : EAGAIN;
        uint64_t count = 0;
        if (sock_refusal_due(&g_env.thread_refusals, &count))
            ZLOG_ERR("%s: connection refused, no thread: %s (%llu refused since the last report)\n", srv->name,
                     os_errno_text(eno), static_cast<unsigned long long>(count));
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
void sweep_idle(const sock_run &run, const sock_env_param &param)
{
    if (param.first_timeout == 0 && param.idle_timeout == 0)
        return;
    lbuf *pool = run.events;
    const uint64_t now = os_tick_ms();
    lbuf_lock(pool);
    lbuf_iter it;
    lbuf_iter_init(pool, &it);
    while (void *item = lbuf_iter_next(&it)) {
        auto *ev = static_cast<sock_event *>(item);
        const uint32_t limit = ev->no_event != 0 ? param.first_timeout : param.idle_timeout;
        if (limit != 0 && now - ev->tick >= limit) {
            const os_poller_object obj = object_of(ev->sock);
            os_poller_remove(run.poller, &obj);
            lbuf_free(pool, ev);
        }
    }
    lbuf_unlock(pool);
}

// The event thread's wait: at most k_wait_ms while something is due at
// intervals (idle time-outs, the periodic hook), else until a socket or a
// wake-up, so that a daemon at rest wakes nobody. A new setting and the
// stop wake the poller.
int64_t wait_ms_for(const sock_env_param &param)
{
    return param.proc == nullptr && param.first_timeout == 0 && param.idle_timeout == 0 ? -1 : k_wait_ms;
}

int sock_events_thread(void *arg)
{
    auto *run = static_cast<sock_run *>(arg);
    t_run = run;
    ZLOG_DBG("==>\n");
    for (;;) {
        const int64_t r = os_poller_wait(run->poller, sock_events_callback, wait_ms_for(param_get()));
        {
            std::lock_guard<std::mutex> g(g_env.pass_lock);
            g_env.passes++;
        }
        g_env.passed.notify_all();
        if (run->stop.load() != 0) {
            ZLOG_DBG("<==\n");
            if (run->handover.fetch_or(k_run_ended) & k_run_abandoned)
                run_free(run);
            return 0;
        }
        if (r < 0)
            ZLOG(LOG2_DBG | LOG2_F_ERRNO, "os_poller_wait error: ");
        const sock_env_param param = param_get();
        sweep_idle(*run, param);
        if (param.proc != nullptr)
            param.proc(param.arg);
    }
}

// Requires: g_env.lock held. True when the thread was joined (or none ran).
bool sock_env_stop()
{
    ZLOG_DBG("==>\n");
    if (g_env.thread == nullptr)
        return true;
    g_env.run->stop.store(1);
    os_poller_kill(g_env.run->poller);
    const int r = os_thread_wait_kill_exit(g_env.thread, k_stop_wait_ms, nullptr);
    if (r != 0)
        ZLOG_ERR("os_thread_wait_kill_exit ret=%d error=%d\n", r, errno);
    g_env.thread = nullptr;
    return r == 0;
}

}  // namespace

bool sock_refusal_due(sock_refusals *r, uint64_t *count)
{
    PL_ASSERT_RET(r && count, false);
    r->pending.fetch_add(1);
    const uint64_t now = os_tick_ms();
    uint64_t last = r->reported_ms.load();
    // One thread wins the report of a second; the others' refusals stay
    // pending and are counted in the next one.
    if (last != 0 && now - last < SOCK_REFUSAL_REPORT_MS)
        return false;
    if (!r->reported_ms.compare_exchange_strong(last, now))
        return false;
    *count = r->pending.exchange(0);
    return true;
}

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
    g_env.poller.store(poller);
    lbuf_param lp = {};
    lp.name = "events";
    lp.item_size = sizeof(sock_event);
    lbuf *events = lbuf_init(&lp);
    if (events == nullptr) {
        ZLOG_CRIT("lbuf_init failed");
        return -1;
    }
    void *mem = os_zalloc(sizeof(sock_run));
    if (mem == nullptr) {
        ZLOG_CRIT("os_zalloc failed");
        return -1;
    }
    g_env.events.store(events);
    g_env.run = new (mem) sock_run{poller, events};
    g_env.thread = os_thread_init("sock_listen", sock_events_thread, g_env.run, 0);
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
    const bool joined = sock_env_stop();
    g_env.poller.store(nullptr);
    g_env.events.store(nullptr);
    sock_run *run = std::exchange(g_env.run, nullptr);
    if (!joined)
        ZLOG_ERR("event thread still running: it keeps its poller and pool\n");
    // A joined thread has marked its side already, so the run is freed here.
    if (run->handover.fetch_or(k_run_abandoned) & k_run_ended)
        run_free(run);
    return 0;
}

void sock_env_sync()
{
    os_poller *poller = g_env.poller.load();
    // The event thread itself is between waits, and holds no descriptor.
    if (poller == nullptr || t_run != nullptr)
        return;
    std::unique_lock<std::mutex> lk(g_env.pass_lock);
    const uint64_t from = g_env.passes;
    lk.unlock();
    os_poller_spak(poller);
    lk.lock();
    g_env.passed.wait_for(lk, std::chrono::milliseconds(k_stop_wait_ms), [from] { return g_env.passes != from; });
}

int sock_env_set_param(const sock_env_param *param)
{
    PL_ASSERT_RET(param!=NULL, -1);
    {
        std::lock_guard<std::mutex> g(g_env.param_lock);
        g_env.param = *param;
    }
    // A thread waiting without end takes up the new interval at once.
    if (os_poller *poller = g_env.poller.load())
        os_poller_spak(poller);
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
    // Filled under the pool's lock: the idle sweep walks the pool and would
    // take a record still at tick 0 for one long quiet.
    lbuf_lock(pool);
    auto *ev = static_cast<sock_event *>(lbuf_slab_malloc0(pool));
    if (ev != nullptr) {
        ev->type = SOCKET_TYPE_EVENT;
        ev->callback = callback;
        ev->arg = arg;
        ev->sock = sock;
        ev->tick = os_tick_ms();
        ev->no_event = 1;
    }
    lbuf_unlock(pool);
    if (ev == nullptr)
        return nullptr;
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
    // On the event thread, its own run: the one its records came from, also
    // when exit has already left that run to it.
    lbuf *pool = t_run != nullptr ? t_run->events : g_env.events.load();
    os_poller *poller = t_run != nullptr ? t_run->poller : g_env.poller.load();
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
    os_poller_remove(poller, &obj);
    lbuf_lock(pool);
    if (lbuf_is_item(pool, ev))
        lbuf_free(pool, ev);
    lbuf_unlock(pool);
    return 0;
}
