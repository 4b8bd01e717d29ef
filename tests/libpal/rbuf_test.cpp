#include "libpal/memory/rbuf.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"
#include "wakeups.h"

namespace {

using rbuf_ptr = pl_owned<rbuf, rbuf_exit>;

rbuf_stat stat_of(rbuf *h)
{
    rbuf_stat s{};
    EXPECT_EQ(rbuf_get_stat(h, &s), 0);
    return s;
}

int write_str(rbuf *h, const std::string &s)
{
    return rbuf_write(h, s.data(), static_cast<uint32_t>(s.size()));
}

std::string read_one(rbuf *h, uint32_t ms = 0)
{
    char buf[256];
    const int n = rbuf_read_block_wait(h, buf, sizeof(buf), ms);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Payloads handed to rbuf_read_proc's callback, which takes no context.
std::vector<std::string> g_seen;
void collect(const void *block, uint32_t len)
{
    g_seen.emplace_back(static_cast<const char *>(block), len);
}

uint64_t ms_since(std::chrono::steady_clock::time_point t0)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

// Waits, up to a bound far above what an idle machine needs, until the
// thread tid sleeps in a wait. tid stays 0 until the thread is about to
// start the call that is to wait.
bool blocked_in_time(const std::atomic<pid_t> &tid)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (tid.load() != 0 && thread_waits_on_futex(tid.load()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

TEST(Rbuf, FullRingDropsTheOldestBlock)
{
    // Slots of 2 + 8 bytes: two fit in 20.
    rbuf_ptr h(rbuf_init(20, 8));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write_str(h.get(), "first"), 0);
    ASSERT_EQ(write_str(h.get(), "second"), 0);
    ASSERT_EQ(write_str(h.get(), "third!!!"), 0);
    EXPECT_TRUE(rbuf_has_drop(h.get()));
    EXPECT_EQ(rbuf_get_drop_count(h.get()), 1u);
    EXPECT_EQ(rbuf_pending(h.get()), 14u);

    char buf[20];
    ASSERT_EQ(rbuf_read_blocks(h.get(), buf, sizeof(buf)), 2 + 6 + 2 + 8);
    rbuf_blocks_cursor cur{buf, 18, 0};
    uint32_t len = 0;
    const void *p = rbuf_blocks_next(&cur, &len);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(p), len), "second");
    p = rbuf_blocks_next(&cur, &len);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(p), len), "third!!!");
    EXPECT_EQ(rbuf_blocks_next(&cur, &len), nullptr);

    const rbuf_stat s = stat_of(h.get());
    EXPECT_EQ(s.write_count, 3u);
    EXPECT_EQ(s.write_byte, 19u);
    EXPECT_EQ(s.drop_count, 1u);
    EXPECT_EQ(s.drop_byte, 5u);
    EXPECT_EQ(s.read_count, 1u);
    EXPECT_EQ(s.read_byte, 14u);
    EXPECT_EQ(rbuf_pending(h.get()), 0u);
    EXPECT_TRUE(rbuf_is_empty(h.get()));
}

TEST(Rbuf, HeaderWidensFrom65536)
{
    struct {
        uint32_t largest;
        uint32_t header;
    } const cases[] = {{65535, 2}, {65536, 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.largest);
        rbuf_ptr h(rbuf_init(2 * (c.largest + 4), c.largest));
        ASSERT_NE(h, nullptr);
        std::vector<uint8_t> block(c.largest, 0x5a);
        ASSERT_EQ(rbuf_write(h.get(), block.data(), c.largest), 0);
        std::vector<uint8_t> out(c.largest + c.header);
        ASSERT_EQ(rbuf_read_blocks(h.get(), out.data(), static_cast<uint32_t>(out.size())),
                  static_cast<int>(c.largest + c.header));
        uint32_t stored = 0;
        if (c.header == 2) {
            uint16_t v = 0;
            memcpy(&v, out.data(), 2);
            stored = v;
        } else {
            int32_t v = 0;
            memcpy(&v, out.data(), 4);
            stored = static_cast<uint32_t>(v);
        }
        EXPECT_EQ(stored, c.largest);
        EXPECT_EQ(out.back(), 0x5a);
    }
}

TEST(Rbuf, ReadersByMode)
{
    rbuf_ptr h(rbuf_init(100, 8));
    ASSERT_NE(h, nullptr);
    for (const char *s : {"ab", "cde", "f"})
        ASSERT_EQ(write_str(h.get(), s), 0);

    EXPECT_EQ(read_one(h.get()), "ab");
    // Payloads back to back while the room could hold a largest block.
    char buf[12];
    EXPECT_EQ(rbuf_read_data(h.get(), buf, sizeof(buf)), 4);
    EXPECT_EQ(std::string(buf, 4), "cdef");

    for (const char *s : {"x", "yz"})
        ASSERT_EQ(write_str(h.get(), s), 0);
    g_seen.clear();
    EXPECT_EQ(rbuf_read_proc(h.get(), collect), 0);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"x", "yz"}));
    EXPECT_TRUE(rbuf_is_empty(h.get()));
    EXPECT_EQ(rbuf_read_block(h.get(), buf, sizeof(buf)), 0);
}

