// Synchronisation and time for every concurrent module: a heap-held mutex, a
// condition event that carries its own mutex and keeps no signalled state
// (waiters wait in bounded slices and test their own condition after each
// return), sleeping, the caller's thread, process and host ids, wall-clock
// readings and deadlines, and the monotonic ticks that time-outs are measured
// with.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

struct os_mutex;
struct os_cond;

// A clock reading; nsec stays below 1e9.
struct os_time {
    uint64_t sec;
    uint32_t nsec;
};

// Not recursive. mutex_free of a locked mutex is not allowed.
os_mutex *mutex_malloc();
void mutex_free(os_mutex *mutex);
bool mutex_lock(os_mutex *mutex);
bool mutex_unlock(os_mutex *mutex);
// True when the lock was taken.
bool mutex_trylock(os_mutex *mutex);

// os_cond_wait's "no time limit".
constexpr uint32_t OS_WAIT_FOREVER = 0xFFFFFFFFu;

os_cond *os_cond_new();
void os_cond_free(os_cond *cond);
// Initialises the condition variable of an existing event again.
int os_cond_init(os_cond *cond);
// A signal that finds nobody waiting is lost.
int os_cond_signal(os_cond *cond);
int os_cond_broadcast(os_cond *cond);
// 0 woken, -2 time-out, -1 failure. Bounded waits run against a monotonic
// deadline, so a wall-clock step neither stretches nor cuts them.
int os_cond_wait(os_cond *cond, uint32_t ms);
// Waits on cond under the caller's own mutex instead of the event's: locked
// is held on entry and again on return, so a signal sent under it after the
// caller tested its condition is never lost. 0 woken (test the condition
// again), -2 time-out, -1 failure. A thread cancelled here unwinds holding
// locked, for the caller's guard to release.
int os_cond_wait_locked(os_cond *cond, os_mutex *locked, uint32_t ms);

// All ones sleeps forever (waiting for signals). An interrupted sleep is not resumed.
void os_sleep_ms(uint64_t ms);
void os_sleep_s(uint64_t s);
void os_sleep_us(uint64_t us);

// The kernel's id of the calling thread.
uint64_t os_thread_id();
int os_process_id();
// The host identifier: the machine's first link-layer address as a number, 0 without one.
uint64_t os_get_host_id();

int os_clock_get(clockid_t clock_id, os_time *time);
// Wall clock.
void os_time_now(os_time *time);
// Stores {seconds, microseconds} of the wall clock when tv is given; always true.
bool os_time_now_us(timeval *tv);
// Adds ms to a reading, carrying whole seconds out of the nanoseconds.
void os_time_add_ms(os_time *time, uint64_t ms);
// The wall clock now plus ms.
void os_time_after_ms(os_time *time, uint32_t ms);
void os_timespec_after_ms(timespec *ts, uint32_t ms);
// The monotonic clock now plus ms: the deadline of a CLOCK_MONOTONIC wait.
void os_timespec_tick_after_ms(timespec *ts, uint32_t ms);

// Monotonic clock: never decreases, does not follow wall-clock changes.
uint64_t os_tick_ms();
uint64_t os_tick_us();
uint64_t os_tick_ns();
