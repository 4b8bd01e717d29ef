// Test helper: routes the allocation hooks through a tracker for the life of
// the object and keeps the set of blocks allocated meanwhile and not yet
// freed, so that tests can see a block freed on another thread, or left
// behind. Blocks from before the swap are freed as usual.
#pragma once

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"

// Polls ready() every millisecond; false when 2 s pass before it holds.
template <typename Ready>
bool poll_until(const Ready &ready)
{
    const uint64_t start = os_tick_ms();
    while (!ready()) {
        if (os_tick_ms() - start > 2000)
            return false;
        os_sleep_ms(1);
    }
    return true;
}

class alloc_tracker {
public:
    alloc_tracker() : saved_m_(g_malloc_proc), saved_r_(g_realloc_proc), saved_f_(g_free_proc)
    {
        std::lock_guard<std::mutex> lk(mu());
        live().clear();
        pl_malloc_init(on_malloc, on_realloc, on_free);
    }
    ~alloc_tracker()
    {
        countdown() = 0;
        pl_malloc_init(saved_m_, saved_r_, saved_f_);
    }
    alloc_tracker(const alloc_tracker &) = delete;
    alloc_tracker &operator=(const alloc_tracker &) = delete;

    // The nth allocation from now fails (0: none does).
    void fail_nth(long n) { countdown() = n; }

    size_t live_count() const
    {
        std::lock_guard<std::mutex> lk(mu());
        return live().size();
    }

    // Polls until the live count is n; false when 2 s pass first.
    bool wait_live(size_t n) const
    {
        return poll_until([&] { return live_count() == n; });
    }

private:
    static std::mutex &mu()
    {
        static std::mutex m;
        return m;
    }
    static std::unordered_set<void *> &live()
    {
        static std::unordered_set<void *> s;
        return s;
    }
    static std::atomic<long> &countdown()
    {
        static std::atomic<long> n{0};
        return n;
    }
    static bool fail_now() { return countdown().load() > 0 && countdown().fetch_sub(1) == 1; }
    static void *on_malloc(size_t size)
    {
        if (fail_now())
            return nullptr;
        void *p = malloc(size);
        if (p != nullptr) {
            std::lock_guard<std::mutex> lk(mu());
            live().insert(p);
        }
        return p;
    }
    static void *on_realloc(void *old, size_t size)
    {
        if (fail_now())
            return nullptr;
        void *p = realloc(old, size == 0 ? 1 : size);
        if (p != nullptr) {
            std::lock_guard<std::mutex> lk(mu());
            if (old != nullptr)
                live().erase(old);
            live().insert(p);
        }
        return p;
    }
    static void on_free(void *p)
    {
        {
            std::lock_guard<std::mutex> lk(mu());
            live().erase(p);
        }
        free(p);
    }

    pl_malloc_proc  saved_m_;
    pl_realloc_proc saved_r_;
    pl_free_proc    saved_f_;
};
