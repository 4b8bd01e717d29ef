#define ZLOG_TAG "pal"
#include "libpal/os/posix/os_poller_select.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <sys/socket.h>
#include <type_traits>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_assert.h"

// The front hands out &base; the record must start with it.
static_assert(std::is_standard_layout_v<os_poller_select>);

namespace {

constexpr char k_wake_look = 'p';
constexpr char k_wake_stop = 'k';

// What select would count as readable and writable: a hang-up or an error
// makes a descriptor readable, an error makes it writable.
constexpr short k_read_ready  = POLLIN | POLLHUP | POLLERR;
constexpr short k_write_ready = POLLOUT | POLLERR;

os_poller_select *as_select(os_poller *poller)
{
    return reinterpret_cast<os_poller_select *>(poller);
}

// The descriptor of a socket handle, or -1 when the handle holds none that
// poll can take.
int64_t object_fd(const os_poller_object *object)
{
    if (object->handle == 0 || object->handle - 1 > static_cast<os_socket>(INT_MAX))
        return -1;
    return static_cast<int64_t>(object->handle - 1);
}

// Requires: p->lock held and the list allocated. The first entry whose
// descriptor is not below fd (the end when none).
os_poller_entry *lower_entry(os_poller_select *p, int64_t fd)
{
    return std::lower_bound(p->list, p->list + p->count, fd,
                            [](const os_poller_entry &x, int64_t f) { return x.fd < f; });
}

// Requires: p->lock held.
os_poller_entry *find_entry(os_poller_select *p, int64_t fd)
{
    if (p->list == nullptr)
        return nullptr;
    os_poller_entry *e = lower_entry(p, fd);
    return e != p->list + p->count && e->fd == fd ? e : nullptr;
}

// Requires: p->lock held. True when fd was registered.
bool list_erase(os_poller_select *p, int64_t fd)
{
    os_poller_entry *e = find_entry(p, fd);
    if (e == nullptr)
        return false;
    std::copy(e + 1, p->list + p->count, e);
    p->count--;
    return true;
}

void close_pair(const os_socket (&pair)[2])
{
    for (os_socket s : pair) {
        if (s != 0)
            os_socket_exit(s);
    }
}

// Requires: p->lock held and no pair. Creates the wake pair and registers its
// receiving end for read.
bool open_pair(os_poller_select *p)
{
    os_socket pair[2] = {0, 0};
    if (!os_socket_pair(OS_SOCKET_TCP, pair)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_socket_pair error: ");
        return false;
    }
    if (os_poller_select_list_set(p, static_cast<int64_t>(pair[1] - 1), nullptr, OS_POLLER_EV_READ) < 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_poller_select_insert error: ");
        close_pair(pair);
        return false;
    }
    std::lock_guard<std::mutex> g(p->pair_lock);
    p->pair[0] = pair[0];
    p->pair[1] = pair[1];
    return true;
}

void free_poller(os_poller_select *p)
{
    os_free(p->list);
    os_free(p->work);
    os_free(p->events);
    p->~os_poller_select();
    os_free(p);
}

void send_wake(os_poller *poller, char byte)
{
    PL_ASSERT_RET_VOID(poller);
    os_poller_select *p = as_select(poller);
    std::lock_guard<std::mutex> g(p->pair_lock);
    if (p->pair[0] != 0)
        os_socket_send(p->pair[0], &byte, 1);
}

// Requires: p->lock held. Hands poll every registration that asks for read or
// write; one that asks for neither is not watched (only its socket error is).
nfds_t snapshot(os_poller_select *p)
{
    nfds_t n = 0;
    for (uint32_t i = 0; i < p->count; i++) {
        const os_poller_entry &e = p->list[i];
        const short asked = static_cast<short>(((e.events & OS_POLLER_EV_READ) != 0 ? POLLIN : 0) |
                                               ((e.events & OS_POLLER_EV_WRITE) != 0 ? POLLOUT : 0));
        if (asked != 0)
            p->work[n++] = {static_cast<int>(e.fd), asked, 0};
    }
    return n;
}

// Reading SO_ERROR also clears it.
bool socket_error(int64_t fd)
{
    int err = 0;
    socklen_t len = sizeof(err);
    return getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0;
}

struct walk_result {
    uint32_t collected = 0;
    bool     woken = false;
    bool     killed = false;
};

// Requires: p->lock held. Takes the wake byte and collects the ready
// registrations in ascending descriptor order, at most poller_events of them.
// 1 when the events are to be dispatched; 0 or -1 ends the wait with that
// result (the wake pair broke and was renewed, or could not be).
int walk(os_poller_select *p, nfds_t nfds, walk_result &out)
{
    const int64_t wake_fd = p->pair[1] != 0 ? static_cast<int64_t>(p->pair[1] - 1) : -1;
    nfds_t j = 0;
    for (uint32_t i = 0; i < p->count; i++) {
        const os_poller_entry &e = p->list[i];
        PL_ASSERT_RET(e.fd >= 0, -1);
        while (j < nfds && p->work[j].fd < e.fd)
            j++;
        const pollfd *w = j < nfds && p->work[j].fd == e.fd ? &p->work[j] : nullptr;
        const short rev = w != nullptr ? w->revents : 0;

        if (e.fd == wake_fd) {
            if ((rev & (k_read_ready | POLLNVAL)) == 0)
                continue;
            char byte = 0;
            const int64_t r = os_socket_recv(p->pair[1], &byte, 1);
            if (r != 1) {
                ZLOG(LOG2_ERR | LOG2_F_ERRNO, "recv ret=%d error: ", static_cast<int>(r));
                return os_poller_reset_pair(p) ? 0 : -1;
            }
            if (byte == k_wake_stop) {
                ZLOG_DBG("req killed exit\n");
                out.killed = true;
                return 1;
            }
            out.woken = true;
            continue;
        }

        uint32_t bits = 0;
        if (w != nullptr && (w->events & POLLIN) != 0 && (rev & k_read_ready) != 0)
            bits |= OS_POLLER_EV_READ;
        if (w != nullptr && (w->events & POLLOUT) != 0 && (rev & k_write_ready) != 0)
            bits |= OS_POLLER_EV_WRITE;
        // A descriptor closed while still registered is reported to its owner
        // as an error instead of failing every later wait.
        if ((rev & POLLNVAL) != 0 || socket_error(e.fd))
            bits |= OS_POLLER_EV_ERROR;
        if (bits == 0)
            continue;
        bits |= e.events & OS_POLLER_EV_ONESHOT;
        p->events[out.collected++] = {e.fd, e.udata, bits};
        if (out.collected == poller_events)
            break;
    }
    return 1;
}

// Clears the dispatch mark when a callback returns (or its thread unwinds)
// and lets removers waiting for it go on.
struct dispatch_mark {
    os_poller_select *p;
    ~dispatch_mark()
    {
        {
            std::lock_guard<std::mutex> g(p->lock);
            p->dispatch_fd = -1;
        }
        p->dispatched.notify_all();
    }
};

// Calls back for the collected events without the lock. An event whose
// object was removed (or registered again with other user data) since the
// walk is dropped: its user data may already be freed.
int64_t dispatch(os_poller_select *p, os_poller_cb func, uint32_t n)
{
    int64_t done = 0;
    for (uint32_t k = 0; k < n; k++) {
        os_poller_entry ev = p->events[k];
        {
            std::lock_guard<std::mutex> g(p->lock);
            const os_poller_entry *e = find_entry(p, ev.fd);
            if (e == nullptr || e->udata != ev.udata)
                continue;
            if ((ev.events & OS_POLLER_EV_ONESHOT) != 0) {
                list_erase(p, ev.fd);
                ev.events &= ~OS_POLLER_EV_ONESHOT;
            }
            p->dispatch_fd = ev.fd;
            p->dispatch_thread = std::this_thread::get_id();
        }
        dispatch_mark mark{p};
        os_poller_object object{OS_POLLER_OBJECT_SOCKET, static_cast<os_socket>(ev.fd) + 1};
        func(&p->base, &object, ev.events, ev.udata);
        done++;
    }
    return done;
}

}  // namespace

