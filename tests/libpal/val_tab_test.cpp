#include "libpal/basic/val_tab.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

TEST(ValTab, NameLookupAndMissingValueText)
{
    const val_tab two[] = {{1, "one"}, {2, "two"}};
    struct row {
        int32_t value;
        const char *want;
    } rows[] = {
        {1, "one"}, {2, "two"}, {7, "unkown(7)"}, {0, "unkown(0)"}, {-5, "unkown(-5)"},
    };
    for (const row &r : rows)
        EXPECT_STREQ(val_tab_get_name(r.value, two, 2), r.want) << r.value;
    EXPECT_STREQ(val_tab_get_name(1, two, 0), "unkown(1)");
}

TEST(ValTab, RowAtItsOwnIndexIsFoundDirectly)
{
    // Value 3 occurs twice: a scan would stop at index 0.
    const val_tab tab[] = {{3, "scanned"}, {1, "one"}, {2, "two"}, {3, "direct"}};
    EXPECT_STREQ(val_tab_get_name(3, tab, 4), "direct");
    EXPECT_STREQ(val_tab_get_name_sorted(3, tab, 4), "direct");
    // Outside the table's index range the scan finds the first row.
    EXPECT_STREQ(val_tab_get_name(3, tab, 3), "scanned");
}

TEST(ValTab, SortedLookupAfterSort)
{
    val_tab tab[] = {{40, "forty"}, {-3, "minus"}, {1000, "k"}, {7, "seven"}, {25, "q"}};
    val_tab_sort(tab, 5);
    int32_t want[] = {-3, 7, 25, 40, 1000};
    for (size_t i = 0; i < 5; i++)
        EXPECT_EQ(tab[i].value, want[i]);
    EXPECT_STREQ(val_tab_get_name_sorted(-3, tab, 5), "minus");
    EXPECT_STREQ(val_tab_get_name_sorted(1000, tab, 5), "k");
    EXPECT_STREQ(val_tab_get_name_sorted(25, tab, 5), "q");
    EXPECT_STREQ(val_tab_get_name_sorted(26, tab, 5), "unkown(26)");
}

TEST(ValTab, ValueByNameSkipsMissingNamesAndIsCaseSensitive)
{
    const val_tab tab[] = {{1, nullptr}, {2, "Zorv"}, {3, "zorv"}, {4, "zorv"}};
    struct row {
        const char *name;
        int32_t want;
    } rows[] = {
        {"zorv", 3}, {"Zorv", 2}, {"ZORV", -1}, {"", -1}, {"zor", -1}, {nullptr, -1},
    };
    for (const row &r : rows)
        EXPECT_EQ(val_tab_get_val(r.name, tab, 4), r.want) << (r.name ? r.name : "(null)");
}

TEST(ValTab, ValueByPointerNeedsTheSameText)
{
    static const char name[] = "file";
    char copy[] = "file";
    const val_tab tab[] = {{5, "other"}, {6, name}};
    EXPECT_EQ(val_tab_get_val_ptr(name, tab, 2), 6);
    EXPECT_EQ(val_tab_get_val_ptr(copy, tab, 2), -1);
    EXPECT_EQ(val_tab_get_val(copy, tab, 2), 6);
}

TEST(ValTab, SetNameByValue)
{
    val_tab tab[] = {{0, nullptr}, {9, nullptr}, {2, nullptr}};
    EXPECT_EQ(val_tab_set_name(0, tab, 3, "zero"), 0);
    EXPECT_EQ(val_tab_set_name(9, tab, 3, "nine"), 0);
    EXPECT_EQ(val_tab_set_name(2, tab, 3, "two"), 0);
    EXPECT_EQ(val_tab_set_name(4, tab, 3, "four"), -1);
    EXPECT_STREQ(tab[0].name, "zero");
    EXPECT_STREQ(tab[1].name, "nine");
    EXPECT_STREQ(tab[2].name, "two");
    EXPECT_EQ(val_tab_get_val("nine", tab, 3), 9);
}

TEST(ValTab, MissingTextOfOneThreadIsNotRewrittenByAnother)
{
    const val_tab tab[] = {{1, "one"}};
    const char *mine = val_tab_get_name(11, tab, 1);
    std::string other;
    std::thread([&] { other = val_tab_get_name(22, tab, 1); }).join();
    EXPECT_STREQ(mine, "unkown(11)");
    EXPECT_EQ(other, "unkown(22)");
}