TEST(Rbuf, ReservedSlotCountsAsPendingOnlyOnceUnlocked)
{
    rbuf_ptr h(rbuf_init(100, 8));
    ASSERT_NE(h, nullptr);
    auto *slot = static_cast<char *>(rbuf_alloc_lock(h.get(), 5));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(rbuf_pending(h.get()), 0u);
    memcpy(slot, "hello", 5);
    rbuf_unlock(h.get());
    EXPECT_EQ(rbuf_pending(h.get()), 5u);
    EXPECT_EQ(read_one(h.get()), "hello");
    EXPECT_EQ(rbuf_pending(h.get()), 0u);
}

TEST(Rbuf, RefusalsLeaveTheRingAsItWas)
{
    log_capture cap;
    EXPECT_EQ(rbuf_init(2, 8), nullptr);
    EXPECT_TRUE(cap.has("expr[all_size>2]: assert failed"));
    EXPECT_EQ(rbuf_init(100, 2), nullptr);
    EXPECT_EQ(rbuf_init(19, 8), nullptr);
    EXPECT_TRUE(cap.has("MaxQueueSize=1 <2 error"));

    rbuf_ptr h(rbuf_init(20, 8));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write_str(h.get(), "keep"), 0);
    cap.clear();
    char big[9] = {};
    EXPECT_EQ(rbuf_write(h.get(), big, 9), -1);  // larger than a slot's payload
    EXPECT_EQ(rbuf_write(h.get(), big, 0), -1);
    EXPECT_TRUE(cap.has("expr[size>0 && size<=ctx->BlockSize-ctx->bs_byte]: assert failed"));
    EXPECT_EQ(rbuf_write(h.get(), nullptr, 4), -1);
    EXPECT_EQ(rbuf_alloc_lock(h.get(), 9), nullptr);
    char small[9];
    EXPECT_EQ(rbuf_read_blocks(h.get(), small, 9), -1);  // below one slot
    EXPECT_EQ(rbuf_read_block(h.get(), small, 5), -1);   // below the largest payload
    EXPECT_EQ(rbuf_read_block(h.get(), nullptr, 8), -1);
    EXPECT_EQ(rbuf_read_proc(h.get(), nullptr), -1);

    const rbuf_stat s = stat_of(h.get());
    EXPECT_EQ(s.write_count, 1u);
    EXPECT_EQ(s.read_count, 0u);
    EXPECT_EQ(s.drop_count, 0u);
    EXPECT_EQ(rbuf_pending(h.get()), 4u);
    EXPECT_EQ(read_one(h.get()), "keep");
}

TEST(Rbuf, EmptyReaderTimesOutWithNothing)
{
    rbuf_ptr h(rbuf_init(100, 8));
    ASSERT_NE(h, nullptr);
    char buf[8];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rbuf_read_block_wait(h.get(), buf, sizeof(buf), 30), 0);
    EXPECT_GE(ms_since(t0), 30u);
    EXPECT_EQ(rbuf_read_data_wait(h.get(), buf, sizeof(buf), 0), 0);
    // A reader that got nothing leaves no trace.
    EXPECT_EQ(stat_of(h.get()).read_count, 0u);
    EXPECT_TRUE(rbuf_is_empty(h.get()));
}

TEST(Rbuf, WaitingReaderWakesOnWrite)
{
    rbuf_ptr h(rbuf_init(100, 8));
    ASSERT_NE(h, nullptr);
    std::string got;
    std::atomic<pid_t> tid{0};
    std::thread reader([&] {
        tid = gettid();
        got = read_one(h.get(), 10000);
    });
    // The write comes once the reader sleeps on the ring, so the wake-up is what it tests.
    EXPECT_TRUE(blocked_in_time(tid));
    ASSERT_EQ(write_str(h.get(), "wake"), 0);
    reader.join();
    EXPECT_EQ(got, "wake");
}

