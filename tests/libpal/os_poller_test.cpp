#include "libpal/network/os_poller.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/os/posix/os_limits.h"
#include "libpal/os/posix/os_poller_select.h"
#include "str_log_capture.h"
#include "socket_fixture.h"

namespace {

struct seen_event {
    os_socket handle;
    uint32_t  bits;
    void     *udata;
};

// A poller whose private pointer is this record: every callback is recorded
// (thread-safe), readable sockets are drained unless told otherwise, and a
// test may add its own step.
struct poller_fixture {
    std::mutex              m;
    std::vector<seen_event> seen;
    bool                    drain = true;
    std::function<void(os_poller *, const seen_event &)> extra;
    os_poller *poller = os_poller_init(this);

    poller_fixture() { EXPECT_NE(poller, nullptr); }
    ~poller_fixture() { os_poller_exit(poller); }
    poller_fixture(const poller_fixture &) = delete;
    poller_fixture &operator=(const poller_fixture &) = delete;

    static int cb(os_poller *poller, os_poller_object *object, uint32_t bits, void *udata)
    {
        auto *f = static_cast<poller_fixture *>(os_poller_priv(poller));
        const seen_event ev{object->handle, bits, udata};
        {
            std::lock_guard<std::mutex> g(f->m);
            f->seen.push_back(ev);
        }
        if (f->drain && (bits & OS_POLLER_EV_READ) != 0) {
            char buf[64];
            os_socket_recv(object->handle, buf, sizeof(buf));
        }
        if (f->extra)
            f->extra(poller, ev);
        return 0;
    }

    int64_t wait(int64_t ms) { return os_poller_wait(poller, cb, ms); }

    std::vector<seen_event> take()
    {
        std::lock_guard<std::mutex> g(m);
        return std::exchange(seen, {});
    }

    size_t count_of(os_socket handle)
    {
        std::lock_guard<std::mutex> g(m);
        return static_cast<size_t>(std::count_if(seen.begin(), seen.end(),
                                                 [handle](const seen_event &e) { return e.handle == handle; }));
    }
};

// A connected stream pair; end 0 is the one registered, end 1 its peer.
struct sock_pair {
    os_socket s[2] = {0, 0};
    sock_pair() { EXPECT_TRUE(os_socket_pair(OS_SOCKET_TCP, s)); }
    ~sock_pair()
    {
        for (os_socket h : s) {
            if (h != 0)
                os_socket_exit(h);
        }
    }
    sock_pair(const sock_pair &) = delete;
    sock_pair &operator=(const sock_pair &) = delete;

    os_poller_object obj() const { return {OS_POLLER_OBJECT_SOCKET, s[0]}; }
    void poke() const { EXPECT_EQ(os_socket_send(s[1], "x", 1), 1); }
};

// Descriptors that stay open for the test: duplicates of one socket, each
// at or above a chosen number.
struct fd_set_guard {
    std::vector<int> fds;
    ~fd_set_guard()
    {
        for (int fd : fds)
            close(fd);
    }
    os_socket add(int from, int min_fd = 0)
    {
        const int fd = fcntl(from, F_DUPFD_CLOEXEC, min_fd);
        EXPECT_GE(fd, min_fd);
        fds.push_back(fd);
        return static_cast<os_socket>(fd) + 1;
    }
};

bool enough_descriptors(rlim_t needed)
{
    os_ulimit(RLIMIT_NOFILE);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    return lim.rlim_cur >= needed;
}

template <typename Cond>
bool eventually(Cond cond)
{
    for (int i = 0; i < 500 && !cond(); i++)
        usleep(10000);
    return cond();
}

int open_fd_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n;
}

}  // namespace

