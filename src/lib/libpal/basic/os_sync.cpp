// Mutexes and condition events over pthreads, sleeping, ids and clocks.
#include "libpal/basic/os_sync.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <unistd.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_hostid.h"

struct os_mutex {
    pthread_mutex_t mtx;
};

struct os_cond {
    pthread_cond_t cond;
    os_mutex *mutex;
};

namespace {

void unlock_on_cancel(void *mtx)
{
    pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mtx));
}

constexpr uint64_t k_ns_per_sec = 1000000000ull;
constexpr size_t k_align = 64;

// Bounded waits measure against CLOCK_MONOTONIC: a wall-clock step must not
// stretch or cut them.
int cond_var_init(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return -1;
    int rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

timespec to_timespec(const os_time &t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.sec);
    ts.tv_nsec = static_cast<long>(t.nsec);
    return ts;
}

}  // namespace

os_mutex *mutex_malloc()
{
    void *mem = os_malloc_align(sizeof(os_mutex), k_align);
    if (mem == nullptr)
        return nullptr;
    auto *m = new (mem) os_mutex;
    if (pthread_mutex_init(&m->mtx, nullptr) != 0) {
        os_free_align(mem);
        return nullptr;
    }
    return m;
}

void mutex_free(os_mutex *mutex)
{
    if (mutex == nullptr)
        return;
    pthread_mutex_destroy(&mutex->mtx);
    os_free_align(mutex);
}

bool mutex_lock(os_mutex *mutex)
{
    return pthread_mutex_lock(&mutex->mtx) == 0;
}

bool mutex_unlock(os_mutex *mutex)
{
    return pthread_mutex_unlock(&mutex->mtx) == 0;
}

bool mutex_trylock(os_mutex *mutex)
{
    return pthread_mutex_trylock(&mutex->mtx) == 0;
}

os_cond *os_cond_new()
{
    pl_owned<os_mutex, mutex_free> mutex(mutex_malloc());
    pl_owned<void, os_free_align> mem(mutex ? os_malloc_align(sizeof(os_cond), k_align) : nullptr);
    if (!mem)
        return nullptr;
    auto *c = new (mem.get()) os_cond;
    if (cond_var_init(&c->cond) != 0)
        return nullptr;
    c->mutex = mutex.release();
    mem.release();
    return c;
}

void os_cond_free(os_cond *cond)
{
    if (cond == nullptr)
        return;
    mutex_free(cond->mutex);
    pthread_cond_destroy(&cond->cond);
    os_free_align(cond);
}

int os_cond_init(os_cond *cond)
{
    return cond_var_init(&cond->cond);
}

int os_cond_signal(os_cond *cond)
{
    return pthread_cond_signal(&cond->cond) == 0 ? 0 : -1;
}

int os_cond_broadcast(os_cond *cond)
{
    return pthread_cond_broadcast(&cond->cond) == 0 ? 0 : -1;
}

int os_cond_wait(os_cond *cond, uint32_t ms)
{
    timespec deadline{};
    const bool bounded = ms != OS_WAIT_FOREVER;
    if (bounded)
        os_timespec_tick_after_ms(&deadline, ms);
    // The mutex covers only the wait itself: a signal sent before the waiter
    // got here is lost, which is why callers wait in slices.
    if (pthread_mutex_lock(&cond->mutex->mtx) != 0)
        return -1;
    // The wait is a cancellation point that returns with the mutex held: a
    // thread cancelled here must not leave every later waiter blocked on it.
    int rc;
    pthread_cleanup_push(unlock_on_cancel, &cond->mutex->mtx);
    rc = bounded ? pthread_cond_timedwait(&cond->cond, &cond->mutex->mtx, &deadline)
                 : pthread_cond_wait(&cond->cond, &cond->mutex->mtx);
    pthread_cleanup_pop(1);
    if (rc == 0)
        return 0;
    return rc == ETIMEDOUT ? -2 : -1;
}