TEST(Rbuf, WriteWaitHoldsBackUntilARead)
{
    rbuf_ptr h(rbuf_init(30, 8));  // three slots: full at two blocks
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write_str(h.get(), "one"), 0);
    ASSERT_EQ(write_str(h.get(), "two"), 0);
    EXPECT_TRUE(rbuf_is_full(h.get()));
    EXPECT_EQ(rbuf_write_wait(h.get(), "xx", 2, 10), -2);
    EXPECT_EQ(stat_of(h.get()).write_count, 2u);

    // The read comes once this thread sleeps in its write wait.
    std::atomic<pid_t> writer{0};
    std::atomic<bool> writer_blocked{false};
    std::thread reader([&] {
        writer_blocked = blocked_in_time(writer);
        read_one(h.get());
    });
    writer = gettid();
    EXPECT_EQ(rbuf_write_wait(h.get(), "three", 5, 10000), 0);
    reader.join();
    EXPECT_TRUE(writer_blocked.load());
    EXPECT_EQ(rbuf_get_drop_count(h.get()), 0u);
    EXPECT_EQ(read_one(h.get()), "two");
    EXPECT_EQ(read_one(h.get()), "three");
}

TEST(Rbuf, ClearEmptiesAndZeroesCounters)
{
    rbuf_ptr h(rbuf_init(20, 8));
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_str(h.get(), "blk"), 0);
    ASSERT_EQ(rbuf_clear(h.get()), 0);
    const rbuf_stat s = stat_of(h.get());
    EXPECT_EQ(s.write_count + s.drop_count + s.write_byte + s.drop_byte, 0u);
    EXPECT_EQ(rbuf_pending(h.get()), 0u);
    EXPECT_TRUE(rbuf_is_empty(h.get()));
    ASSERT_EQ(write_str(h.get(), "new"), 0);
    EXPECT_EQ(read_one(h.get()), "new");
}

TEST(Rbuf, CursorStopsAtATruncatedBlock)
{
    // A header that claims more bytes than the buffer holds.
    const uint8_t buf[] = {3, 0, 'a', 'b', 'c', 9, 0, 'x'};
    rbuf_blocks_cursor cur{buf, sizeof(buf), 0};
    uint32_t len = 0;
    ASSERT_NE(rbuf_blocks_next(&cur, &len), nullptr);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(rbuf_blocks_next(&cur, &len), nullptr);
}

// One writer and two readers for a bounded time. Each block carries its
// sequence number and a length and fill derived from it, so a reader can
// tell a torn or reordered block.
TEST(RbufThreads, OneWriterTwoReadersLoseNothingUncounted)
{
    rbuf_ptr h(rbuf_init(4096, 64));
    ASSERT_NE(h, nullptr);
    std::atomic<bool> writing{true};
    uint64_t written = 0;

    struct reader_log {
        std::vector<uint64_t> seqs;
        bool torn = false;
    } logs[2];

    auto read_loop = [&](reader_log *log) {
        uint8_t buf[64];
        for (;;) {
            const int n = rbuf_read_block_wait(h.get(), buf, sizeof(buf), 5);
            if (n <= 0) {
                if (!writing.load() && rbuf_is_empty(h.get()))
                    return;
                continue;
            }
            uint64_t seq = 0;
            memcpy(&seq, buf, sizeof(seq));
            const auto expect_len = static_cast<int>(sizeof(seq) + seq % 57);
            bool whole = n == expect_len;
            for (int i = static_cast<int>(sizeof(seq)); whole && i < n; i++)
                whole = buf[i] == static_cast<uint8_t>(seq + static_cast<uint64_t>(i));
            if (!whole)
                log->torn = true;
            log->seqs.push_back(seq);
        }
    };
    std::thread r1(read_loop, &logs[0]);
    std::thread r2(read_loop, &logs[1]);

    const auto t0 = std::chrono::steady_clock::now();
    while (ms_since(t0) < 300) {
        uint8_t buf[64];
        const uint64_t seq = written;
        memcpy(buf, &seq, sizeof(seq));
        const uint32_t len = sizeof(seq) + static_cast<uint32_t>(seq % 57);
        for (uint32_t i = sizeof(seq); i < len; i++)
            buf[i] = static_cast<uint8_t>(seq + i);
        ASSERT_EQ(rbuf_write(h.get(), buf, len), 0);
        written++;
    }
    writing.store(false);
    r1.join();
    r2.join();

    std::set<uint64_t> all;
    for (const auto &log : logs) {
        EXPECT_FALSE(log.torn);
        for (size_t i = 1; i < log.seqs.size(); i++)
            ASSERT_LT(log.seqs[i - 1], log.seqs[i]) << "out of order";
        all.insert(log.seqs.begin(), log.seqs.end());
    }
    const uint64_t read = logs[0].seqs.size() + logs[1].seqs.size();
    RecordProperty("written", std::to_string(written));
    RecordProperty("read", std::to_string(read));
    RecordProperty("dropped", std::to_string(rbuf_get_drop_count(h.get())));
    EXPECT_EQ(all.size(), read) << "a block was read twice";
    EXPECT_EQ(rbuf_get_drop_count(h.get()) + read, written);
    EXPECT_GT(written, 0u);
    EXPECT_EQ(rbuf_pending(h.get()), 0u);
}
