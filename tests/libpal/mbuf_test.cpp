#include "libpal/memory/mbuf.h"
#include "libpal/memory/mbuf2.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"

namespace {

using mbuf_ptr = pl_owned<mbuf, mbuf_exit>;
using mbuf2_ptr = pl_owned<mbuf2, mbuf2_exit>;

std::string take(mbuf *h)
{
    uint32_t len = 0;
    const void *p = mbuf_read_get(h, &len);
    if (p == nullptr)
        return "<none>";
    std::string s(static_cast<const char *>(p), len);
    EXPECT_EQ(mbuf_read_unref(h), 0);
    return s;
}

}  // namespace

TEST(Mbuf, ShortBlocksKeepTheirLength)
{
    mbuf_ptr h(mbuf_init(10, 4));  // two blocks
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mbuf_write(h.get(), "abc", 3), 0);
    ASSERT_EQ(mbuf_write(h.get(), "d", 1), 0);
    // Every block is taken until the next reset.
    EXPECT_EQ(mbuf_alloc(h.get()), nullptr);
    EXPECT_TRUE(mbuf_is_full(h.get()));
    EXPECT_EQ(take(h.get()), "abc");
    EXPECT_EQ(take(h.get()), "d");
    EXPECT_TRUE(mbuf_is_empty(h.get()));

    mbuf_reset(h.get());
    auto *p = static_cast<char *>(mbuf_alloc(h.get()));
    ASSERT_NE(p, nullptr);
    memcpy(p, "wxyz", 4);
    ASSERT_EQ(mbuf_alloc_unref(h.get(), 4), 0);
    EXPECT_EQ(take(h.get()), "wxyz");
}

TEST(Mbuf, RefusalsCommitNothing)
{
    log_capture cap;
    EXPECT_EQ(mbuf_init(10, 11), nullptr);
    EXPECT_TRUE(cap.has("max_queue_size=0 <=0 error"));
    EXPECT_EQ(mbuf_init(2, 1), nullptr);
    EXPECT_EQ(mbuf_init(10, 0), nullptr);

    mbuf_ptr h(mbuf_init(10, 4));
    ASSERT_NE(h, nullptr);
    cap.clear();
    EXPECT_EQ(mbuf_alloc_unref(h.get(), 0), -1);
    EXPECT_EQ(mbuf_write(h.get(), "abcde", 5), -1);
    EXPECT_TRUE(cap.has("expr[size>0 && size<=ctx->block_size]: assert failed"));
    EXPECT_EQ(mbuf_write(h.get(), nullptr, 2), -1);
    EXPECT_EQ(mbuf_read_unref(h.get()), -1);  // nothing unread
    char buf[4];
    EXPECT_EQ(mbuf_read_wait(h.get(), buf, 3, 0), -1);
    EXPECT_TRUE(mbuf_is_empty(h.get()));

    ASSERT_EQ(mbuf_write(h.get(), "ab", 2), 0);
    ASSERT_EQ(mbuf_write(h.get(), "cd", 2), 0);
    EXPECT_EQ(mbuf_alloc_unref(h.get(), 2), -1);  // a commit without a free block
    EXPECT_EQ(mbuf_write_wait(h.get(), "ef", 2, 5), -2);
    EXPECT_EQ(take(h.get()), "ab");
    EXPECT_EQ(take(h.get()), "cd");
    EXPECT_EQ(take(h.get()), "<none>");
}

TEST(Mbuf, WaitsTimeOutEmptyHanded)
{
    mbuf_ptr h(mbuf_init(16, 4));
    ASSERT_NE(h, nullptr);
    uint32_t len = 0;
    EXPECT_EQ(mbuf_read_get_wait(h.get(), &len, 10), nullptr);
    char buf[4];
    EXPECT_EQ(mbuf_read_wait(h.get(), buf, sizeof(buf), 10), 0);
    EXPECT_TRUE(mbuf_wait_empty(h.get(), 10));
    ASSERT_EQ(mbuf_write(h.get(), "ab", 2), 0);
    EXPECT_FALSE(mbuf_wait_empty(h.get(), 10));
    EXPECT_EQ(mbuf_read_wait(h.get(), buf, sizeof(buf), 10), 2);
    EXPECT_TRUE(mbuf_wait_empty(h.get(), 10));
}

// The hashing tools' pattern: the producer fills the sequence, waits for the
// consumer to drain it, resets it and goes on; the last block is short.
TEST(MbufThreads, ProducerAndConsumerPassEveryByteInOrder)
{
    constexpr uint32_t k_block = 32;
    constexpr uint32_t k_blocks = 8;
    constexpr int k_rounds = 50;
    mbuf_ptr h(mbuf_init(k_block * k_blocks, k_block));
    ASSERT_NE(h, nullptr);
    const uint64_t total = uint64_t{k_block} * k_blocks * k_rounds - 7;

    std::vector<uint8_t> got;
    std::thread consumer([&] {
        uint8_t buf[k_block];
        for (;;) {
            const int n = mbuf_read_wait(h.get(), buf, sizeof(buf), 1);
            got.insert(got.end(), buf, buf + (n > 0 ? n : 0));
            if (n > 0 && n < static_cast<int>(k_block))
                return;
        }
    });
    uint64_t sent = 0;
    while (sent < total) {
        for (uint32_t b = 0; b < k_blocks && sent < total; b++) {
            uint8_t block[k_block];
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(k_block, total - sent));
            for (uint32_t i = 0; i < n; i++)
                block[i] = static_cast<uint8_t>((sent + i) % 251);
            ASSERT_EQ(mbuf_write_wait(h.get(), block, n, 1000), 0);
            sent += n;
        }
        while (!mbuf_wait_empty(h.get(), 1000)) {
        }
        mbuf_reset(h.get());
    }
    consumer.join();
    ASSERT_EQ(got.size(), total);
    for (uint64_t i = 0; i < total; i++)
        ASSERT_EQ(got[i], static_cast<uint8_t>(i % 251)) << "at " << i;
}

TEST(Mbuf2, HandsOutWholeBlocksThenRefuses)
{
    log_capture cap;
    mbuf2_ptr h(mbuf2_init(10, 4));
    ASSERT_NE(h, nullptr);
    mbuf2_desc *a = mbuf2_get_block(h.get());
    mbuf2_desc *b = mbuf2_get_block(h.get());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(static_cast<uint8_t *>(b->block) - static_cast<uint8_t *>(a->block), 4);
    EXPECT_EQ(a->user[0], 0);
    EXPECT_EQ(mbuf2_get_block(h.get()), nullptr);
    EXPECT_TRUE(cap.has("expr[ctx->alloc_idx<ctx->max_idx]: assert failed"));

    // The caller's bytes stay across a reset.
    a->user[0] = 7;
    mbuf2_reset(h.get());
    mbuf2_desc *again = mbuf2_get_block(h.get());
    EXPECT_EQ(again, a);
    EXPECT_EQ(again->user[0], 7);
    memset(again->block, 0xff, 4);  // the whole block is writable
    EXPECT_EQ(mbuf2_init(2, 1), nullptr);
}
