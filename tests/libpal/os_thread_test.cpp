#include "libpal/os/os_thread.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "fail_inject.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/os/os_init.h"
#include "str_log_capture.h"
#include "wakeups.h"

#define ZLOG_TAG "test"
#include "liblog/zlog.h"

namespace {

// True once the kernel no longer lists the thread tid: it has done
// everything by then, its last touch of its handle included.
bool task_gone(pid_t tid)
{
    return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
}

// Holds a thread until the test opens it.
struct gate {
    std::atomic<bool> open{false};
    std::atomic<pid_t> tid{0};  // the kernel's id of the thread held
};

int run_until_open(void *p)
{
    auto *g = static_cast<gate *>(p);
    g->tid = gettid();
    while (!g->open.load())
        os_sleep_ms(1);
    return 7;
}

int sleep_300_ms(void *)
{
    os_sleep_ms(300);
    return 4;
}

int return_at_once(void *)
{
    return 3;
}

struct seen {
    std::string name;
    std::string tid;
    size_t stack = 0;
};

int look_around(void *p)
{
    auto *s = static_cast<seen *>(p);
    char buf[512];
    s->name = os_thread_name_get(buf, sizeof(buf));
    s->tid = std::to_string(os_thread_id());
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &s->stack);
        pthread_attr_destroy(&attr);
    }
    return 7;
}

int exit_early(void *)
{
    os_thread_exit(5);
}

// A thread held past its owner's wait in one of three ways, and the caller's
// data it reads once let go.
struct held {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> open{false};  // polled
    int fds[2] = {-1, -1};          // read
    std::mutex lock;                // a condition wait inside a noexcept frame
    std::condition_variable cv;
    std::string data = "the caller's data";
    std::string seen;

    held() { EXPECT_EQ(pipe(fds), 0); }
    ~held()
    {
        close(fds[0]);
        close(fds[1]);
    }
    void let_go()
    {
        {
            std::lock_guard<std::mutex> g(lock);
            open = true;
        }
        cv.notify_all();
        EXPECT_EQ(write(fds[1], "x", 1), 1);
    }
    int done()
    {
        seen = data;
        return 7;
    }
};

int held_polling(void *p)
{
    auto *h = static_cast<held *>(p);
    h->tid = gettid();
    while (!h->open.load())
        os_sleep_ms(1);
    return h->done();
}

int held_in_read(void *p)
{
    auto *h = static_cast<held *>(p);
    h->tid = gettid();
    char c;
    if (read(h->fds[0], &c, 1) != 1)
        return -1;
    return h->done();
}

// A cancellation unwinding out of this frame would end the process.
void wait_noexcept(held *h) noexcept
{
    std::unique_lock<std::mutex> lk(h->lock);
    h->cv.wait(lk, [h] { return h->open.load(); });
}

int held_in_noexcept(void *p)
{
    auto *h = static_cast<held *>(p);
    h->tid = gettid();
    wait_noexcept(h);
    return h->done();
}

class NamedThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The registry's own objects must exist before anything is counted.
        ASSERT_EQ(os_thread_name_init(), 0);
        os_unsetenv("QD_THREAD_STACK_SIZE");
    }
    void TearDown() override { os_unsetenv("QD_THREAD_STACK_SIZE"); }
};

}  // namespace

TEST_F(NamedThread, RunsUnderItsNameAndReportsItsResult)
{
    seen s;
    os_thread *t = os_thread_init("clisrv", look_around, &s, 0);
    ASSERT_NE(t, nullptr);
    int value = 0;
    EXPECT_EQ(os_thread_wait(t, -1, &value), 0);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(os_thread_release(t), 0);
    EXPECT_TRUE(std::regex_match(s.name, std::regex("clisrv_[0-9a-f]{4}_" + s.tid))) << s.name;
}

