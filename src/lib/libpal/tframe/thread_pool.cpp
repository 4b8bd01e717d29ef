// The thread pool: workers that each drain their own queue, a producer that
// deals jobs out round robin, and a stop that waits a bounded time and never
// cancels (the jobs run C++ code).
#include "libpal/tframe/thread_pool.h"

#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_sys_text.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// An idle worker wakes this often: it bounds both the delay of the idle
// signal and the time a stop takes to be noticed.
constexpr uint32_t k_idle_ms = 10;
constexpr int k_stop_wait_ms = 1000;

void pool_free(thread_pool *pool)
{
    os_cond_free(pool->idle);
    os_free(pool->workers);
    os_free(pool);
}

// Releases the jobs left in a stopped worker's queue without running them.
void worker_discard(thread_pool_worker_rec *w)
{
    if (w->jobs == nullptr)
        return;
    while (void *job = queue_pop(w->jobs)) {
        w->pending.fetch_sub(1);
        os_free(job);
    }
    queue_close(w->jobs);
    w->jobs = nullptr;
}

}  // namespace

int thread_pool_worker(void *arg)
{
    auto *w = static_cast<thread_pool_worker_rec *>(arg);
    ZLOG_VERB("==>\n");
    while (w->running.load()) {
        auto *job = static_cast<thread_pool_job *>(queue_pop_wait(w->jobs, k_idle_ms));
        if (job == nullptr) {
            os_cond_signal(w->pool->idle);
            continue;
        }
        if (job->func != nullptr)
            job->func(job->arg);
        w->pending.fetch_sub(1);
        os_free(job);
    }
    ZLOG_VERB("<==\n");
    return 0;
}

thread_pool *thread_pool_init(thread_pool_param *param)
{
    PL_ASSERT_RET(param != nullptr && param->name != nullptr && param->count >= 0, nullptr);
    const int32_t count = param->count != 0 ? param->count : os_cpu_count();
    param->count = count;

    void *mem = os_zalloc(sizeof(thread_pool));
    if (mem == nullptr)
        return nullptr;
    auto *pool = new (mem) thread_pool{};
    pool->workers = static_cast<thread_pool_worker_rec *>(os_zalloc(sizeof(thread_pool_worker_rec) * count));
    if (pool->workers == nullptr) {
        ZLOG_ERR("malloc workq failed!\n");
        os_free(pool);
        return nullptr;
    }
    for (int32_t i = 0; i < count; i++)
        new (&pool->workers[i]) thread_pool_worker_rec{};
    pool->count = count;
    pool->idle = os_cond_new();
    if (pool->idle == nullptr) {
        pool_free(pool);
        return nullptr;
    }
    for (int32_t i = 0; i < count; i++) {
        thread_pool_worker_rec *w = &pool->workers[i];
        str_sprintf_s2(w->name, sizeof(w->name), "%s_%d", param->name, i);
        w->pool = pool;
        w->jobs = queue_init(nullptr);
        w->running = 1;
        w->thread = w->jobs != nullptr ? os_thread_init2(w->name, thread_pool_worker, w, 0, param->attr) : nullptr;
        // A worker that is missing would hold its jobs forever: the whole pool fails.
        if (w->thread == nullptr) {
            ZLOG_ERR("start worker [%s] failed\n", w->name);
            thread_ctx_exit(pool);
            return nullptr;
        }
    }
    return pool;
}

int thread_pool_add(thread_pool *pool, thread_pool_proc func, void *arg)
{
    if (pool->exiting.load()) {
        ZLOG_ERR("pool is stopping, job refused\n");
        return -1;
    }
    const uint32_t turn = pool->turn.fetch_add(1) + 1;
    thread_pool_worker_rec *w = &pool->workers[turn % static_cast<uint32_t>(pool->count)];
    auto *job = static_cast<thread_pool_job *>(os_malloc(sizeof(thread_pool_job)));
    if (job == nullptr)
        return -1;
    job->func = func;
    job->arg = arg;
    // Counted before it can run, so the sum never dips below the jobs left.
    w->pending.fetch_add(1);
    if (queue_push(w->jobs, job) != 0) {
        w->pending.fetch_sub(1);
        os_free(job);
        return -1;
    }
    return 0;
}

int thread_pool_wait(thread_pool *pool, uint32_t ms)
{
    return os_cond_wait(pool->idle, ms);
}

int32_t thread_pool_pending(const thread_pool *pool)
{
    int32_t sum = 0;
    for (int32_t i = 0; i < pool->count; i++)
        sum += pool->workers[i].pending.load();
    return sum;
}

int thread_ctx_exit(thread_pool *pool)
{
    pool->exiting.store(true);
    // Every worker is told first, so they all finish their running jobs at once.
    for (int32_t i = 0; i < pool->count; i++) {
        ZLOG_VERB("[%s]\n", pool->workers[i].name);
        pool->workers[i].running.store(0);
    }
    bool left_running = false;
    for (int32_t i = 0; i < pool->count; i++) {
        thread_pool_worker_rec *w = &pool->workers[i];
        if (w->thread == nullptr)
            continue;
        const int ret = os_thread_wait_kill_exit(w->thread, k_stop_wait_ms, nullptr);
        w->thread = nullptr;
        if (ret < 0) {
            ZLOG_DBG("os_thread_wait_kill_exit [%s] ret=%d\n", w->name, ret);
            left_running = true;
        }
    }
    // A worker still in its job may yet touch its record, the idle event and
    // the queues: the pool is left to it.
    if (left_running) {
        ZLOG_WARN("a worker outlived the stop; the pool is left allocated\n");
        return 0;
    }
    for (int32_t i = 0; i < pool->count; i++)
        worker_discard(&pool->workers[i]);
    pool_free(pool);
    return 0;
}
