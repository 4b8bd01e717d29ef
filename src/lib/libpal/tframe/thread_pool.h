// A fixed set of named worker threads, each with its own job queue, to which
// one producer hands jobs round robin. The hashing tools spread the blocks of
// a file over the processors with it while one thread reads the file.
// Workers are named "<name>_<index>". The pool belongs to its creator, who
// adds jobs from one thread at a time and stops the pool with thread_ctx_exit
// once no producer is adding any more.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/basic/os_sync.h"
#include "libpal/comm/queue.h"
#include "libpal/os/os_thread.h"

using thread_pool_proc = void (*)(void *arg);

struct thread_pool_param {
    int32_t count;  // workers; 0: os_cpu_count(). Set to the count used.
    const char *name;  // base of the worker names
    const os_thread_attr *attr;  // optional, handed to every worker's start
};

struct thread_pool;

struct thread_pool_worker_rec {
    std::atomic<int32_t> running;  // 1 while the worker is to go on
    os_thread *thread;
    queue *jobs;  // this worker is its one consumer
    std::atomic<int32_t> pending;  // queued on this worker and not yet finished
    char name[256];
    thread_pool *pool;
};

struct thread_pool {
    int32_t count;
    std::atomic<uint32_t> turn;  // jobs handed out so far
    thread_pool_worker_rec *workers;
    os_cond *idle;  // signalled by every worker that found no job for 10 ms
    std::atomic<bool> exiting;  // set by thread_ctx_exit: no job is taken any more
};

struct thread_pool_job {
    thread_pool_proc func;
    void *arg;
};

// Starts every worker; nullptr (nothing left running) when memory runs out or
// any worker cannot start. Requires: thread_ctx_exit.
thread_pool *thread_pool_init(thread_pool_param *param);
// Queues func(arg) on the next worker in turn, the first job on worker 1 (0
// when there is one). 0, or -1 when the job cannot be allocated or queued, or
// the pool is stopping.
int thread_pool_add(thread_pool *pool, thread_pool_proc func, void *arg);
// Waits for the next idle signal: 0 signalled, -2 time-out, -1 failure. A
// drain waits while thread_pool_pending is above 0, re-reading it after each
// return.
int thread_pool_wait(thread_pool *pool, uint32_t ms);
// Jobs queued and not yet finished, summed over the workers at one moment.
int32_t thread_pool_pending(const thread_pool *pool);
// Stops every worker (waiting up to 1000 ms for each one's running job),
// releases the jobs still queued without running them, and frees the pool.
// A worker whose job outlasts the wait runs on: the pool is then left to it
// and nothing is freed. Always 0.
int thread_ctx_exit(thread_pool *pool);

// A worker's thread function: runs its queue's jobs until told to stop.
int thread_pool_worker(void *arg);
