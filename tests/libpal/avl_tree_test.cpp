#include "libpal/comm/avl_tree.h"

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"

namespace {

const void *k(uint64_t n)
{
    return reinterpret_cast<const void *>(static_cast<uintptr_t>(n));
}

void *v(uint64_t n)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(n));
}

uint64_t num(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

std::vector<uint64_t> walk(avl_tree *t, uint32_t dir)
{
    std::vector<uint64_t> keys;
    avl_iter it;
    for (avl_iter_init(&it, t, dir); it.node != nullptr; avl_iter_next(&it)) {
        EXPECT_EQ(it.key, it.node->key);
        keys.push_back(num(it.key));
    }
    return keys;
}

using tree_ptr = pl_owned<avl_tree, avl_exit>;

tree_ptr make_tree(uint32_t flags, avl_free_proc free_proc = nullptr)
{
    avl_param p{};
    p.flags = flags;
    p.free_proc = free_proc;
    return tree_ptr(avl_new(&p));
}

int g_freed = 0;
void count_free(void *) { g_freed++; }

}  // namespace

TEST(AvlTree, AscendingInsertsStayBalancedAndWalkInOrder)
{
    tree_ptr t(avl_new(nullptr));
    ASSERT_NE(t, nullptr);
    std::vector<uint64_t> want;
    for (uint64_t i = 1; i <= 1000; i++) {
        ASSERT_TRUE(avl_set(t.get(), k(i), v(i * 10)));
        want.push_back(i);
    }
    EXPECT_TRUE(avl_check(t.get()));
    EXPECT_EQ(avl_count(t.get()), 1000u);
    EXPECT_EQ(walk(t.get(), 0), want);
    std::vector<uint64_t> rev(want.rbegin(), want.rend());
    EXPECT_EQ(walk(t.get(), 1), rev);
    EXPECT_EQ(num(avl_get(t.get(), k(500))), 5000u);
    EXPECT_EQ(avl_get(t.get(), k(1001)), nullptr);
    EXPECT_EQ(avl_find(t.get(), k(0)), nullptr);
}

TEST(AvlTree, EmptyTreeWalksNothing)
{
    tree_ptr t(avl_new(nullptr));
    EXPECT_TRUE(walk(t.get(), 0).empty());
    EXPECT_TRUE(walk(t.get(), 1).empty());
    EXPECT_FALSE(avl_del(t.get(), k(1)));
    EXPECT_TRUE(avl_check(t.get()));
}

TEST(AvlTree, ReplaceKeepsCountAndCopiesTheNewText)
{
    tree_ptr t = make_tree(AVL_VAL_STR_COPY);
    char text[16] = "first";
    ASSERT_TRUE(avl_set(t.get(), k(7), text));
    EXPECT_NE(avl_get(t.get(), k(7)), static_cast<void *>(text));
    strcpy(text, "second");
    EXPECT_STREQ(static_cast<char *>(avl_get(t.get(), k(7))), "first");
    EXPECT_FALSE(avl_set(t.get(), k(7), text));
    EXPECT_EQ(avl_count(t.get()), 1u);
    strcpy(text, "changed");
    EXPECT_STREQ(static_cast<char *>(avl_get(t.get(), k(7))), "second");
    // A missing text stays missing.
    EXPECT_FALSE(avl_set(t.get(), k(7), nullptr));
    EXPECT_EQ(avl_get(t.get(), k(7)), nullptr);
}

TEST(AvlTree, CopiedTextKeysOutliveTheCallersBuffer)
{
    tree_ptr t = make_tree(AVL_KEY_STR_COPY);
    char key[16];
    for (int i = 0; i < 50; i++) {
        snprintf(key, sizeof(key), "key%02d", i);
        ASSERT_TRUE(avl_set(t.get(), key, v(i)));
    }
    strcpy(key, "zzz");
    EXPECT_EQ(num(avl_get(t.get(), "key07")), 7u);
    EXPECT_FALSE(avl_set(t.get(), "key07", v(70)));
    EXPECT_EQ(num(avl_get(t.get(), "key07")), 70u);
    EXPECT_TRUE(avl_del(t.get(), "key08"));
    EXPECT_EQ(avl_get(t.get(), "key08"), nullptr);
    EXPECT_TRUE(avl_check(t.get()));
    avl_iter it;
    avl_iter_init(&it, t.get(), 0);
    EXPECT_STREQ(static_cast<const char *>(it.key), "key00");
}

