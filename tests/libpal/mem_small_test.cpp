#include "libpal/memory/mem_small.h"

#include <cstring>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

TEST(MemCarve, PartsFollowEachOtherInOneZeroedBlock)
{
    char *p1 = nullptr;
    char *p2 = nullptr;
    auto *block = static_cast<char *>(mem_malloc_multi(size_t{16}, &p1, size_t{32}, nullptr));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(p1, block + 16);
    for (int i = 0; i < 48; i++)
        ASSERT_EQ(block[i], 0) << i;
    os_free(block);

    block = static_cast<char *>(mem_malloc_multi(size_t{8}, &p1, size_t{0}, &p2, size_t{5}, nullptr));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(p1, block + 8);
    EXPECT_EQ(p2, block + 8);
    p2[4] = 'x';  // the last part's 5 bytes are inside the block (ASan)
    os_free(block);

    p1 = nullptr;
    EXPECT_EQ(mem_malloc_multi(size_t{1}, &p1, size_t{UINT32_MAX}, nullptr), nullptr);
    EXPECT_EQ(p1, nullptr);
}

TEST(MemBuf, GrowsInPagesAndKeepsItsBytes)
{
    mem_buf b;
    ASSERT_EQ(mem_buf_init(&b, 0), 0);
    EXPECT_EQ(b.capacity, 0u);
    ASSERT_EQ(mem_buf_append(&b, "0123456789", 10), 0);
    EXPECT_EQ(b.capacity, 4096u);
    EXPECT_EQ(b.length, 10u);
    EXPECT_EQ(memcmp(b.data, "0123456789", 10), 0);

    struct {
        uint64_t need;
        uint64_t capacity;
    } const rows[] = {{100, 4096}, {4096, 4096}, {4097, 8192}, {12288, 12288}, {5, 12288}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.need);
        EXPECT_EQ(mem_buf_reserve(&b, r.need), 0);
        EXPECT_EQ(b.capacity, r.capacity);
        EXPECT_EQ(memcmp(b.data, "0123456789", 10), 0);
    }
    // Appending past the capacity reserves twice the need first:
    // 2 * (10 + 12290 + 1) rounded up to whole pages.
    std::string big(12290, 'z');
    ASSERT_EQ(mem_buf_append(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.length, 12300u);
    EXPECT_EQ(b.capacity, 28672u);
    EXPECT_EQ(b.data[12299], 'z');

    EXPECT_EQ(mem_buf_set_len(&b, 30000), 0);
    EXPECT_EQ(b.length, 30000u);
    EXPECT_GE(b.capacity, 30000u);
    EXPECT_EQ(mem_buf_reset(&b), 0);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(mem_buf_set_len(&b, UINT64_MAX), -1);
    EXPECT_EQ(mem_buf_append(&b, "x", UINT64_MAX / 2), -1);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(mem_ptr_exit(&b), 0);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(MemPtr, EntriesStayTerminatedAsTheArrayGrows)
{
    mem_ptr a{};
    ASSERT_EQ(mem_ptr_init(&a), 0);
    EXPECT_EQ(a.capacity, 16u);
    EXPECT_EQ(a.items[16], nullptr);  // capacity + 1 entries (ASan)
    int v[40];
    for (int &x : v)
        ASSERT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(a.count, 40u);
    EXPECT_EQ(a.capacity, 64u);
    EXPECT_EQ(a.items[40], nullptr);
    EXPECT_EQ(a.items[64], nullptr);
    EXPECT_EQ(mem_ptr_find(&a, &v[7]), 7);
    EXPECT_EQ(mem_ptr_find(&a, &a), -1);

    EXPECT_EQ(mem_ptr_del_at(&a, 40), -1);
    EXPECT_EQ(mem_ptr_del_at(&a, 0), 0);
    EXPECT_EQ(a.items[0], &v[1]);
    EXPECT_EQ(mem_ptr_remove(&a, &v[39]), 38);
    EXPECT_EQ(mem_ptr_remove(&a, &v[39]), -1);
    EXPECT_EQ(a.count, 38u);
    EXPECT_EQ(a.items[38], nullptr);
    EXPECT_EQ(mem_ptr_del_head(&a, 3), 0);
    EXPECT_EQ(a.items[0], &v[4]);
    EXPECT_EQ(mem_ptr_del_head(&a, UINT64_MAX), 0);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.items[0], nullptr);

    ASSERT_EQ(mem_ptr_add(&a, &v[0]), 0);
    EXPECT_EQ(mem_ptr_clear(&a), 0);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.items[0], nullptr);
    EXPECT_EQ(mem_ptr_exit(&a), 0);
    EXPECT_EQ(a.items, nullptr);
    EXPECT_EQ(a.capacity, 0u);
}