int os_poller_select_list_set(os_poller_select *p, int64_t fd, void *udata, uint32_t events)
{
    if (p->list == nullptr) {
        pl_owned<os_poller_entry, os_free> list(
            static_cast<os_poller_entry *>(os_calloc(OS_POLLER_MAX_OBJECTS, sizeof(os_poller_entry))));
        pl_owned<pollfd, os_free> work(static_cast<pollfd *>(os_calloc(OS_POLLER_MAX_OBJECTS, sizeof(pollfd))));
        pl_owned<os_poller_entry, os_free> ready(
            static_cast<os_poller_entry *>(os_calloc(poller_events, sizeof(os_poller_entry))));
        if (!list || !work || !ready) {
            errno = ENOMEM;
            return -1;
        }
        p->list = list.release();
        p->work = work.release();
        p->events = ready.release();
    }
    os_poller_entry *end = p->list + p->count;
    os_poller_entry *e = lower_entry(p, fd);
    if (e != end && e->fd == fd) {
        e->udata = udata;
        e->events = events;
        return 0;
    }
    if (p->count == OS_POLLER_MAX_OBJECTS) {
        errno = ENOSPC;
        return -1;
    }
    std::copy_backward(e, end, end + 1);
    *e = {fd, udata, events};
    p->count++;
    return 1;
}

