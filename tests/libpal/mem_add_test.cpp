#include "libpal/memory/mem_add.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"

namespace {

using mem_add_ptr = pl_owned<mem_add, mem_add_free>;

std::string sums_of(mem_add *acc)
{
    char text[64];
    EXPECT_EQ(mem_add_get_sum(acc, text, sizeof(text)), 0);
    return text;
}

std::string records_of(mem_add *acc)
{
    char text[64];
    EXPECT_EQ(mem_add_get_record(acc, text, sizeof(text)), 0);
    return text;
}

}  // namespace

TEST(MemAdd, SumsAndRecordsAsText)
{
    mem_add_ptr acc(mem_add_malloc(2, 4, nullptr));
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(sums_of(acc.get()), "0,0");
    EXPECT_EQ(records_of(acc.get()), "");
    const uint8_t r0[] = {0x01, 0x02};
    const uint8_t r1[] = {0x03, 0x04};
    ASSERT_EQ(mem_add_buf(acc.get(), r0, 0), 0);
    ASSERT_EQ(mem_add_buf(acc.get(), r1, 1), 0);
    EXPECT_EQ(sums_of(acc.get()), "4,6");
    EXPECT_EQ(records_of(acc.get()), "0102|0304");
    EXPECT_EQ(mem_add_get_total(acc.get()), 2u);

    mem_add_reset(acc.get());
    EXPECT_EQ(records_of(acc.get()), "");
    EXPECT_EQ(sums_of(acc.get()), "4,6");
    mem_add_reset_sum(acc.get());
    EXPECT_EQ(sums_of(acc.get()), "0,0");
    EXPECT_EQ(mem_add_get_total(acc.get()), 2u);  // since creation
}

TEST(MemAdd, Crc8OfEachSumIgnoresTheOrderOfAdds)
{
    const uint8_t blocks[][2] = {{0x01, 0x02}, {0x03, 0x04}, {0xff, 0xfe}};
    mem_add_ptr fwd(mem_add_malloc(2, 3, nullptr));
    mem_add_ptr rev(mem_add_malloc(2, 3, nullptr));
    ASSERT_NE(fwd, nullptr);
    ASSERT_NE(rev, nullptr);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(mem_add_buf(fwd.get(), blocks[i], i), 0);
        ASSERT_EQ(mem_add_buf(rev.get(), blocks[2 - i], 2 - i), 0);
    }
    uint8_t a[2] = {};
    uint8_t b[2] = {};
    ASSERT_EQ(mem_add_get_crc8(fwd.get(), a, sizeof(a)), 0);
    ASSERT_EQ(mem_add_get_crc8(rev.get(), b, sizeof(b)), 0);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    mem_add_ptr small(mem_add_malloc(2, 0, "4,6"));
    ASSERT_NE(small, nullptr);
    ASSERT_EQ(mem_add_get_crc8(small.get(), a, sizeof(a)), 0);
    EXPECT_EQ(a[0], 0x58);  // CRC-8 of 04 00 00 00
    EXPECT_EQ(a[1], 0x74);  // CRC-8 of 06 00 00 00
    EXPECT_EQ(mem_add_get_crc8(small.get(), a, 1), -1);
}

TEST(MemAdd, SumsTextRoundTripsAndBadTextsChangeNothing)
{
    mem_add_ptr acc(mem_add_malloc(3, 1, "a,ffffffff,0"));
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(sums_of(acc.get()), "a,ffffffff,0");
    const char *bad[] = {
        "1,2",          // too few fields
        "1,2,3,4",      // too many
        "1,,3",         // an empty field
        "1,2,x",        // not hexadecimal
        "1,2,100000000",  // over 32 bits
        "1,2,-3",
        "",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(set_sum(acc.get(), text), -1);
        EXPECT_EQ(sums_of(acc.get()), "a,ffffffff,0");
    }
    EXPECT_EQ(set_sum(acc.get(), "B,c,D"), 0);
    EXPECT_EQ(sums_of(acc.get()), "b,c,d");

    log_capture cap;
    mem_add_ptr zero(mem_add_malloc(2, 1, "1,2,3"));
    ASSERT_NE(zero, nullptr);
    EXPECT_TRUE(cap.has("set_sum [1,2,3] failed"));
    EXPECT_EQ(sums_of(zero.get()), "0,0");
}

TEST(MemAdd, RefusalsAndShortTexts)
{
    log_capture cap;
    EXPECT_EQ(mem_add_malloc(0, 1, nullptr), nullptr);
    EXPECT_EQ(mem_add_malloc(2, -1, nullptr), nullptr);
    mem_add_ptr acc(mem_add_malloc(2, 2, nullptr));
    ASSERT_NE(acc, nullptr);
    const uint8_t rec[] = {0xab, 0xcd};
    EXPECT_EQ(mem_add_buf(acc.get(), nullptr, 0), -1);
    EXPECT_TRUE(cap.has("expr[buf != NULL]: assert failed"));
    EXPECT_EQ(mem_add_buf(acc.get(), rec, 2), -1);
    EXPECT_EQ(mem_add_buf(acc.get(), rec, -1), -1);
    EXPECT_TRUE(cap.has("expr[r_idx >= 0 && r_idx < ctx->r_count]: assert failed"));
    EXPECT_EQ(mem_add_get_total(acc.get()), 0u);
    EXPECT_EQ(sums_of(acc.get()), "0,0");

    ASSERT_EQ(mem_add_buf(acc.get(), rec, 0), 0);
    char text[4] = "xyz";
    EXPECT_EQ(mem_add_get_record(acc.get(), text, sizeof(text)), -1);  // "abcd" needs 5
    EXPECT_STREQ(text, "");
    char sums[5];
    EXPECT_EQ(mem_add_get_sum(acc.get(), sums, sizeof(sums)), -1);  // "ab,cd" needs 6
    EXPECT_STREQ(sums, "");
}

TEST(MemAdd, WithoutRecordSlotsOnlySums)
{
    mem_add_ptr acc(mem_add_malloc(1, 0, nullptr));
    ASSERT_NE(acc, nullptr);
    const uint8_t b = 0x10;
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(mem_add_buf(acc.get(), &b, i), 0);
    EXPECT_EQ(sums_of(acc.get()), "30");
    EXPECT_EQ(records_of(acc.get()), "");
}

TEST(MemAddThreads, ConcurrentAddsLoseNoByte)
{
    constexpr int k_threads = 4;
    constexpr int k_per_thread = 250;
    mem_add_ptr acc(mem_add_malloc(2, k_threads * k_per_thread, nullptr));
    ASSERT_NE(acc, nullptr);
    std::vector<std::thread> adders;
    for (int t = 0; t < k_threads; t++) {
        adders.emplace_back([&acc, t] {
            const uint8_t rec[] = {1, static_cast<uint8_t>(t)};
            for (int i = 0; i < k_per_thread; i++)
                mem_add_buf(acc.get(), rec, t * k_per_thread + i);
        });
    }
    for (auto &th : adders)
        th.join();
    EXPECT_EQ(mem_add_get_total(acc.get()), uint64_t{k_threads} * k_per_thread);
    // 1000 ones; 250 * (0 + 1 + 2 + 3) = 1500.
    EXPECT_EQ(sums_of(acc.get()), "3e8,5dc");
}
