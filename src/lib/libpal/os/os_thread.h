// Named threads: every thread of the system starts here, registered under its
// name for the logger, with a stack size the environment can change
// (QD_THREAD_STACK_SIZE). The handle is shared by the thread and its owner;
// whichever of them lets go of it second frees it.
#pragma once

#include <cstdint>

struct os_thread;

// Copied into the start record when given; it has no further effect.
struct os_thread_attr {
    uint64_t words[2];
};

using os_thread_proc = int (*)(void *arg);

constexpr int OS_THREAD_STACK_SIZE = 262144;

// stack_size 0: QD_THREAD_STACK_SIZE when set, else OS_THREAD_STACK_SIZE.
// nullptr when the name or function is missing or the thread cannot start;
// then errno holds the system's reason. Running out of threads (EAGAIN) is
// left to the caller to report: a server refusing sessions does so at its
// own pace, once a second, not once per connection.
os_thread *os_thread_init2(const char *name, os_thread_proc func, void *arg, int stack_size,
                           const os_thread_attr *attr);
os_thread *os_thread_init(const char *name, os_thread_proc func, void *arg, int stack_size);

// 0 joined (exit_value gets the function's result), -2 time-out (the thread
// runs on), -1 join failed. ms -1 waits without limit.
int os_thread_wait(os_thread *thread, int ms, int *exit_value);
// 0 when this call freed the handle, -1 when the thread frees it as it ends.
// Requires: called once per handle; the handle is not used afterwards.
int os_thread_release(os_thread *thread);
// -1 when the system refuses. Only for a thread whose function crosses no
// noexcept frame: the unwind would end the process there. Nothing that stops
// the daemon's own threads uses it.
int os_thread_cancel(os_thread *thread);
// Waits ms for the thread to end, then releases the handle. A thread still
// running is never cancelled (the unwind would end the process at the first
// noexcept frame it crosses): it runs on detached and frees its handle when
// it ends. 0 joined (exit_value set); -1 not joined, so whatever the thread
// may still touch must outlive it: the caller leaks it.
int os_thread_wait_kill_exit(os_thread *thread, int ms, int *exit_value);
// Ends the calling thread with value as its exit value.
[[noreturn]] void os_thread_exit(int value);