// A cancellation unwinds from the wait straight into the caller's clean-up.
// The address sanitizer's unwinding hook trips over the stack redzones of an
// instrumented frame left between the two, so this frame carries none.
[[gnu::no_sanitize_address]] int os_cond_wait_locked(os_cond *cond, os_mutex *locked, uint32_t ms)
{
    int rc = 0;
    if (ms == OS_WAIT_FOREVER) {
        rc = pthread_cond_wait(&cond->cond, &locked->mtx);
    } else {
        timespec deadline{};
        os_timespec_tick_after_ms(&deadline, ms);
        rc = pthread_cond_timedwait(&cond->cond, &locked->mtx, &deadline);
    }
    if (rc == 0)
        return 0;
    return rc == ETIMEDOUT ? -2 : -1;
}

void os_sleep_ms(uint64_t ms)
{
    if (ms == UINT64_MAX) {
        for (;;)
            pause();
    }
    if (ms >= 1000) {
        uint64_t s = ms / 1000;
        sleep(s > UINT32_MAX ? UINT32_MAX : static_cast<unsigned>(s));
    }
    usleep(static_cast<useconds_t>((ms % 1000) * 1000));
}

void os_sleep_s(uint64_t s)
{
    if (s == UINT64_MAX)
        os_sleep_ms(UINT64_MAX);
    // Saturate below "forever" rather than wrap.
    os_sleep_ms(s >= UINT64_MAX / 1000 ? UINT64_MAX - 1 : s * 1000);
}

void os_sleep_us(uint64_t us)
{
    // usleep takes 32 bits (and refuses a second or more on some systems):
    // whole seconds go to the millisecond sleep, so a long wait is not cut
    // to its remainder modulo 2^32.
    if (us >= 1000000) {
        os_sleep_ms(us == UINT64_MAX ? UINT64_MAX : us / 1000);
        us %= 1000;
    }
    if (us != 0)
        usleep(static_cast<useconds_t>(us));
}

uint64_t os_thread_id()
{
    return static_cast<uint64_t>(gettid());
}

int os_process_id()
{
    return static_cast<int>(getpid());
}

uint64_t os_get_host_id()
{
    return os_host_id();
}

int os_clock_get(clockid_t clock_id, os_time *time)
{
    timespec ts{};
    int rc = clock_gettime(clock_id, &ts);
    time->sec = static_cast<uint64_t>(ts.tv_sec);
    time->nsec = static_cast<uint32_t>(ts.tv_nsec);
    return rc;
}

void os_time_now(os_time *time)
{
    os_clock_get(CLOCK_REALTIME, time);
}

bool os_time_now_us(timeval *tv)
{
    if (tv != nullptr) {
        os_time t{};
        os_time_now(&t);
        tv->tv_sec = static_cast<time_t>(t.sec);
        tv->tv_usec = static_cast<suseconds_t>(t.nsec / 1000);
    }
    return true;
}

void os_time_add_ms(os_time *time, uint64_t ms)
{
    uint64_t ns = time->nsec + (ms % 1000) * 1000000ull;
    time->sec += ms / 1000 + ns / k_ns_per_sec;
    time->nsec = static_cast<uint32_t>(ns % k_ns_per_sec);
}

void os_time_after_ms(os_time *time, uint32_t ms)
{
    os_time_now(time);
    os_time_add_ms(time, ms);
}

void os_timespec_after_ms(timespec *ts, uint32_t ms)
{
    os_time t{};
    os_time_after_ms(&t, ms);
    *ts = to_timespec(t);
}

void os_timespec_tick_after_ms(timespec *ts, uint32_t ms)
{
    os_time t{};
    os_clock_get(CLOCK_MONOTONIC, &t);
    os_time_add_ms(&t, ms);
    *ts = to_timespec(t);
}

uint64_t os_tick_ms()
{
    os_time t{};
    os_clock_get(CLOCK_MONOTONIC, &t);
    return t.sec * 1000 + t.nsec / 1000000;
}

uint64_t os_tick_us()
{
    os_time t{};
    os_clock_get(CLOCK_MONOTONIC, &t);
    return t.sec * 1000000 + t.nsec / 1000;
}

uint64_t os_tick_ns()
{
    os_time t{};
    os_clock_get(CLOCK_MONOTONIC, &t);
    return t.sec * k_ns_per_sec + t.nsec;
}