TEST(Poller, DescribesItself)
{
    int owner = 0;
    os_poller *p = os_poller_init(&owner);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(os_poller_priv(p), &owner);
    EXPECT_EQ(os_poller_type(p), OS_POLLER_TYPE_SELECT);
    EXPECT_EQ(os_poller_attach(p), 0);
    struct row {
        uint32_t bits;
        bool     supported;
    };
    const row rows[] = {{0x1, true}, {0x2, true}, {0x20, true}, {0x21, true}, {0x23, true}, {0x10, false}, {0x11, false},
                        {0x200, false}};
    for (const auto &r : rows)
        EXPECT_EQ(os_poller_support(p, r.bits), r.supported) << std::hex << r.bits;
    os_poller_exit(p);
}

TEST(Poller, RefusesMissingArgumentsAndProcessObjects)
{
    poller_fixture f;
    os_poller *p = f.poller;
    sock_pair a;
    const os_poller_object sock = a.obj();
    const os_poller_object proc{OS_POLLER_OBJECT_PROC, a.s[0]};
    struct row {
        std::function<int64_t()> call;
        int64_t                  result;
        const char              *text;
    };
    const row rows[] = {
        {[&] { return int64_t{os_poller_insert(nullptr, &sock, 1, nullptr)}; }, 0, "poller && poller->insert && object"},
        {[&] { return int64_t{os_poller_insert(p, nullptr, 1, nullptr)}; }, 0, "poller && poller->insert && object"},
        {[&] { return int64_t{os_poller_insert(p, &proc, 1, nullptr)}; }, 0, "object->type != OS_POLLER_OBJECT_PROC"},
        {[&] { return int64_t{os_poller_remove(nullptr, &sock)}; }, 0, "poller && poller->remove && object"},
        {[&] { return int64_t{os_poller_remove(p, &proc)}; }, 0, "object->type != OS_POLLER_OBJECT_PROC"},
        {[&] { return int64_t{os_poller_modify(p, nullptr, 1, nullptr)}; }, 0, "poller && poller->modify && object"},
        {[&] { return int64_t{os_poller_modify(p, &proc, 1, nullptr)}; }, 0, "object->type != OS_POLLER_OBJECT_PROC"},
        {[&] { return os_poller_wait(p, nullptr, 0); }, -1, "poller && poller->wait && func"},
        {[&] { return os_poller_wait(nullptr, poller_fixture::cb, 0); }, -1, "poller && poller->wait && func"},
        {[&] { return int64_t{os_poller_support(nullptr, 1)}; }, 0, "expr[poller]"},
        {[&] { return int64_t{os_poller_type(nullptr)}; }, 0, "expr[poller]"},
        {[&] { return int64_t{os_poller_attach(nullptr)}; }, -1, "expr[poller]"},
        {[&] { return int64_t{os_poller_priv(nullptr) != nullptr}; }, 0, "expr[poller]"},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        log_capture log;
        EXPECT_EQ(rows[i].call(), rows[i].result) << "row " << i;
        EXPECT_TRUE(log.has(rows[i].text)) << "row " << i;
        EXPECT_TRUE(log.has("assert failed")) << "row " << i;
    }
    // No handle, nothing to watch.
    const os_poller_object none{OS_POLLER_OBJECT_SOCKET, 0};
    EXPECT_FALSE(os_poller_insert(p, &none, OS_POLLER_EV_READ, nullptr));
}

