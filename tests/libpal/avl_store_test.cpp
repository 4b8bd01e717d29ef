// The AVL tree's nodes and copied texts live in its own slab and pool: what
// it copies it returns, and its end releases everything.
#include "libpal/comm/avl_tree.h"

#include <string>

#include <gtest/gtest.h>

#include "alloc_tracker.h"
#include "str_log_capture.h"

TEST(AvlStores, OnlyStoresOfTypeZeroAreBuilt)
{
    struct {
        uint32_t slab_type;
        uint32_t pool_type;
        const char *report;
    } const rows[] = {
        {1, 0, "expr[avl->hslab != NULL]: assert failed\n"},
        {0, 3, "expr[avl->hpool != NULL]: assert failed\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.report);
        log_capture log;  // first: it may create the log context
        alloc_tracker mem;
        avl_param p{};
        p.slab_type = r.slab_type;
        p.pool_type = r.pool_type;
        EXPECT_EQ(avl_new(&p), nullptr);
        EXPECT_TRUE(log.has("expr[0]: assert failed\n"));
        EXPECT_TRUE(log.has(r.report));
        EXPECT_EQ(mem.live_count(), 0u);
    }
}

TEST(AvlStores, CopiesAreReturnedAndTheEndReleasesAll)
{
    alloc_tracker mem;
    avl_param p{};
    p.flags = AVL_KEY_STR_COPY | AVL_VAL_STR_COPY;
    avl_tree *t = avl_new(&p);
    ASSERT_NE(t, nullptr);
    const size_t empty = mem.live_count();
    std::string key = "k";
    for (int i = 0; i < 50; i++) {
        key[0] = static_cast<char>('A' + i);
        const std::string value = "v" + std::to_string(i);
        EXPECT_TRUE(avl_set(t, key.c_str(), const_cast<char *>(value.c_str())));
    }
    const size_t full = mem.live_count();
    EXPECT_GT(full, empty);
    // Replacing values copies the new and returns the old copies.
    for (int round = 0; round < 20; round++) {
        const std::string value = "round" + std::to_string(round);
        EXPECT_FALSE(avl_set(t, "A", const_cast<char *>(value.c_str())));
    }
    EXPECT_STREQ(static_cast<const char *>(avl_get(t, "A")), "round19");
    EXPECT_EQ(mem.live_count(), full);
    for (int i = 0; i < 50; i++) {
        key[0] = static_cast<char>('A' + i);
        EXPECT_TRUE(avl_del(t, key.c_str()));
    }
    EXPECT_TRUE(avl_check(t));
    EXPECT_EQ(mem.live_count(), empty);
    ASSERT_TRUE(avl_set(t, "left", const_cast<char *>("over")));
    avl_exit(t);
    EXPECT_EQ(mem.live_count(), 0u);
}
