#include "libpal/comm/queue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "libpal/basic/pl_own.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/os/os_thread.h"
#include "str_log_capture.h"
#include "wakeups.h"

namespace {

using queue_ptr = pl_owned<queue, queue_close>;

queue_ptr make_queue(int32_t max, queue_free_proc free_proc = nullptr, void *ctx = nullptr, bool own_nodes = false)
{
    queue_param p{};
    p.ctx = ctx;
    p.max = max;
    p.not_alloc_node = own_nodes ? 1 : 0;
    p.free_proc = free_proc;
    return queue_ptr(queue_init(&p));
}

void *e(uintptr_t n)
{
    return reinterpret_cast<void *>(n);
}

uintptr_t num(void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

uint64_t ms_since(std::chrono::steady_clock::time_point t0)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

// Records the elements handed to the free callback, with its context.
struct freed_log {
    std::vector<uintptr_t> elems;
    static void proc(void *ctx, void *elem) { static_cast<freed_log *>(ctx)->elems.push_back(num(elem)); }
};

// A waiter on one side of a queue, run on a named thread.
struct waiter {
    queue *q;
    bool pop;  // else push
    uint32_t ms;
    static int run(void *p)
    {
        auto *w = static_cast<waiter *>(p);
        if (w->pop)
            return queue_pop_wait(w->q, w->ms) != nullptr ? 0 : -2;
        return queue_push_wait(w->q, e(2), w->ms);
    }
};

}  // namespace

TEST(Queue, FifoAcrossInterleavedPushesAndPops)
{
    queue_ptr q(queue_init(nullptr));
    ASSERT_NE(q, nullptr);
    // '+' pushes the next number, '-' pops and expects the oldest one.
    const char *script = "+++--+-++---+-";
    uintptr_t next_in = 1;
    uintptr_t next_out = 1;
    for (const char *c = script; *c != '\0'; c++) {
        if (*c == '+') {
            ASSERT_EQ(queue_push(q.get(), e(next_in++)), 0);
        } else {
            ASSERT_EQ(num(queue_pop(q.get())), next_out++);
        }
        EXPECT_EQ(queue_size(q.get()), static_cast<int32_t>(next_in - next_out));
    }
    EXPECT_TRUE(queue_empty(q.get()));
    EXPECT_FALSE(queue_isfull(q.get()));
}

TEST(Queue, EmptyPopGivesNoneWithinItsWait)
{
    queue_ptr q(queue_init(nullptr));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop_wait(q.get(), 0), nullptr);
    EXPECT_EQ(queue_pop(q.get()), nullptr);
    EXPECT_LT(ms_since(t0), 2000u);

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop_wait(q.get(), 100), nullptr);
    const uint64_t waited = ms_since(t0);
    EXPECT_GE(waited, 90u);
    EXPECT_LT(waited, 2000u);
}

TEST(Queue, FullBoundedQueueTimesOut)
{
    queue_ptr q = make_queue(1);
    ASSERT_EQ(queue_push(q.get(), e(1)), 0);
    EXPECT_TRUE(queue_isfull(q.get()));
    EXPECT_EQ(queue_push(q.get(), e(2)), -2);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_push_wait(q.get(), e(2), 10), -2);
    EXPECT_LT(ms_since(t0), 2000u);
    EXPECT_EQ(queue_size(q.get()), 1);
    EXPECT_EQ(num(queue_pop(q.get())), 1u);
    EXPECT_EQ(queue_pop(q.get()), nullptr);
}