TEST(Poller, ReportsTheRegisteredReadiness)
{
    struct row {
        uint32_t registered;
        bool     data;
        uint32_t expected;  // 0: nothing reported
        bool     still_registered;
    };
    const row rows[] = {
        {OS_POLLER_EV_READ, false, 0, true},
        {OS_POLLER_EV_READ, true, OS_POLLER_EV_READ, true},
        {OS_POLLER_EV_WRITE, false, OS_POLLER_EV_WRITE, true},
        {OS_POLLER_EV_READ | OS_POLLER_EV_WRITE, true, OS_POLLER_EV_READ | OS_POLLER_EV_WRITE, true},
        {OS_POLLER_EV_READ | OS_POLLER_EV_ONESHOT, true, OS_POLLER_EV_READ, false},
        // Bits the poller does not honour are not kept.
        {OS_POLLER_EV_READ | 0x10, true, OS_POLLER_EV_READ, true},
    };
    for (const auto &r : rows) {
        poller_fixture f;
        f.drain = false;
        sock_pair a;
        int tag = 0;
        const os_poller_object o = a.obj();
        ASSERT_TRUE(os_poller_insert(f.poller, &o, r.registered, &tag));
        if (r.data)
            a.poke();
        const int64_t n = f.wait(r.expected != 0 ? 2000 : 100);
        const auto seen = f.take();
        SCOPED_TRACE(testing::Message() << "registered 0x" << std::hex << r.registered);
        if (r.expected == 0) {
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(seen.empty());
            continue;
        }
        EXPECT_EQ(n, 1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].handle, a.s[0]);
        EXPECT_EQ(seen[0].bits, r.expected);
        EXPECT_EQ(seen[0].udata, &tag);
        // Still ready: a second wait reports it again only while registered.
        EXPECT_EQ(f.wait(100), r.still_registered ? 1 : 0);
    }
}

TEST(Poller, ReinsertAndModifyReplaceTheRegistration)
{
    poller_fixture f;
    sock_pair a;
    int first = 0;
    int second = 0;
    const os_poller_object o = a.obj();
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ, &first));
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_WRITE, &second));
    EXPECT_EQ(f.wait(2000), 1);
    auto seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bits, OS_POLLER_EV_WRITE);
    EXPECT_EQ(seen[0].udata, &second);

    ASSERT_TRUE(os_poller_modify(f.poller, &o, OS_POLLER_EV_READ, &first));
    EXPECT_EQ(f.wait(100), 0);
    a.poke();
    EXPECT_EQ(f.wait(2000), 1);
    seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bits, OS_POLLER_EV_READ);
    EXPECT_EQ(seen[0].udata, &first);

    // Modifying an object that is not registered registers it.
    sock_pair b;
    const os_poller_object ob = b.obj();
    ASSERT_TRUE(os_poller_modify(f.poller, &ob, OS_POLLER_EV_WRITE, &second));
    EXPECT_EQ(f.wait(2000), 1);
    seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].handle, b.s[0]);

    // Removing twice is harmless.
    EXPECT_TRUE(os_poller_remove(f.poller, &ob));
    EXPECT_TRUE(os_poller_remove(f.poller, &ob));
    EXPECT_EQ(f.wait(100), 0);
}

TEST(Poller, TimedWaitReturnsWithinBounds)
{
    struct row {
        int64_t  timeout;
        uint64_t at_least_ms;
        uint64_t at_most_ms;
    };
    const row rows[] = {{0, 0, 500}, {300, 290, 2000}, {1000, 990, 3000}};
    poller_fixture f;
    sock_pair a;
    const os_poller_object o = a.obj();
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ, nullptr));
    for (const auto &r : rows) {
        const uint64_t start = os_tick_ms();
        EXPECT_EQ(f.wait(r.timeout), 0) << r.timeout;
        const uint64_t took = os_tick_ms() - start;
        EXPECT_GE(took, r.at_least_ms) << r.timeout;
        EXPECT_LE(took, r.at_most_ms) << r.timeout;
    }
    // A time-out of 0 does not even look.
    a.poke();
    EXPECT_EQ(f.wait(0), 0);
    EXPECT_TRUE(f.take().empty());
}

TEST(Poller, EachWakeByteEndsOneWait)
{
    poller_fixture f;
    os_poller_spak(f.poller);
    os_poller_spak(f.poller);
    for (int i = 0; i < 2; i++) {
        const uint64_t start = os_tick_ms();
        EXPECT_EQ(f.wait(10000), 0);
        EXPECT_LT(os_tick_ms() - start, 5000u) << "wake-up " << i;
    }
    const uint64_t start = os_tick_ms();
    EXPECT_EQ(f.wait(200), 0);
    EXPECT_GE(os_tick_ms() - start, 190u);
}