TEST(AvlTree, OwnedValuesAreReleasedOnReplaceDeleteAndExit)
{
    g_freed = 0;
    {
        tree_ptr t = make_tree(AVL_VAL_FREE_CB, count_free);
        avl_set(t.get(), k(1), v(1));
        avl_set(t.get(), k(2), v(2));
        avl_set(t.get(), k(3), v(3));
        avl_set(t.get(), k(1), v(11));
        EXPECT_EQ(g_freed, 1);
        avl_del(t.get(), k(2));
        EXPECT_EQ(g_freed, 2);
    }
    EXPECT_EQ(g_freed, 4);

    // Heap values owned by the tree: the leak checker sees any that is not freed.
    tree_ptr t = make_tree(AVL_VAL_OWNED);
    for (uint64_t i = 0; i < 20; i++)
        avl_set(t.get(), k(i % 10), os_malloc(32));
    avl_del(t.get(), k(3));
    EXPECT_EQ(avl_count(t.get()), 9u);
}

TEST(AvlTree, DeletingTheRootOfThreeKeepsTheOthers)
{
    tree_ptr t(avl_new(nullptr));
    avl_set(t.get(), k(2), v(20));
    avl_set(t.get(), k(1), v(10));
    avl_set(t.get(), k(3), v(30));
    EXPECT_FALSE(avl_del(t.get(), k(4)));
    EXPECT_TRUE(avl_del(t.get(), k(2)));
    EXPECT_FALSE(avl_del(t.get(), k(2)));
    EXPECT_EQ(walk(t.get(), 0), (std::vector<uint64_t>{1, 3}));
    EXPECT_EQ(avl_count(t.get()), 2u);
    EXPECT_EQ(num(avl_get(t.get(), k(3))), 30u);
    EXPECT_TRUE(avl_check(t.get()));
}

TEST(AvlTree, RandomOperationsMatchStdMap)
{
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 4; round++) {
        tree_ptr t(avl_new(nullptr));
        std::map<uint64_t, uint64_t> ref;
        uint64_t range = round == 0 ? 16 : 2000;
        for (int op = 0; op < 20000; op++) {
            uint64_t key = rng() % range;
            switch (rng() % 4) {
            case 0:
            case 1: {
                bool added = ref.find(key) == ref.end();
                uint64_t val = rng();
                ref[key] = val;
                ASSERT_EQ(avl_set(t.get(), k(key), v(val)), added);
                break;
            }
            case 2:
                ASSERT_EQ(avl_del(t.get(), k(key)), ref.erase(key) == 1);
                break;
            default: {
                auto it = ref.find(key);
                avl_node *n = avl_find(t.get(), k(key));
                ASSERT_EQ(n != nullptr, it != ref.end());
                if (n != nullptr) {
                    ASSERT_EQ(num(n->value), it->second);
                }
            }
            }
            ASSERT_EQ(avl_count(t.get()), ref.size());
            if (op % 1000 == 0) {
                ASSERT_TRUE(avl_check(t.get())) << "op " << op;
            }
        }
        ASSERT_TRUE(avl_check(t.get()));
        std::vector<uint64_t> keys;
        for (const auto &[key, val] : ref)
            keys.push_back(key);
        EXPECT_EQ(walk(t.get(), 0), keys);
        // Empty it completely.
        for (uint64_t key : keys)
            ASSERT_TRUE(avl_del(t.get(), k(key)));
        EXPECT_EQ(avl_count(t.get()), 0u);
        EXPECT_TRUE(avl_check(t.get()));
    }
}

TEST(AvlTree, CustomCompareOrdersTheWalk)
{
    avl_param p{};
    p.cmp = [](const void *a, const void *b) {
        uint64_t x = num(a), y = num(b);
        return x > y ? -1 : (x < y ? 1 : 0);
    };
    tree_ptr t(avl_new(&p));
    for (uint64_t i = 0; i < 10; i++)
        avl_set(t.get(), k(i), v(i));
    EXPECT_EQ(walk(t.get(), 0), (std::vector<uint64_t>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_TRUE(avl_check(t.get()));
}

TEST(AvlTree, NonZeroStoreTypeIsRefused)
{
    log_capture cap;
    avl_param p{};
    p.slab_type = 1;
    EXPECT_EQ(avl_new(&p), nullptr);
    EXPECT_TRUE(cap.has("assert failed"));
}