TEST_F(NamedThread, OverlongNameStartsUnnamed)
{
    seen s;
    log_capture log;
    os_thread *t = os_thread_init(std::string(300, 'n').c_str(), look_around, &s, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(os_thread_wait_kill_exit(t, 2000, nullptr), 0);
    EXPECT_FALSE(log.all().empty());
    EXPECT_TRUE(std::regex_match(s.name, std::regex("_[0-9a-f]{4}_" + s.tid))) << s.name;
}

TEST_F(NamedThread, RefusesMissingNameOrFunctionOrBadStack)
{
    struct row {
        const char *name;
        os_thread_proc func;
        int stack;
        const char *report;
    };
    const row rows[] = {
        {nullptr, return_at_once, 0, "expr[name!=NULL]: assert failed\n"},
        {"t", nullptr, 0, "expr[func!=NULL]: assert failed\n"},
        {"t", return_at_once, -1, "pthread_attr_setstacksize name:t size:-1 error: "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.report);
        log_capture log;  // first: it may create the log context
        alloc_tracker mem;
        EXPECT_EQ(os_thread_init(r.name, r.func, nullptr, r.stack), nullptr);
        EXPECT_TRUE(log.has(r.report));
        EXPECT_EQ(mem.live_count(), 0u);
    }
}

TEST_F(NamedThread, FailedAttributeSetupStartsNothingAndFreesAll)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "pthread_attr_init has no stand-in under ThreadSanitizer";
#endif
    log_capture log;
    // The logger makes its per-thread records at its first line; those are
    // not the thread start's to free.
    ZLOG_ERR("warm-up\n");
    alloc_tracker mem;
    std::atomic<bool> ran{false};
    {
        fail_inject::armed fail(fail_inject::attr_init_errno, ENOMEM);
        EXPECT_EQ(os_thread_init("noattr", [](void *p) { return static_cast<std::atomic<bool> *>(p)->exchange(true) ? 1 : 0; }, &ran, 0), nullptr);
    }
    EXPECT_TRUE(log.has("pthread_attr_init"));
    EXPECT_EQ(mem.live_count(), 0u);
    EXPECT_FALSE(ran.load());
}

TEST_F(NamedThread, StackSizeFromCallerEnvironmentOrDefault)
{
    struct row {
        int caller;
        const char *env;
        size_t expected;
        const char *report;  // nullptr: nothing about the variable is logged
    };
    const row rows[] = {
        {0, nullptr, 262144, nullptr},
        {0, "1M", 1048576, "QD_ENV_STACK_SIZE=1048576"},
        {2097152, "1M", 2097152, nullptr},
        {0, "junk", 262144, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.expected);
        if (r.env != nullptr)
            os_setenv("QD_THREAD_STACK_SIZE", r.env, 1);
        else
            os_unsetenv("QD_THREAD_STACK_SIZE");
        seen s;
        os_thread *t = nullptr;
        {
            log_capture log;
            t = os_thread_init("stk", look_around, &s, r.caller);
            EXPECT_EQ(log.has("QD_ENV_STACK_SIZE="), r.report != nullptr);
            if (r.report != nullptr) {
                EXPECT_TRUE(log.has(r.report));
            }
        }
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(os_thread_wait_kill_exit(t, 2000, nullptr), 0);
        // The thread library may hand out a cached stack up to four times
        // the size asked for.
        EXPECT_GE(s.stack, r.expected);
        EXPECT_LE(s.stack, 4 * r.expected);
    }
}