TEST(Poller, StopByteDispatchesLowerDescriptorsThenFails)
{
    sock_pair low;
    poller_fixture f;
    sock_pair high;
    const int64_t wake_fd = static_cast<int64_t>(reinterpret_cast<os_poller_select *>(f.poller)->pair[1]) - 1;
    ASSERT_LT(static_cast<int64_t>(low.s[0]) - 1, wake_fd);
    ASSERT_GT(static_cast<int64_t>(high.s[0]) - 1, wake_fd);
    const os_poller_object lo = low.obj();
    const os_poller_object ho = high.obj();
    ASSERT_TRUE(os_poller_insert(f.poller, &lo, OS_POLLER_EV_READ, nullptr));
    ASSERT_TRUE(os_poller_insert(f.poller, &ho, OS_POLLER_EV_READ, nullptr));
    low.poke();
    high.poke();
    os_poller_kill(f.poller);

    log_capture log;
    EXPECT_EQ(f.wait(2000), -1);
    EXPECT_TRUE(log.has("req killed exit\n"));
    auto seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].handle, low.s[0]);

    EXPECT_EQ(f.wait(2000), 1);
    seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].handle, high.s[0]);
}

TEST(Poller, ChangesFromOtherThreadsReachAWaitingLoop)
{
    poller_fixture f;
    std::atomic<int> cycles{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> give_up{false};
    std::thread loop([&] {
        while (f.wait(-1) >= 0 && !give_up)
            cycles++;
        ended = true;
    });
    sock_pair a;
    int first = 0;
    int second = 0;
    const os_poller_object o = a.obj();

    // Inserted while the loop waits without limit: only "p" makes it look.
    a.poke();
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ, &first));
    os_poller_spak(f.poller);
    EXPECT_TRUE(eventually([&] { return f.count_of(a.s[0]) > 0; }));

    os_poller_modify(f.poller, &o, OS_POLLER_EV_WRITE, &second);
    os_poller_spak(f.poller);
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(f.m);
        return std::any_of(f.seen.begin(), f.seen.end(),
                           [&](const seen_event &e) { return e.bits == OS_POLLER_EV_WRITE && e.udata == &second; });
    }));

    // Always writable, so the loop calls back again and again until the
    // removal; after it returns, no callback for the object may follow.
    ASSERT_TRUE(os_poller_remove(f.poller, &o));
    const size_t after_remove = f.count_of(a.s[0]);
    const int before = cycles;
    os_poller_spak(f.poller);
    EXPECT_TRUE(eventually([&] { return cycles > before; }));
    EXPECT_EQ(f.count_of(a.s[0]), after_remove);

    // "k" ends the loop.
    os_poller_kill(f.poller);
    EXPECT_TRUE(eventually([&] { return ended.load(); }));
    if (!ended) {
        ADD_FAILURE() << "the loop did not stop on \"k\"";
        give_up = true;
        os_poller_spak(f.poller);
    }
    loop.join();
}

TEST(Poller, RemovalDuringCallbacks)
{
    // A callback that removes another ready object, whose user data it then
    // frees: that object's collected event is dropped, never called.
    {
        poller_fixture f;
        sock_pair a;
        sock_pair b;
        ASSERT_LT(a.s[0], b.s[0]);
        auto *b_data = new int(7);
        const os_poller_object oa = a.obj();
        const os_poller_object ob = b.obj();
        ASSERT_TRUE(os_poller_insert(f.poller, &oa, OS_POLLER_EV_READ, nullptr));
        ASSERT_TRUE(os_poller_insert(f.poller, &ob, OS_POLLER_EV_READ, b_data));
        f.extra = [&](os_poller *p, const seen_event &ev) {
            if (ev.handle == a.s[0]) {
                os_poller_remove(p, &ob);
                delete b_data;
                b_data = nullptr;
            } else {
                EXPECT_EQ(*static_cast<int *>(ev.udata), 7);
            }
        };
        a.poke();
        b.poke();
        EXPECT_EQ(f.wait(2000), 1);
        EXPECT_EQ(f.count_of(b.s[0]), 0u);
        EXPECT_EQ(b_data, nullptr);
        delete b_data;
    }
    // A callback that removes its own object, which stays ready.
    {
        poller_fixture f;
        f.drain = false;
        sock_pair a;
        const os_poller_object oa = a.obj();
        ASSERT_TRUE(os_poller_insert(f.poller, &oa, OS_POLLER_EV_READ, nullptr));
        f.extra = [&](os_poller *p, const seen_event &) { os_poller_remove(p, &oa); };
        a.poke();
        EXPECT_EQ(f.wait(2000), 1);
        EXPECT_EQ(f.wait(100), 0);
        EXPECT_EQ(f.count_of(a.s[0]), 1u);
    }
}

