#include "libpal/comm/list.h"

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct item {
    int id;
    list_node link;
};

constexpr size_t k_off = offsetof(item, link);

item *entry(list_node *n)
{
    return static_cast<item *>(list_node_to_entry(n, k_off));
}

// The ids forwards, checked against the walk backwards.
std::vector<int> ids(list_node *head)
{
    std::vector<int> fwd;
    for (list_node *n = head->next; n != head; n = n->next)
        fwd.push_back(entry(n)->id);
    std::vector<int> back;
    for (list_node *n = head->prev; n != head; n = n->prev)
        back.insert(back.begin(), entry(n)->id);
    EXPECT_EQ(fwd, back);
    EXPECT_EQ(list_check_ok(head, "t"), head);
    return fwd;
}

struct fixture {
    list_node head;
    item items[6];
    fixture()
    {
        list_init(&head);
        for (int i = 0; i < 6; i++)
            items[i].id = i;
    }
};

}  // namespace

TEST(List, EmptyHeadPointsToItself)
{
    fixture f;
    EXPECT_TRUE(list_empty(&f.head));
    EXPECT_EQ(list_first_entry(&f.head, k_off), nullptr);
    EXPECT_EQ(list_last_entry(&f.head, k_off), nullptr);
    EXPECT_EQ(list_pop_first(&f.head, k_off), nullptr);
    EXPECT_EQ(list_check(&f.head, "t"), &f.head);
}

TEST(List, InsertsPlaceNodes)
{
    fixture f;
    list_add_tail(&f.head, &f.items[1].link, "here");
    list_add(&f.head, &f.items[0].link);
    list_add_tail(&f.head, &f.items[3].link);
    list_insert_before(nullptr, &f.items[3].link, &f.items[2].link);
    list_insert_after(nullptr, &f.items[3].link, &f.items[4].link);
    EXPECT_EQ(ids(&f.head), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(list_empty(&f.head));
    EXPECT_EQ(list_first_entry(&f.head, k_off), &f.items[0]);
    EXPECT_EQ(list_last_entry(&f.head, k_off), &f.items[4]);
    EXPECT_EQ(list_entry_to_node(&f.items[2], k_off), &f.items[2].link);
    EXPECT_EQ(list_entry_or_null(&f.head, &f.head, k_off), nullptr);
    EXPECT_EQ(list_entry_or_null(&f.head, &f.items[2].link, k_off), &f.items[2]);
}

TEST(List, RemovalsUnlink)
{
    fixture f;
    for (int i = 0; i < 5; i++)
        list_add_tail(&f.head, &f.items[i].link);

    list_del(&f.items[2].link);
    EXPECT_EQ(ids(&f.head), (std::vector<int>{0, 1, 3, 4}));
    // The removed node's own links are left alone.
    EXPECT_EQ(f.items[2].link.next, &f.items[3].link);

    list_del_init(&f.items[3].link);
    EXPECT_TRUE(list_empty(&f.items[3].link));
    list_remove(&f.head, &f.items[0].link);
    EXPECT_EQ(ids(&f.head), (std::vector<int>{1, 4}));

    list_replace(&f.items[4].link, &f.items[5].link);
    EXPECT_EQ(ids(&f.head), (std::vector<int>{1, 5}));

    EXPECT_EQ(list_pop_first(&f.head, k_off), &f.items[1]);
    EXPECT_EQ(list_pop_first(&f.head, k_off), &f.items[5]);
    EXPECT_TRUE(list_empty(&f.head));
}

TEST(List, SpliceMovesWholeListAndEmptiesSource)
{
    struct row {
        bool tail;
        std::vector<int> dst, src, want;
    };
    const row rows[] = {
        {true, {0, 1}, {2, 3}, {0, 1, 2, 3}},
        {false, {0, 1}, {2, 3}, {2, 3, 0, 1}},
        {true, {}, {2, 3}, {2, 3}},
        {false, {}, {2}, {2}},
        {true, {0}, {}, {0}},
        {false, {0, 1}, {}, {0, 1}},
    };
    for (const auto &r : rows) {
        fixture f;
        list_node other;
        list_init(&other);
        for (int id : r.dst)
            list_add_tail(&f.head, &f.items[id].link);
        for (int id : r.src)
            list_add_tail(&other, &f.items[id].link);
        if (r.tail)
            list_splice_tail(&f.head, &other);
        else
            list_splice(&f.head, &other);
        EXPECT_EQ(ids(&f.head), r.want) << r.tail;
        EXPECT_TRUE(list_empty(&other));
    }
}

TEST(List, CheckFindsBrokenPrevLink)
{
    fixture f;
    for (int i = 0; i < 4; i++)
        list_add_tail(&f.head, &f.items[i].link);
    f.items[2].link.prev = &f.items[0].link;
    EXPECT_EQ(list_check_ok(&f.head, "t"), nullptr);
    EXPECT_EQ(list_check(&f.head, nullptr), nullptr);

    // A next chain that loops back without reaching the head ends the walk.
    f.items[2].link.prev = &f.items[1].link;
    f.items[3].link.next = &f.items[1].link;
    EXPECT_EQ(list_check_ok(&f.head, "t"), nullptr);
}

TEST(ListDeathTest, NamedCheckReportsAndAborts)
{
    fixture f;
    for (int i = 0; i < 3; i++)
        list_add_tail(&f.head, &f.items[i].link);
    f.items[1].link.prev = &f.head;
    EXPECT_DEATH(list_check(&f.head, "pool"), "pool: prev corrupt in node 0x[0-9a-f]+ \\(2\\) of 0x[0-9a-f]+");
}