TEST(Queue, WaitersAreReleasedByTheOtherSide)
{
    queue_ptr q = make_queue(1);
    ASSERT_EQ(queue_push(q.get(), e(1)), 0);
    std::atomic<int> push_rc{99};
    std::thread producer([&] { push_rc = queue_push_wait(q.get(), e(2), 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(num(queue_pop_wait(q.get(), 1000)), 1u);
    producer.join();
    EXPECT_EQ(push_rc.load(), 0);
    EXPECT_EQ(num(queue_pop(q.get())), 2u);

    // A consumer waiting on an empty queue gets an element pushed later.
    void *got = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread consumer([&] { got = queue_pop_wait(q.get(), 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(queue_push(q.get(), e(3)), 0);
    consumer.join();
    EXPECT_EQ(num(got), 3u);
    EXPECT_LT(ms_since(t0), 2000u);
}

TEST(Queue, IdleConsumerSleepsUntilAPushWakesIt)
{
    queue_ptr q = make_queue(0);
    std::atomic<pid_t> tid{0};
    std::atomic<uint64_t> woken_at{0};
    void *got = nullptr;
    std::thread consumer([&] {
        tid = gettid();
        got = queue_pop_wait(q.get(), 10000);
        woken_at = thread_wakeups(gettid());
    });
    while (tid.load() == 0)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t idle_from = thread_wakeups(tid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t idle_wakeups = thread_wakeups(tid) - idle_from;
    ASSERT_EQ(queue_push(q.get(), e(1)), 0);
    consumer.join();
    EXPECT_EQ(num(got), 1u);
    // Half a second idle: a waiter that polls would have woken dozens of
    // times; one that blocks on its event wakes only for the push.
    RecordProperty("idle_wakeups", std::to_string(idle_wakeups));
    EXPECT_LE(idle_wakeups, 2u);
    EXPECT_LE(woken_at.load() - idle_from, 3u) << "idle wake-ups: " << idle_wakeups;
}

TEST(Queue, WaiterLeftRunningByAStopKeepsTheQueueUsable)
{
    struct row {
        const char *what;
        bool pop;
    };
    const row rows[] = {
        {"consumer on an empty queue", true},
        {"producer on a full queue", false},
    };
    ASSERT_EQ(os_thread_name_init(), 0);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        queue_ptr q = make_queue(1);
        if (!r.pop) {
            ASSERT_EQ(queue_push(q.get(), e(1)), 0);
        }
        alloc_tracker mem;
        auto *stuck = new waiter{q.get(), r.pop, 60000};
        os_thread *t = os_thread_init("qwait", waiter::run, stuck, 0);
        ASSERT_NE(t, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Not joined in time: left waiting, never cancelled.
        EXPECT_EQ(os_thread_wait_kill_exit(t, 0, nullptr), -1);
        EXPECT_GT(mem.live_count(), 0u);

        // The next waiter on the same side times out as usual instead of
        // blocking on a lock the first one kept across its wait.
        auto *next = new waiter{q.get(), r.pop, 100};
        t = os_thread_init("qwait2", waiter::run, next, 0);
        ASSERT_NE(t, nullptr);
        int rc = 0;
        if (os_thread_wait(t, 2000, &rc) != 0) {
            ADD_FAILURE() << "second waiter blocked";
            os_thread_release(t);
            q.release();  // left to the blocked threads, with their records
            continue;
        }
        os_thread_release(t);
        delete next;
        EXPECT_EQ(rc, -2);

        // The other side's move still reaches the first waiter, which ends
        // and frees its handle.
        if (r.pop) {
            ASSERT_EQ(queue_push(q.get(), e(3)), 0);
        } else {
            EXPECT_EQ(num(queue_pop(q.get())), 1u);
            EXPECT_EQ(num(queue_pop_wait(q.get(), 2000)), 2u);
        }
        if (!mem.wait_live(0)) {
            ADD_FAILURE() << "first waiter did not end";
            q.release();
            continue;
        }
        delete stuck;
        EXPECT_TRUE(queue_empty(q.get()));
    }
}

TEST(Queue, ManyProducersOneConsumerKeepOrderAndBound)
{
    constexpr int k_producers = 8;
    constexpr uintptr_t k_each = 1000;
    constexpr int32_t k_max = 8;
    queue_ptr q = make_queue(k_max);
    // The count never passes the bound, seen from either side.
    std::atomic<int32_t> biggest{0};
    auto note_size = [&] {
        int32_t n = queue_size(q.get());
        int32_t seen = biggest.load();
        while (n > seen && !biggest.compare_exchange_weak(seen, n)) {
        }
    };
    std::vector<std::thread> producers;
    for (int p = 0; p < k_producers; p++) {
        producers.emplace_back([&, p] {
            for (uintptr_t i = 1; i <= k_each; i++) {
                // Element: producer in the high bits, sequence in the low ones.
                while (queue_push_wait(q.get(), e((uintptr_t(p) << 32) | i), 1000) != 0) {
                }
                note_size();
            }
        });
    }
    std::vector<uintptr_t> last(k_producers, 0);
    for (uintptr_t got = 0; got < k_producers * k_each;) {
        note_size();
        void *elem = queue_pop_wait(q.get(), 2000);
        ASSERT_NE(elem, nullptr) << "after " << got;
        const uintptr_t p = num(elem) >> 32;
        const uintptr_t seq = num(elem) & 0xffffffffu;
        ASSERT_LT(p, static_cast<uintptr_t>(k_producers));
        ASSERT_EQ(seq, last[p] + 1) << "producer " << p;
        last[p] = seq;
        got++;
        // Drained: pause so the producers fill the queue and then contend
        // for the slots the next burst of pops frees.
        if (queue_empty(q.get()))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto &t : producers)
        t.join();
    EXPECT_LE(biggest.load(), k_max);
    EXPECT_TRUE(queue_empty(q.get()));
}

TEST(Queue, DeleteFindsElementOnEitherSide)
{
    freed_log freed;
    queue_ptr q = make_queue(0, freed_log::proc, &freed);
    for (uintptr_t i = 1; i <= 3; i++)
        ASSERT_EQ(queue_push(q.get(), e(i)), 0);
    // The pop moves 2 and 3 to the consumer's side; 4 and 5 stay on the push side.
    ASSERT_EQ(num(queue_pop(q.get())), 1u);
    ASSERT_EQ(queue_push(q.get(), e(4)), 0);
    ASSERT_EQ(queue_push(q.get(), e(5)), 0);

    EXPECT_EQ(queue_del(q.get(), e(5)), 0);  // the push side's last node
    EXPECT_EQ(queue_del(q.get(), e(2)), 0);  // the pop side
    EXPECT_EQ(queue_del(q.get(), e(9)), -1);
    EXPECT_EQ(freed.elems, (std::vector<uintptr_t>{5, 2}));
    EXPECT_EQ(queue_size(q.get()), 2);

    // The push side's tail followed the removal: a new element lands after 4.
    ASSERT_EQ(queue_push(q.get(), e(6)), 0);
    std::vector<uintptr_t> out;
    while (void *x = queue_pop(q.get()))
        out.push_back(num(x));
    EXPECT_EQ(out, (std::vector<uintptr_t>{3, 4, 6}));

    // Deleting the only node of the push side leaves it usable.
    ASSERT_EQ(queue_push(q.get(), e(7)), 0);
    EXPECT_EQ(queue_del(q.get(), e(7)), 0);
    ASSERT_EQ(queue_push(q.get(), e(8)), 0);
    EXPECT_EQ(num(queue_pop(q.get())), 8u);
}

TEST(Queue, ClearAndCloseReleaseEveryElement)
{
    freed_log freed;
    queue_ptr q = make_queue(0, freed_log::proc, &freed);
    for (uintptr_t i = 1; i <= 4; i++)
        ASSERT_EQ(queue_push(q.get(), e(i)), 0);
    ASSERT_EQ(num(queue_pop(q.get())), 1u);
    ASSERT_EQ(queue_push(q.get(), e(5)), 0);
    EXPECT_EQ(queue_clear(q.get()), 0);
    EXPECT_EQ(freed.elems, (std::vector<uintptr_t>{2, 3, 4, 5}));
    EXPECT_EQ(queue_size(q.get()), 0);
    EXPECT_EQ(queue_pop(q.get()), nullptr);

    ASSERT_EQ(queue_push(q.get(), e(6)), 0);
    EXPECT_EQ(queue_close(q.release()), 0);
    EXPECT_EQ(freed.elems.back(), 6u);
}

TEST(Queue, ElementsThatAreTheirOwnNodes)
{
    struct job {
        void *link;  // the queue's word
        int id;
    };
    freed_log freed;
    queue_ptr q = make_queue(2, freed_log::proc, &freed, true);
    job jobs[3] = {{e(0xdead), 1}, {nullptr, 2}, {nullptr, 3}};
    ASSERT_EQ(queue_push(q.get(), &jobs[0]), 0);
    ASSERT_EQ(queue_push(q.get(), &jobs[1]), 0);
    EXPECT_EQ(queue_push(q.get(), &jobs[2]), -2);
    EXPECT_EQ(queue_pop(q.get()), &jobs[0]);
    ASSERT_EQ(queue_push(q.get(), &jobs[2]), 0);
    EXPECT_EQ(queue_pop(q.get()), &jobs[1]);

    log_capture log;
    EXPECT_EQ(queue_del(q.get(), &jobs[2]), -1);
    EXPECT_TRUE(log.has("expr[ctx->not_alloc_node == FALSE]: assert failed\n"));
    // The caller's nodes are neither freed nor handed to the callback.
    EXPECT_EQ(queue_clear(q.get()), 0);
    EXPECT_TRUE(freed.elems.empty());
    EXPECT_EQ(jobs[2].id, 3);
}

TEST(Queue, MissingQueueOrElementIsRefused)
{
    log_capture log;
    struct row {
        const char *call;
        bool refused;
    };
    const row rows[] = {
        {"push", queue_push(nullptr, e(1)) == -1},
        {"pop", queue_pop_wait(nullptr, 10) == nullptr},
        {"del", queue_del(nullptr, e(1)) == -1},
        {"clear", queue_clear(nullptr) == -1},
        {"close", queue_close(nullptr) == -1},
        {"size", queue_size(nullptr) == 0},
    };
    for (const auto &r : rows)
        EXPECT_TRUE(r.refused) << r.call;
    EXPECT_TRUE(log.has("expr[hq!=NULL]: assert failed\n"));

    queue_ptr q(queue_init(nullptr));
    log.clear();
    EXPECT_EQ(queue_push_wait(q.get(), nullptr, 0), -1);
    EXPECT_TRUE(log.has("expr[node!=NULL]: assert failed\n"));
    EXPECT_EQ(queue_size(q.get()), 0);

    queue_param bad{};
    bad.max = -1;
    EXPECT_EQ(queue_init(&bad), nullptr);
}