TEST(Poller, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    poller_fixture f;
    sock_pair a;
    std::atomic<bool> in_callback{false};
    std::atomic<bool> callback_done{false};
    f.extra = [&](os_poller *, const seen_event &) {
        in_callback = true;
        usleep(200000);
        callback_done = true;
    };
    const os_poller_object oa = a.obj();
    ASSERT_TRUE(os_poller_insert(f.poller, &oa, OS_POLLER_EV_READ, nullptr));
    a.poke();
    std::thread waiter([&] { f.wait(2000); });
    ASSERT_TRUE(eventually([&] { return in_callback.load(); }));
    EXPECT_TRUE(os_poller_remove(f.poller, &oa));
    EXPECT_TRUE(callback_done);
    waiter.join();
}

TEST(Poller, ServesDescriptorsAbove1024)
{
    const int min_fds[] = {1024, 1500, 4096};
    if (!enough_descriptors(4200))
        GTEST_SKIP() << "open-file limit below 4200";
    poller_fixture f;
    sock_pair a;
    fd_set_guard dups;
    for (int min_fd : min_fds) {
        const os_socket h = dups.add(static_cast<int>(a.s[0] - 1), min_fd);
        const os_poller_object o{OS_POLLER_OBJECT_SOCKET, h};
        ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ | OS_POLLER_EV_ONESHOT, nullptr));
    }
    a.poke();
    f.drain = false;
    EXPECT_EQ(f.wait(2000), 3);
    const auto seen = f.take();
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(seen[i].handle, dups.fds[i] + 1u);
        EXPECT_EQ(seen[i].bits, OS_POLLER_EV_READ);
    }
}

TEST(Poller, HoldsAtMost1024ObjectsCountingEachDescriptorOnce)
{
    if (!enough_descriptors(2200))
        GTEST_SKIP() << "open-file limit below 2200";
    poller_fixture f;  // its wake pair is the first object
    sock_pair a;
    fd_set_guard dups;
    std::vector<os_poller_object> objs;
    for (uint32_t i = 0; i < OS_POLLER_MAX_OBJECTS; i++)
        objs.push_back({OS_POLLER_OBJECT_SOCKET, dups.add(static_cast<int>(a.s[0] - 1))});

    // Registering one object again and again takes one place.
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(os_poller_insert(f.poller, &objs[0], OS_POLLER_EV_READ, nullptr));
    for (uint32_t i = 1; i < OS_POLLER_MAX_OBJECTS - 1; i++)
        ASSERT_TRUE(os_poller_insert(f.poller, &objs[i], OS_POLLER_EV_READ, nullptr)) << i;
    const os_poller_object &last = objs.back();
    EXPECT_FALSE(os_poller_insert(f.poller, &last, OS_POLLER_EV_READ, nullptr));

    // A full poller still takes changes of what it holds; removing what it
    // does not hold frees no place.
    EXPECT_TRUE(os_poller_insert(f.poller, &objs[0], OS_POLLER_EV_WRITE, nullptr));
    EXPECT_TRUE(os_poller_remove(f.poller, &last));
    EXPECT_FALSE(os_poller_insert(f.poller, &last, OS_POLLER_EV_READ, nullptr));

    EXPECT_TRUE(os_poller_remove(f.poller, &objs[5]));
    EXPECT_TRUE(os_poller_insert(f.poller, &last, OS_POLLER_EV_READ, nullptr));
    EXPECT_FALSE(os_poller_insert(f.poller, &objs[5], OS_POLLER_EV_READ, nullptr));
}

