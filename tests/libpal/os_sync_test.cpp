#include "libpal/basic/os_sync.h"

#include <cerrno>
#include <atomic>
#include <pthread.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/pl_own.h"
#include "libpal/os/os_hostid.h"

namespace {

using cond_ptr = pl_owned<os_cond, os_cond_free>;

// Events keep no signalled state, so a signaller repeats its signal until
// the waiter reports back (bounded).
template <typename Done>
bool signal_until(os_cond *c, Done done, bool broadcast)
{
    for (int i = 0; i < 500 && !done(); i++) {
        if (broadcast)
            os_cond_broadcast(c);
        else
            os_cond_signal(c);
        usleep(10000);
    }
    return done();
}

}  // namespace

TEST(Mutex, TrylockFailsWhileAnotherThreadHoldsIt)
{
    os_mutex *m = mutex_malloc();
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(mutex_lock(m));
    bool taken = true;
    std::thread([&] { taken = mutex_trylock(m); }).join();
    EXPECT_FALSE(taken);
    ASSERT_TRUE(mutex_unlock(m));
    std::thread([&] {
        taken = mutex_trylock(m);
        if (taken)
            mutex_unlock(m);
    }).join();
    EXPECT_TRUE(taken);
    mutex_free(m);
    mutex_free(nullptr);
}

TEST(CondEvent, BoundedWaitTimesOutWithinBounds)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    uint64_t t0 = os_tick_ms();
    EXPECT_EQ(os_cond_wait(c.get(), 100), -2);
    uint64_t elapsed = os_tick_ms() - t0;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);

    t0 = os_tick_ms();
    EXPECT_EQ(os_cond_wait(c.get(), 0), -2);
    EXPECT_LT(os_tick_ms() - t0, 2000u);
}

TEST(CondEvent, SignalWithoutWaiterIsLost)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(os_cond_signal(c.get()), 0);
    EXPECT_EQ(os_cond_broadcast(c.get()), 0);
    EXPECT_EQ(os_cond_wait(c.get(), 50), -2);
}

TEST(CondEvent, UnboundedWaitReturnsOnlyAfterSignal)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        result = os_cond_wait(c.get(), OS_WAIT_FOREVER);
        done = true;
    });
    usleep(50000);
    EXPECT_FALSE(done.load()) << "nobody signalled yet";
    EXPECT_TRUE(signal_until(c.get(), [&] { return done.load(); }, false));
    waiter.join();
    EXPECT_EQ(result.load(), 0);
}

TEST(CondEvent, BroadcastWakesEveryWaiter)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            if (os_cond_wait(c.get(), OS_WAIT_FOREVER) == 0)
                woken++;
        });
    }
    EXPECT_TRUE(signal_until(c.get(), [&] { return woken.load() == 3; }, true));
    for (auto &t : waiters)
        t.join();
}

TEST(CondEvent, CancelledWaiterLeavesTheEventUsable)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    pthread_t waiter;
    auto wait_forever = [](void *arg) -> void * {
        os_cond_wait(static_cast<os_cond *>(arg), OS_WAIT_FOREVER);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&waiter, nullptr, wait_forever, c.get()), 0);
    usleep(50000);
    ASSERT_EQ(pthread_cancel(waiter), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(waiter, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);

    // A cancelled waiter that kept the event's mutex would block this wait
    // for ever instead of letting it time out.
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    std::thread next([&] {
        result = os_cond_wait(c.get(), 100);
        done = true;
    });
    for (int i = 0; i < 300 && !done; i++)
        usleep(10000);
    if (!done) {
        next.detach();
        (void)c.release();
        FAIL() << "the next waiter stayed blocked";
    }
    next.join();
    EXPECT_EQ(result.load(), -2);
}

TEST(CondEvent, ReinitKeepsTheEventUsable)
{
    cond_ptr c(os_cond_new());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(os_cond_init(c.get()), 0);
    EXPECT_EQ(os_cond_wait(c.get(), 10), -2);
    os_cond_free(nullptr);
}

