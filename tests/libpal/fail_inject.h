// Test helper: stands in for dup2 and pthread_attr_init in the test binary.
// While a test arms one with an errno, the call fails with it (also in a
// forked child); otherwise it does the real thing. Exactly one test file of a
// binary defines FAIL_INJECT_DEFINE before including this header.
#pragma once

#include <pthread.h>

#include <atomic>

namespace fail_inject {

inline std::atomic<int> dup2_errno{0};
inline std::atomic<int> attr_init_errno{0};

// Arms one stand-in for the life of the object.
class armed {
public:
    armed(std::atomic<int> &which, int eno) : which_(which) { which_ = eno; }
    ~armed() { which_ = 0; }
    armed(const armed &) = delete;
    armed &operator=(const armed &) = delete;

private:
    std::atomic<int> &which_;
};

}  // namespace fail_inject

#ifdef FAIL_INJECT_DEFINE
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

extern "C" int dup2(int from, int to)
{
    if (const int e = fail_inject::dup2_errno.load()) {
        errno = e;
        return -1;
    }
    return static_cast<int>(syscall(SYS_dup2, from, to));
}

// ThreadSanitizer's runtime calls pthread_attr_init itself while a thread
// starts, before an instrumented function may run: no stand-in there.
#ifndef __SANITIZE_THREAD__
extern "C" int pthread_attr_init(pthread_attr_t *attr)
{
    if (const int e = fail_inject::attr_init_errno.load())
        return e;
    using init_fn = int (*)(pthread_attr_t *);
    static const auto real = reinterpret_cast<init_fn>(dlsym(RTLD_NEXT, "pthread_attr_init"));
    return real(attr);
}
#endif
#endif
