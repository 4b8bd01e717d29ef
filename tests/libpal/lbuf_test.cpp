#include "libpal/memory/lbuf.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "libpal/os/os_thread.h"
#include "str_log_capture.h"

namespace {

// The payloads the callbacks saw, in order, and whether the item was in the
// pool's list at that moment.
struct journal {
    lbuf *pool = nullptr;
    std::vector<const void *> inits;
    std::vector<const void *> exits;
    bool linked_at_init = false;
    bool linked_at_exit = true;
};

void on_init(void *payload, void *ctx)
{
    auto *j = static_cast<journal *>(ctx);
    j->inits.push_back(payload);
    // Runs outside the mutex (no deadlock) and before the item is linked.
    j->linked_at_init = j->linked_at_init || lbuf_is_item(j->pool, payload);
}

void on_exit(void *payload, void *ctx)
{
    auto *j = static_cast<journal *>(ctx);
    j->exits.push_back(payload);
    if (j->pool != nullptr)
        j->linked_at_exit = j->linked_at_exit && lbuf_is_item(j->pool, payload);
}

struct pool_owner {
    explicit pool_owner(journal *j = nullptr, uint64_t item_size = 0)
    {
        const lbuf_param p{"items", j != nullptr ? on_init : nullptr, j != nullptr ? on_exit : nullptr, j,
                           item_size};
        pool = lbuf_init(&p);
        if (j != nullptr)
            j->pool = pool;
    }
    ~pool_owner() { lbuf_exit(pool); }
    pool_owner(const pool_owner &) = delete;
    pool_owner &operator=(const pool_owner &) = delete;
    lbuf *pool = nullptr;
};

// Runs body on a named thread and waits for it at most 2 s; a hang fails
// the test instead of blocking the run (the thread is then given up).
template <typename F>
bool run_bounded(F body)
{
    struct box {
        F f;
    } b{body};
    auto proc = [](void *p) -> int {
        static_cast<box *>(p)->f();
        return 0;
    };
    os_thread *t = os_thread_init("lbuf_t", proc, &b, 0);
    if (t == nullptr)
        return false;
    if (os_thread_wait(t, 2000, nullptr) != 0) {
        os_thread_release(t);
        return false;
    }
    os_thread_release(t);
    return true;
}

}  // namespace

TEST(ItemPool, CallbacksRunAroundTheItemsLife)
{
    journal j;
    alloc_tracker mem;
    void *a = nullptr;
    void *c = nullptr;
    {
        pool_owner o(&j);
        ASSERT_NE(o.pool, nullptr);
        a = lbuf_malloc(o.pool, 8);
        void *b = lbuf_malloc0(o.pool, 8);
        c = lbuf_malloc(o.pool, 0);
        ASSERT_TRUE(a && b && c);
        EXPECT_EQ(j.inits, (std::vector<const void *>{a, b, c}));
        EXPECT_FALSE(j.linked_at_init);
        EXPECT_EQ(lbuf_count(o.pool), 3u);

        lbuf_free(o.pool, nullptr);
        EXPECT_TRUE(j.exits.empty());
        lbuf_free(o.pool, b);
        EXPECT_EQ(j.exits, (std::vector<const void *>{b}));
        EXPECT_TRUE(j.linked_at_exit);
        EXPECT_FALSE(lbuf_is_item(o.pool, b));
        EXPECT_EQ(lbuf_count(o.pool), 2u);
        j.exits.clear();
        // The pool's end frees the rest in allocation order (its list is
        // being taken apart then: no lookups).
        j.pool = nullptr;
    }
    EXPECT_EQ(j.exits, (std::vector<const void *>{a, c}));
    EXPECT_EQ(mem.live_count(), 0u);
}

TEST(ItemPool, ItemsKeepTheirSizeAndContent)
{
    pool_owner o(nullptr, 24);
    auto *z = static_cast<unsigned char *>(lbuf_slab_malloc0(o.pool));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 24; i++)
        EXPECT_EQ(z[i], 0) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(z) % 16, 0u);
    ASSERT_NE(lbuf_slab_malloc(o.pool), nullptr);

    char *s = lbuf_strdup(o.pool, "hello");
    char *n = lbuf_strndup(o.pool, "hello", 3);
    char *f = lbuf_sprintf(o.pool, "%s-%d", "x", 42);
    ASSERT_TRUE(s && n && f);
    EXPECT_STREQ(s, "hello");
    EXPECT_STREQ(n, "hel");
    EXPECT_STREQ(f, "x-42");
    EXPECT_TRUE(lbuf_is_item(o.pool, f));
    EXPECT_EQ(lbuf_count(o.pool), 5u);
    char outside[4];
    EXPECT_FALSE(lbuf_is_item(o.pool, outside));

    pool_owner any;
    log_capture log;
    EXPECT_EQ(lbuf_slab_malloc(any.pool), nullptr);
    EXPECT_EQ(lbuf_slab_malloc0(any.pool), nullptr);
    EXPECT_TRUE(log.has("expr[B->item_size != 0]: assert failed\n"));
    EXPECT_EQ(lbuf_count(any.pool), 0u);
}