TEST_F(NamedThread, WaitIsBounded)
{
    gate g;
    os_thread *t = os_thread_init("gate", run_until_open, &g, 0);
    ASSERT_NE(t, nullptr);
    for (int ms : {0, 20}) {
        const uint64_t start = os_tick_ms();
        EXPECT_EQ(os_thread_wait(t, ms, nullptr), -2);
        EXPECT_LT(os_tick_ms() - start, 2000u);
    }
    g.open = true;
    int value = 0;
    EXPECT_EQ(os_thread_wait(t, -1, &value), 0);
    EXPECT_EQ(value, 7);
    // A joined thread waits no more.
    EXPECT_EQ(os_thread_wait(t, 0, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(os_thread_release(t), 0);
}

TEST_F(NamedThread, WaitSleepsUntilTheThreadEndsOrTheTimeLimit)
{
    os_thread *t = os_thread_init("sleeper", sleep_300_ms, nullptr, 0);
    ASSERT_NE(t, nullptr);
    const uint64_t from = thread_wakeups(gettid());
    EXPECT_EQ(os_thread_wait(t, 100, nullptr), -2);
    const uint64_t timed_out = thread_wakeups(gettid()) - from;
    int value = 0;
    EXPECT_EQ(os_thread_wait(t, 10000, &value), 0);
    const uint64_t joined = thread_wakeups(gettid()) - from;
    EXPECT_EQ(value, 4);
    EXPECT_EQ(os_thread_release(t), 0);
    RecordProperty("wakeups", std::to_string(timed_out) + " " + std::to_string(joined));
    // A join that polled would wake every millisecond or so.
    EXPECT_LE(timed_out, 3u);
    EXPECT_LE(joined, 6u) << "after the time-out: " << timed_out;
}

TEST_F(NamedThread, HandleIsFreedByWhicheverSideComesSecond)
{
    struct row {
        const char *what;
        bool owner_first;
    };
    const row rows[] = {
        {"thread ends, then the owner releases", false},
        {"owner releases, then the thread ends", true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        alloc_tracker mem;
        gate g;
        os_thread *t = os_thread_init("handover", run_until_open, &g, 0);
        ASSERT_NE(t, nullptr);
        if (r.owner_first) {
            EXPECT_EQ(os_thread_release(t), -1);
            EXPECT_GT(mem.live_count(), 0u);
            g.open = true;
            // The thread frees the handle (and its name) as it ends.
            EXPECT_TRUE(mem.wait_live(0));
        } else {
            g.open = true;
            // Only the handle is left once the thread has ended; its name
            // goes a moment before its last touch of the handle.
            ASSERT_TRUE(poll_until([&] { return g.tid.load() != 0; }));
            EXPECT_TRUE(poll_until([&] { return task_gone(g.tid.load()); }));
            EXPECT_EQ(mem.live_count(), 1u);
            EXPECT_EQ(os_thread_release(t), 0);
            EXPECT_EQ(mem.live_count(), 0u);
        }
    }
}

TEST_F(NamedThread, EndedThreadReportsItsValue)
{
    struct row {
        const char *what;
        os_thread_proc func;
        int value;
        bool kill_exit;  // waited with os_thread_wait_kill_exit
    };
    const row rows[] = {
        {"os_thread_exit", exit_early, 5, false},
        {"return in time", return_at_once, 3, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        alloc_tracker mem;
        os_thread *t = os_thread_init("ends", r.func, nullptr, 0);
        ASSERT_NE(t, nullptr);
        int value = 0;
        if (r.kill_exit) {
            EXPECT_EQ(os_thread_wait_kill_exit(t, 2000, &value), 0);
        } else {
            EXPECT_EQ(os_thread_wait(t, 2000, &value), 0);
            EXPECT_EQ(os_thread_release(t), 0);
        }
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(mem.live_count(), 0u);
    }
}

TEST_F(NamedThread, WaitKillExitLeavesARunningThreadAloneWithItsData)
{
    struct row {
        const char *what;
        os_thread_proc func;
    };
    const row rows[] = {
        {"polling a flag", held_polling},
        {"blocked in a read", held_in_read},
        {"waiting inside a noexcept frame", held_in_noexcept},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        held h;
        alloc_tracker mem;
        os_thread *t = os_thread_init("held", r.func, &h, 0);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(poll_until([&] { return h.tid.load() != 0; }));
        int value = -5;
        const uint64_t start = os_tick_ms();
        EXPECT_EQ(os_thread_wait_kill_exit(t, 50, &value), -1);
        EXPECT_LT(os_tick_ms() - start, 2000u);
        EXPECT_EQ(value, -5);
        // Not cancelled: still there, its handle and name not freed under it.
        EXPECT_FALSE(task_gone(h.tid.load()));
        EXPECT_GT(mem.live_count(), 0u);
        h.let_go();
        // It finishes its work on the caller's data and frees its own handle.
        EXPECT_TRUE(poll_until([&] { return task_gone(h.tid.load()); }));
        EXPECT_TRUE(mem.wait_live(0));
        EXPECT_EQ(h.seen, h.data);
    }
}

TEST_F(NamedThread, CancelEndsAThreadBlockedInAReadAndFreesItsHandle)
{
    held h;
    alloc_tracker mem;
    os_thread *t = os_thread_init("held", held_in_read, &h, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(poll_until([&] { return h.tid.load() != 0; }));
    EXPECT_EQ(os_thread_cancel(t), 0);
    // Joined: the unwind ran the thread's last step, so only the handle is left.
    EXPECT_EQ(os_thread_wait(t, 2000, nullptr), 0);
    EXPECT_EQ(os_thread_release(t), 0);
    EXPECT_EQ(mem.live_count(), 0u);
    EXPECT_TRUE(h.seen.empty());
}
