#include "libpal/tframe/thread_pool.h"

#include <unistd.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_sys_text.h"
#include "str_log_capture.h"

namespace {

// Bounds every wait of these tests, far above what a healthy pool needs.
constexpr uint64_t k_limit_ms = 10000;

void count_job(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// Spins in short sleeps until flag is set or the limit passes.
bool wait_for(const std::atomic<bool> &flag)
{
    const uint64_t end = os_tick_ms() + k_limit_ms;
    while (!flag.load() && os_tick_ms() < end)
        os_sleep_ms(1);
    return flag.load();
}

// The drain the hashing tools run: wait while jobs are pending, re-reading
// the count after each wake-up. True when it reached 0 in time.
bool drain(thread_pool *pool)
{
    const uint64_t end = os_tick_ms() + k_limit_ms;
    while (thread_pool_pending(pool) > 0) {
        const uint64_t now = os_tick_ms();
        if (now >= end)
            return false;
        thread_pool_wait(pool, static_cast<uint32_t>(end - now));
    }
    return true;
}

// A job that holds its worker until the gate opens.
struct gate {
    std::atomic<bool> open{false};
};

void gated_job(void *arg)
{
    wait_for(static_cast<gate *>(arg)->open);
}

thread_pool *start(int32_t count, const char *name = "tp")
{
    thread_pool_param param{count, name, nullptr};
    return thread_pool_init(&param);
}

}  // namespace

TEST(ThreadPool, CountZeroTakesTheProcessorCountAndNamesWorkers)
{
    thread_pool_param param{0, "phash_thread_pool", nullptr};
    thread_pool *pool = thread_pool_init(&param);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(param.count, os_cpu_count());
    ASSERT_EQ(pool->count, os_cpu_count());
    for (int32_t i = 0; i < pool->count; i++)
        EXPECT_EQ(std::string(pool->workers[i].name), "phash_thread_pool_" + std::to_string(i));
    EXPECT_EQ(thread_ctx_exit(pool), 0);
}

// With 3 workers, jobs 1 to 4 go to workers 1, 2, 0, 1.
TEST(ThreadPool, RoundRobinStartsAtWorkerOne)
{
    thread_pool *pool = start(3);
    ASSERT_NE(pool, nullptr);
    gate g;
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(thread_pool_add(pool, gated_job, &g), 0);
    EXPECT_EQ(pool->workers[0].pending.load(), 1);
    EXPECT_EQ(pool->workers[1].pending.load(), 2);
    EXPECT_EQ(pool->workers[2].pending.load(), 1);
    EXPECT_EQ(thread_pool_pending(pool), 4);
    g.open = true;
    EXPECT_TRUE(drain(pool));
    thread_ctx_exit(pool);
}

TEST(ThreadPool, RunsEveryJobAndDrainsToZero)
{
    thread_pool *pool = start(4);
    ASSERT_NE(pool, nullptr);
    std::atomic<int> runs{0};
    for (int i = 0; i < 2000; i++)
        ASSERT_EQ(thread_pool_add(pool, count_job, &runs), 0);
    ASSERT_EQ(thread_pool_add(pool, nullptr, nullptr), 0);  // skipped, still counted off
    EXPECT_TRUE(drain(pool));
    EXPECT_EQ(runs.load(), 2000);
    EXPECT_EQ(thread_pool_pending(pool), 0);
    thread_ctx_exit(pool);
}

TEST(ThreadPool, IdlePoolSignalsWithinItsSlice)
{
    thread_pool *pool = start(1);
    ASSERT_NE(pool, nullptr);
    // The idle signal comes every 10 ms; a generous bound keeps loaded machines green.
    const uint64_t t0 = os_tick_ms();
    EXPECT_EQ(thread_pool_wait(pool, 5000), 0);
    EXPECT_LT(os_tick_ms() - t0, 2000u);
    thread_ctx_exit(pool);
}

struct exit_probe {
    thread_pool *pool;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

// Runs until the stop has told its worker to end (a fixed sleep let the
// worker go on to the queued jobs when the stop came late), then ends
// within the stop's wait.
void slow_job(void *arg)
{
    auto *p = static_cast<exit_probe *>(arg);
    p->started = true;
    const uint64_t end = os_tick_ms() + k_limit_ms;
    while (p->pool->workers[0].running.load() != 0 && os_tick_ms() < end)
        os_sleep_ms(1);
    p->finished = true;
}

// The running job finishes; the queued ones are released without running
// (the leak checker sees that they were freed).
TEST(ThreadPool, ExitWaitsForTheRunningJobAndDropsQueuedOnes)
{
    thread_pool *pool = start(1);
    ASSERT_NE(pool, nullptr);
    exit_probe probe{pool};
    std::atomic<int> runs{0};
    ASSERT_EQ(thread_pool_add(pool, slow_job, &probe), 0);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(thread_pool_add(pool, count_job, &runs), 0);
    ASSERT_TRUE(wait_for(probe.started));
    EXPECT_EQ(thread_ctx_exit(pool), 0);
    EXPECT_TRUE(probe.finished.load());
    EXPECT_EQ(runs.load(), 0);
}

struct adder {
    thread_pool *pool;
    std::atomic<bool> started{false};
    std::atomic<int> last{0};
    std::atomic<int> runs{0};
};

// Keeps adding jobs to its own pool until it is refused.
void adding_job(void *arg)
{
    auto *a = static_cast<adder *>(arg);
    a->started = true;
    const uint64_t end = os_tick_ms() + k_limit_ms;
    int ret = 0;
    while (ret == 0 && os_tick_ms() < end) {
        ret = thread_pool_add(a->pool, count_job, &a->runs);
        os_sleep_ms(1);
    }
    a->last = ret;
}

TEST(ThreadPool, JobAddedOnceTheStopBeganIsRefused)
{
    adder a;
    a.pool = start(2);
    ASSERT_NE(a.pool, nullptr);
    ASSERT_EQ(thread_pool_add(a.pool, adding_job, &a), 0);
    ASSERT_TRUE(wait_for(a.started));
    log_capture log;
    EXPECT_EQ(thread_ctx_exit(a.pool), 0);
    EXPECT_EQ(a.last.load(), -1);
    EXPECT_TRUE(log.has("pool is stopping, job refused\n"));
}

struct stuck_job {
    thread_pool *pool;
    gate release;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> finished{false};
    std::atomic<int> add_after_stop{0};
};

// Holds its worker until released, then uses its pool as a job may: it
// reads the pool's state by adding a job (refused, as the pool is stopping).
void stuck(void *arg)
{
    auto *s = static_cast<stuck_job *>(arg);
    s->tid = gettid();
    wait_for(s->release.open);
    s->add_after_stop = thread_pool_add(s->pool, count_job, nullptr);
    s->finished = true;
}

bool task_gone(pid_t tid)
{
    return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
}

// The stop waits 1000 ms for each worker; a job that outlasts that wait keeps
// its worker, its record and the pool: freeing them would put the worker's
// last steps (and the job's own use of the pool) in freed memory, which the
// address sanitizer reports.
TEST(ThreadPool, StopGivesUpOnAJobThatOutlastsTheWaitAndFreesNothing)
{
    stuck_job job;
    job.pool = start(2, "tp_stuck");
    ASSERT_NE(job.pool, nullptr);
    ASSERT_EQ(thread_pool_add(job.pool, stuck, &job), 0);  // on worker 1
    const uint64_t started = os_tick_ms();
    while (job.tid.load() == 0 && os_tick_ms() < started + k_limit_ms)
        os_sleep_ms(1);
    ASSERT_NE(job.tid.load(), 0);

    log_capture log;
    const uint64_t t0 = os_tick_ms();
    EXPECT_EQ(thread_ctx_exit(job.pool), 0);
    const uint64_t took = os_tick_ms() - t0;
    EXPECT_GE(took, 1000u) << "the stop gave up on the busy worker before its bound";
    EXPECT_LT(took, k_limit_ms) << "the stop waited for the job to end";
    EXPECT_FALSE(job.finished.load());
    EXPECT_TRUE(log.has("[tp_stuck_1] ret=-1\n")) << "the worker left running is named";
    EXPECT_FALSE(log.has("[tp_stuck_0] ret=")) << "the idle worker was joined";
    EXPECT_TRUE(log.has("a worker outlived the stop; the pool is left allocated\n"));

    job.release.open = true;
    EXPECT_TRUE(wait_for(job.finished));
    EXPECT_EQ(job.add_after_stop.load(), -1);
    const uint64_t end = os_tick_ms() + k_limit_ms;
    while (!task_gone(job.tid.load()) && os_tick_ms() < end)
        os_sleep_ms(1);
    ASSERT_TRUE(task_gone(job.tid.load()));
    EXPECT_EQ(thread_pool_pending(job.pool), 0);
    // With its last worker gone, a second stop frees what the first one left.
    EXPECT_EQ(thread_ctx_exit(job.pool), 0);
}

TEST(ThreadPool, WorkerThatCannotStartFailsTheWholePool)
{
    // A stack size the thread start refuses.
    os_setenv("QD_THREAD_STACK_SIZE", "8G", 1);
    log_capture log;
    EXPECT_EQ(start(3), nullptr);
    os_unsetenv("QD_THREAD_STACK_SIZE");
    EXPECT_TRUE(log.has("start worker [tp_0] failed\n"));
}