TEST(ItemPool, Realloc)
{
    struct row {
        uint64_t from;  // 0: no item yet
        uint64_t to;
        bool same;      // the very payload comes back
        bool none;      // nullptr comes back
        uint64_t count;
    };
    const row rows[] = {
        {16, 8, true, false, 1},
        {16, 16, true, false, 1},
        {16, 0, false, true, 0},
        {16, 64, false, false, 1},
        {0, 10, false, false, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.from) + "->" + std::to_string(r.to));
        pool_owner o;
        void *p = nullptr;
        if (r.from != 0) {
            p = lbuf_malloc(o.pool, r.from);
            memset(p, 'k', r.from);
        }
        void *q = lbuf_realloc(o.pool, p, r.to);
        EXPECT_EQ(q == p, r.same);
        EXPECT_EQ(q == nullptr, r.none);
        EXPECT_EQ(lbuf_count(o.pool), r.count);
        if (q != nullptr) {
            EXPECT_TRUE(lbuf_is_item(o.pool, q));
            // The whole new size is writable (ASan) and the old bytes stay.
            memset(static_cast<char *>(q) + (r.from < r.to ? r.from : r.to), 'n',
                   r.to - (r.from < r.to ? r.from : r.to));
            for (uint64_t i = 0; i < r.from && i < r.to; i++)
                ASSERT_EQ(static_cast<char *>(q)[i], 'k') << i;
        }
    }
}

TEST(ItemPool, WalkFreesItsOwnItemsUnderTheLock)
{
    pool_owner o;
    std::vector<void *> items;
    for (int i = 0; i < 6; i++) {
        items.push_back(lbuf_malloc(o.pool, sizeof(int)));
        *static_cast<int *>(items.back()) = i;
    }
    std::vector<int> seen;
    EXPECT_TRUE(run_bounded([&] {
        lbuf_lock(o.pool);
        lbuf_iter it;
        lbuf_iter_init(o.pool, &it);
        for (void *p = lbuf_iter_next(&it); p != nullptr; p = lbuf_iter_next(&it)) {
            const int v = *static_cast<int *>(p);
            seen.push_back(v);
            // The holder's own frees, allocations and lookups skip the mutex.
            if (v % 2 == 0)
                lbuf_free(o.pool, p);
            EXPECT_EQ(lbuf_is_item(o.pool, p), v % 2 != 0);
        }
        void *extra = lbuf_malloc(o.pool, 4);
        lbuf_free(o.pool, extra);
        lbuf_unlock(o.pool);
    }));
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(lbuf_count(o.pool), 3u);
}

TEST(ItemPool, OtherThreadsWaitForTheWalk)
{
    pool_owner o;
    void *a = lbuf_malloc(o.pool, 8);
    ASSERT_NE(lbuf_malloc(o.pool, 8), nullptr);
    auto proc = [](void *p) -> int {
        auto *args = static_cast<std::pair<lbuf *, void *> *>(p);
        lbuf_free(args->first, args->second);
        return 0;
    };
    lbuf_lock(o.pool);
    std::pair<lbuf *, void *> args{o.pool, a};
    os_thread *t = os_thread_init("freer", proc, &args, 0);
    ASSERT_NE(t, nullptr);
    // The other thread's free waits for the lock: the walk still sees its item.
    EXPECT_EQ(os_thread_wait(t, 50, nullptr), -2);
    lbuf_iter it;
    lbuf_iter_init(o.pool, &it);
    EXPECT_EQ(lbuf_iter_next(&it), a);
    EXPECT_EQ(o.pool->count, 2u);
    lbuf_unlock(o.pool);
    EXPECT_EQ(os_thread_wait_kill_exit(t, 2000, nullptr), 0);
    EXPECT_EQ(lbuf_count(o.pool), 1u);
    EXPECT_FALSE(lbuf_is_item(o.pool, a));
}

TEST(ItemPool, ConcurrentAllocationAndFreeKeepTheCount)
{
    pool_owner o;
    constexpr int k_threads = 4;
    constexpr int k_rounds = 500;
    auto proc = [](void *p) -> int {
        auto *pool = static_cast<lbuf *>(p);
        std::vector<void *> mine;
        for (int i = 0; i < k_rounds; i++) {
            mine.push_back(lbuf_malloc(pool, 16));
            if (i % 3 == 0) {
                lbuf_free(pool, mine.front());
                mine.erase(mine.begin());
            }
        }
        return static_cast<int>(mine.size());
    };
    std::vector<os_thread *> threads;
    for (int i = 0; i < k_threads; i++)
        threads.push_back(os_thread_init("alloc", proc, o.pool, 0));
    int kept = 0;
    for (os_thread *t : threads) {
        ASSERT_NE(t, nullptr);
        int v = 0;
        EXPECT_EQ(os_thread_wait_kill_exit(t, 10000, &v), 0);
        kept += v;
    }
    EXPECT_EQ(lbuf_count(o.pool), static_cast<uint64_t>(kept));
    uint64_t walked = 0;
    lbuf_iter it;
    lbuf_iter_init(o.pool, &it);
    while (lbuf_iter_next(&it) != nullptr)
        walked++;
    EXPECT_EQ(walked, static_cast<uint64_t>(kept));
}
