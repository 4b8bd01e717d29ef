#include "libpal/memory/mem_mgr.h"

#include <cstring>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "str_log_capture.h"

TEST(AllocatorManager, OnlyTypeZeroIsBuilt)
{
    log_capture log;
    EXPECT_EQ(mem_slab_mgr_init(1, nullptr, 32), nullptr);
    EXPECT_TRUE(log.has("expr[0]: assert failed\n"));
    log.clear();
    EXPECT_EQ(mem_pool_mgr_init(2), nullptr);
    EXPECT_TRUE(log.has("expr[0]: assert failed\n"));
}

TEST(AllocatorManager, SlabHandsOutItemsOfItsSize)
{
    alloc_tracker mem;
    mem_mgr *slab = mem_slab_mgr_init(0, reinterpret_cast<void *>(0x1234), 40);
    ASSERT_NE(slab, nullptr);
    void *items[3];
    for (auto &p : items) {
        p = mem_slab_mgr_malloc(slab);
        ASSERT_NE(p, nullptr);
        memset(p, 0xab, 40);  // the whole item size is writable (ASan)
    }
    EXPECT_EQ(lbuf_count(slab->imp), 3u);
    mem_slab_mgr_free(slab, items[1]);
    EXPECT_EQ(lbuf_count(slab->imp), 2u);
    mem_slab_mgr_clear(slab);
    EXPECT_EQ(lbuf_count(slab->imp), 0u);
    ASSERT_NE(mem_slab_mgr_malloc(slab), nullptr);
    // Ending the manager releases what is still allocated.
    mem_slab_mgr_exit(slab);
    EXPECT_EQ(mem.live_count(), 0u);
}

TEST(AllocatorManager, PoolHandsOutAnySizeAndCopiesTexts)
{
    alloc_tracker mem;
    mem_mgr *pool = mem_pool_mgr_init(0);
    ASSERT_NE(pool, nullptr);
    void *big = mem_pool_mgr_malloc(pool, 1000);
    ASSERT_NE(big, nullptr);
    memset(big, 0, 1000);
    char *copy = mem_pool_mgr_strdup(pool, "key text");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "key text");
    EXPECT_EQ(lbuf_count(pool->imp), 2u);
    mem_pool_mgr_free(pool, big);
    EXPECT_EQ(lbuf_count(pool->imp), 1u);
    // An empty free operation frees nothing.
    pool->free = nullptr;
    mem_pool_mgr_free(pool, copy);
    EXPECT_EQ(lbuf_count(pool->imp), 1u);
    mem_pool_mgr_clear(pool);
    EXPECT_EQ(lbuf_count(pool->imp), 0u);
    ASSERT_NE(mem_pool_mgr_strdup(pool, ""), nullptr);
    mem_pool_mgr_exit(pool);
    EXPECT_EQ(mem.live_count(), 0u);
}
