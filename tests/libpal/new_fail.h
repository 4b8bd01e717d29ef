// Test helper: a replacement operator new for the test binary that can fail
// one chosen allocation with std::bad_alloc, to show that a C-shaped function
// building strings or vectors inside answers its error value instead of
// throwing. Exactly one test file of a binary defines NEW_FAIL_DEFINE before
// including this header.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace new_fail {

inline std::atomic<long> countdown{0};  // 0: off; n: the nth allocation from now fails
inline std::atomic<bool> hit{false};

// Runs call with its 1st, 2nd, ... allocation failing until a run needs no
// more allocations than that; the number of runs, or -1 past limit.
// Requires: call allocates only on the calling thread, and asserts nothing.
template <typename Call>
long sweep(Call call, long limit = 100000)
{
    for (long n = 1; n < limit; n++) {
        hit = false;
        countdown = n;
        call();
        countdown = 0;
        if (!hit.load())
            return n;
    }
    return -1;
}

}  // namespace new_fail

#ifdef NEW_FAIL_DEFINE
void *operator new(std::size_t size)
{
    if (new_fail::countdown.load() > 0 && new_fail::countdown.fetch_sub(1) == 1) {
        new_fail::hit = true;
        throw std::bad_alloc();
    }
    void *p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

// Every other form goes through the one above, so that blocks from any form
// of new are released by any form of delete.
void *operator new[](std::size_t size)
{
    return operator new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return operator new(size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept
{
    return operator new(size, tag);
}

// g++ 12 inlines these into the standard containers of the test file and,
// seeing free() on a block from operator new, reports a mismatch that the
// replacement above rules out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete[](void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete(void *p, const std::nothrow_t &) noexcept
{
    std::free(p);
}

void operator delete[](void *p, const std::nothrow_t &) noexcept
{
    std::free(p);
}

#pragma GCC diagnostic pop
#endif