TEST(MemPtr, UniqueFlagAndMissingArray)
{
    mem_ptr a{};
    ASSERT_EQ(mem_ptr_init(&a), 0);
    a.flags = MEM_PTR_F_UNIQUE;
    int x = 0;
    EXPECT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(a.count, 1u);
    a.flags = 0;
    EXPECT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(a.count, 2u);
    mem_ptr_exit(&a);

    log_capture log;
    EXPECT_EQ(mem_ptr_add(nullptr, &x), -1);
    EXPECT_TRUE(log.has("expr[ctx!=NULL]: assert failed\n"));
}

TEST(MemPtr, ReserveGrowsToExactlyN)
{
    struct {
        uint64_t n;
        int ret;
        uint64_t capacity;
    } const rows[] = {{8, -1, 16}, {16, -1, 16}, {17, 0, 17}, {100, 0, 100}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.n);
        mem_ptr a{};
        ASSERT_EQ(mem_ptr_init(&a), 0);
        int x = 0;
        ASSERT_EQ(mem_ptr_add(&a, &x), 0);
        EXPECT_EQ(mem_ptr_reserve(&a, r.n), r.ret);
        EXPECT_EQ(a.capacity, r.capacity);
        EXPECT_EQ(a.items[0], &x);
        for (uint64_t i = 1; i <= a.capacity; i++)
            ASSERT_EQ(a.items[i], nullptr) << i;
        mem_ptr_exit(&a);
    }
}

TEST(MemPtr, ReleaseAndResetLeaveNoDanglingEntries)
{
    alloc_tracker mem;
    mem_ptr a{};
    ASSERT_EQ(mem_ptr_init(&a), 0);
    int x = 0;
    ASSERT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(mem_ptr_release(&a), 0);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(mem.live_count(), 0u);
    // Nothing left to write into or free twice.
    EXPECT_EQ(mem_ptr_add(&a, &x), -1);
    EXPECT_EQ(mem_ptr_exit(&a), 0);
    EXPECT_EQ(mem_ptr_reset(&a), 0);
    EXPECT_EQ(a.capacity, 16u);
    EXPECT_EQ(mem_ptr_add(&a, &x), 0);
    EXPECT_EQ(mem_ptr_reset(&a), 0);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(mem.live_count(), 1u);
    mem_ptr_exit(&a);
    EXPECT_EQ(mem.live_count(), 0u);
}

TEST(MemByteOrder, LoadsAndStoresAtAnyOffset)
{
    const uint8_t bytes[] = {0xff, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    struct {
        int swap;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
    } const rows[] = {
        {0, 0x0201, 0x04030201, 0x0807060504030201ULL},
        {1, 0x0102, 0x01020304, 0x0102030405060708ULL},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.swap);
        EXPECT_EQ(mem_get_u16(r.swap, bytes, 1), r.u16);
        EXPECT_EQ(mem_get_u32(r.swap, bytes, 1), r.u32);
        EXPECT_EQ(mem_get_u64(r.swap, bytes, 1), r.u64);
        uint8_t out[9] = {0xff};
        mem_set_u16(r.swap, out, 1, r.u16);
        EXPECT_EQ(memcmp(out + 1, bytes + 1, 2), 0);
        mem_set_u32(r.swap, out, 1, r.u32);
        EXPECT_EQ(memcmp(out + 1, bytes + 1, 4), 0);
        mem_set_u64(r.swap, out, 1, r.u64);
        EXPECT_EQ(memcmp(out, bytes, 9), 0);
    }
}