TEST(Poller, MoreReadyObjectsThanOneWaitTakesAreServedNext)
{
    constexpr int k_objects = 600;
    if (!enough_descriptors(k_objects + 100))
        GTEST_SKIP() << "open-file limit too low";
    poller_fixture f;
    f.drain = false;
    sock_pair a;
    fd_set_guard dups;
    for (int i = 0; i < k_objects; i++) {
        const os_poller_object o{OS_POLLER_OBJECT_SOCKET, dups.add(static_cast<int>(a.s[0] - 1))};
        ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ | OS_POLLER_EV_ONESHOT, nullptr));
    }
    a.poke();
    EXPECT_EQ(f.wait(2000), int64_t{poller_events});
    const auto first = f.take();
    EXPECT_EQ(f.wait(2000), k_objects - int64_t{poller_events});
    const auto second = f.take();
    EXPECT_EQ(f.wait(100), 0);

    // Ascending order: the first wait takes the lowest descriptors.
    ASSERT_EQ(first.size(), size_t{poller_events});
    ASSERT_FALSE(second.empty());
    EXPECT_LT(first.back().handle, second.front().handle);
    std::set<os_socket> all;
    for (const auto *batch : {&first, &second}) {
        for (const auto &e : *batch)
            all.insert(e.handle);
    }
    EXPECT_EQ(all.size(), size_t{k_objects});
}

TEST(Poller, PeerResetIsReportedAsError)
{
    sockaddr_in addr{};
    const int lfd = socktest::bound_loopback(SOCK_STREAM, &addr);
    ASSERT_GE(lfd, 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    const int cfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(cfd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    const int afd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    ASSERT_GE(afd, 0);
    const linger reset{1, 0};
    ASSERT_EQ(setsockopt(cfd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)), 0);
    close(cfd);

    poller_fixture f;
    f.drain = false;
    const os_poller_object o{OS_POLLER_OBJECT_SOCKET, static_cast<os_socket>(afd) + 1};
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ, nullptr));
    EXPECT_EQ(f.wait(2000), 1);
    const auto seen = f.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bits, OS_POLLER_EV_READ | OS_POLLER_EV_ERROR);
    close(afd);
    close(lfd);
}

TEST(Poller, BrokenWakePairIsRenewed)
{
    poller_fixture f;
    auto *state = reinterpret_cast<os_poller_select *>(f.poller);
    sock_pair a;
    const os_poller_object o = a.obj();
    ASSERT_TRUE(os_poller_insert(f.poller, &o, OS_POLLER_EV_READ, nullptr));
    a.poke();
    ASSERT_EQ(shutdown(static_cast<int>(state->pair[0] - 1), SHUT_WR), 0);
    {
        log_capture log;
        EXPECT_EQ(f.wait(2000), 0);
        EXPECT_TRUE(log.has("recv ret=0 error: "));
    }
    // What was ready is reported by the next wait, and the new pair wakes.
    EXPECT_EQ(f.wait(2000), 1);
    EXPECT_EQ(f.count_of(a.s[0]), 1u);
    os_poller_spak(f.poller);
    const uint64_t start = os_tick_ms();
    EXPECT_EQ(f.wait(10000), 0);
    EXPECT_LT(os_tick_ms() - start, 5000u);
}

TEST(Poller, ExitReleasesEveryDescriptor)
{
    const int before = open_fd_count();
    for (int i = 0; i < 50; i++) {
        os_poller *p = os_poller_init(nullptr);
        ASSERT_NE(p, nullptr);
        sock_pair a;
        const os_poller_object o = a.obj();
        ASSERT_TRUE(os_poller_insert(p, &o, OS_POLLER_EV_READ, nullptr));
        os_poller_exit(p);
    }
    EXPECT_EQ(open_fd_count(), before);
}