TEST(Clock, AddMillisecondsCarriesIntoSeconds)
{
    struct row {
        os_time start;
        uint64_t ms;
        os_time want;
    } rows[] = {
        {{10, 999000000}, 1, {11, 0}},           // exactly 1e9 nanoseconds
        {{10, 500000000}, 500, {11, 0}},
        {{10, 0}, 1500, {11, 500000000}},
        {{10, 999999999}, 0, {10, 999999999}},
        {{10, 1}, 999, {10, 999000001}},
        {{10, 999999999}, 1, {11, 999999}},
        {{0, 0}, 0xFFFFFFFFull, {4294967, 295000000}},
    };
    for (const row &r : rows) {
        os_time t = r.start;
        os_time_add_ms(&t, r.ms);
        EXPECT_EQ(t.sec, r.want.sec) << r.start.sec << "." << r.start.nsec << " + " << r.ms;
        EXPECT_EQ(t.nsec, r.want.nsec) << r.start.sec << "." << r.start.nsec << " + " << r.ms;
    }
}

TEST(Clock, DeadlinesLieAheadOfTheWallClock)
{
    os_time now{};
    os_time_now(&now);
    os_time later{};
    os_time_after_ms(&later, 2500);
    EXPECT_LT(later.nsec, 1000000000u);
    EXPECT_GE(later.sec, now.sec + 2);
    EXPECT_LE(later.sec, now.sec + 4);

    timespec ts{};
    os_timespec_after_ms(&ts, 0xFFFFFFFFu);
    EXPECT_GE(static_cast<uint64_t>(ts.tv_sec), now.sec + 4294967);
    EXPECT_LT(ts.tv_nsec, 1000000000);

    timeval tv{};
    EXPECT_TRUE(os_time_now_us(&tv));
    EXPECT_LT(tv.tv_usec, 1000000);
    EXPECT_GE(static_cast<uint64_t>(tv.tv_sec), now.sec);
    EXPECT_TRUE(os_time_now_us(nullptr));
}

TEST(Clock, TicksNeverDecreaseAndAgree)
{
    uint64_t ms = os_tick_ms();
    uint64_t us = os_tick_us();
    uint64_t ns = os_tick_ns();
    EXPECT_LE(ms, us / 1000);
    EXPECT_LE(us, ns / 1000);
    EXPECT_LT(ns / 1000000 - ms, 1000u);
    uint64_t prev = os_tick_ns();
    for (int i = 0; i < 1000; i++) {
        uint64_t now = os_tick_ns();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

TEST(Sleep, LongSleepIsSecondsThenMicroseconds)
{
    uint64_t t0 = os_tick_ms();
    os_sleep_ms(1050);
    uint64_t elapsed = os_tick_ms() - t0;
    EXPECT_GE(elapsed, 1050u);
    EXPECT_LT(elapsed, 3000u);

    t0 = os_tick_ms();
    os_sleep_ms(30);
    EXPECT_GE(os_tick_ms() - t0, 30u);
}

TEST(Sleep, MicrosecondSleepBeyond32BitsIsNotCut)
{
    // 2^32 + 1 us is over an hour; cut to 32 bits it would be 1 us.
    pthread_t sleeper;
    auto sleep_long = [](void *) -> void * {
        os_sleep_us((uint64_t{1} << 32) + 1);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&sleeper, nullptr, sleep_long, nullptr), 0);
    usleep(200000);
    void *res = nullptr;
    EXPECT_EQ(pthread_tryjoin_np(sleeper, &res), EBUSY) << "the sleep ended early";
    pthread_cancel(sleeper);
    pthread_join(sleeper, &res);
}

TEST(Identity, ThreadAndProcessIds)
{
    uint64_t mine = os_thread_id();
    EXPECT_EQ(mine, static_cast<uint64_t>(gettid()));
    uint64_t other = 0;
    std::thread([&] { other = os_thread_id(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
    EXPECT_EQ(os_process_id(), getpid());
    EXPECT_EQ(os_get_host_id(), os_host_id());
}