bool os_poller_reset_pair(os_poller_select *p)
{
    os_socket old[2] = {0, 0};
    {
        std::lock_guard<std::mutex> g(p->pair_lock);
        old[0] = p->pair[0];
        old[1] = p->pair[1];
        p->pair[0] = 0;
        p->pair[1] = 0;
    }
    if (old[1] != 0)
        list_erase(p, static_cast<int64_t>(old[1] - 1));
    close_pair(old);
    return open_pair(p);
}

os_poller *os_poller_select_init()
{
    void *poller = os_zalloc(sizeof(os_poller_select));
    PL_ASSERT_RET(poller, nullptr);
    pl_owned<os_poller_select, free_poller> p(new (poller) os_poller_select{});
    p->base.type = OS_POLLER_TYPE_SELECT;
    p->base.features = OS_POLLER_EV_READ | OS_POLLER_EV_WRITE | OS_POLLER_EV_ONESHOT;
    p->base.exit = os_poller_select_exit;
    p->base.kill = os_poller_select_kill;
    p->base.spak = os_poller_select_spak;
    p->base.wait = os_poller_select_wait;
    p->base.insert = os_poller_select_insert;
    p->base.remove = os_poller_select_remove;
    p->base.modify = os_poller_select_modify;
    p->dispatch_fd = -1;
    bool opened = false;
    {
        std::lock_guard<std::mutex> g(p->lock);
        opened = open_pair(p.get());
    }
    if (!opened)
        return nullptr;
    return &p.release()->base;
}

void os_poller_select_exit(os_poller *poller)
{
    PL_ASSERT_RET_VOID(poller);
    os_poller_select *p = as_select(poller);
    {
        std::lock_guard<std::mutex> g(p->pair_lock);
        close_pair(p->pair);
        p->pair[0] = 0;
        p->pair[1] = 0;
    }
    free_poller(p);
}

void os_poller_select_kill(os_poller *poller)
{
    send_wake(poller, k_wake_stop);
}

void os_poller_select_spak(os_poller *poller)
{
    send_wake(poller, k_wake_look);
}

bool os_poller_select_insert(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata)
{
    PL_ASSERT_RET(poller && object, false);
    const int64_t fd = object_fd(object);
    if (fd < 0)
        return false;
    os_poller_select *p = as_select(poller);
    std::lock_guard<std::mutex> g(p->lock);
    return os_poller_select_list_set(p, fd, udata, events & poller->features) >= 0;
}

bool os_poller_select_remove(os_poller *poller, const os_poller_object *object)
{
    PL_ASSERT_RET(poller && object, false);
    const int64_t fd = object_fd(object);
    if (fd < 0)
        return false;
    os_poller_select *p = as_select(poller);
    std::unique_lock<std::mutex> lk(p->lock);
    list_erase(p, fd);
    // The caller may free the user data once this returns, so a callback of
    // this object running on the waiting thread has to end first. The
    // waiting thread itself (a callback removing objects) never waits here.
    p->dispatched.wait(lk, [p, fd] {
        return p->dispatch_fd != fd || p->dispatch_thread == std::this_thread::get_id();
    });
    return true;
}

// A registration is one entry per descriptor, so a change is recording it
// again with the new bits and user data (an unregistered object is added).
bool os_poller_select_modify(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata)
{
    return os_poller_select_insert(poller, object, events, udata);
}

int64_t os_poller_select_wait(os_poller *poller, os_poller_cb func, int64_t timeout_ms)
{
    PL_ASSERT_RET(poller && func, -1);
    os_poller_select *p = as_select(poller);
    const uint64_t deadline = os_tick_ms() + static_cast<uint64_t>(timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        int poll_ms = -1;
        if (timeout_ms >= 0) {
            const uint64_t now = os_tick_ms();
            if (now >= deadline)
                return 0;
            poll_ms = static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX));
        }
        nfds_t nfds = 0;
        {
            std::lock_guard<std::mutex> g(p->lock);
            nfds = snapshot(p);
        }
        const int ready = poll(p->work, nfds, poll_ms);
        if (ready == 0)
            return 0;
        if (ready < 0)
            return errno == EINTR ? 0 : -1;

        walk_result out;
        {
            std::lock_guard<std::mutex> g(p->lock);
            const int walked = walk(p, nfds, out);
            if (walked <= 0)
                return walked;
        }
        const int64_t done = dispatch(p, func, out.collected);
        if (out.killed)
            return -1;
        if (done > 0)
            return done;
        if (out.woken)
            return 0;
        // Only descriptors no longer registered were ready: wait again.
    }
}
