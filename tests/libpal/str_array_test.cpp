#include "libpal/string/str_array.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

std::vector<std::string> items_of(const str_vector &v)
{
    return std::vector<std::string>(v.items, v.items + v.count);
}

std::vector<std::string> items_of(const ptr_array &a)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; i < a.count; i++)
        out.emplace_back(static_cast<const char *>(a.items[i]));
    return out;
}

std::vector<std::string> keys_of(const str_map *m)
{
    std::vector<std::string> out;
    for (int i = 0; i < static_cast<int>(m->count); i++)
        out.emplace_back(str_map_key_at(m, i));
    return out;
}

using strs = std::vector<std::string>;

}  // namespace

// ---- pointer array ----

TEST(PtrArray, GrowsFourFoldThenTwoFoldAndKeepsANullSlot)
{
    struct {
        uint32_t start;
        uint32_t after_growth;
    } const cases[] = {
        {0, 16},
        {2, 8},
        {64000, 256000},
        {64001, 128002},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.start);
        ptr_array *a = ptr_array_new(c.start, 0);
        ASSERT_NE(a, nullptr);
        for (uint32_t i = 0; i <= c.start; i++)
            ASSERT_EQ(ptr_array_add(a, reinterpret_cast<void *>(uintptr_t{i} + 1)), 0);
        EXPECT_EQ(a->capacity, c.after_growth);
        EXPECT_EQ(a->count, c.start + 1);
        EXPECT_EQ(a->items[a->count], nullptr);
        EXPECT_EQ(a->items[a->capacity], nullptr);
        ptr_array_free(a);
    }
}

TEST(PtrArray, OwningArrayCopiesSortsAndDropsDuplicates)
{
    ptr_array *a = ptr_array_new(2, STR_F_OWN);
    char word[8] = "b";
    ASSERT_EQ(ptr_array_add(a, word), 0);
    EXPECT_NE(a->items[0], static_cast<void *>(word));
    word[0] = 'z';
    for (const char *s : {"a", "b", "c", "a"})
        ASSERT_EQ(ptr_array_add(a, s), 0);
    ptr_array_sort(a);
    EXPECT_EQ(items_of(*a), (strs{"a", "a", "b", "b", "c"}));
    // The duplicates are freed (ASan reports a leak otherwise).
    ptr_array_unique(a);
    EXPECT_EQ(items_of(*a), (strs{"a", "b", "c"}));
    EXPECT_EQ(a->items[3], nullptr);
    ptr_array_truncate(a, 1);
    EXPECT_EQ(items_of(*a), (strs{"a"}));
    EXPECT_EQ(a->items[1], nullptr);
    ptr_array_free(a);
}

TEST(PtrArray, DefaultModeSortsByPointerValue)
{
    static const char texts[3][2] = {"c", "b", "a"};
    ptr_array *a = ptr_array_new(4, 0);
    for (int i = 2; i >= 0; i--)
        ptr_array_add(a, texts[i]);
    ptr_array_sort(a);
    EXPECT_EQ(a->items[0], texts[0]);
    EXPECT_EQ(a->items[2], texts[2]);
    ptr_array_sort(nullptr);
    ptr_array_unique(a);
    EXPECT_EQ(a->count, 3u);
    ptr_array_free(a);
}

TEST(PtrArray, SplitKeepsEmptyFields)
{
    struct {
        const char *text;
        const char *seps;
        strs        expected;
    } const cases[] = {
        {"a,,b", ",", {"a", "", "b"}},
        {"a b;c", " ;", {"a", "b", "c"}},
        {",", ",", {"", ""}},
        {"", ",", {""}},
        {"abc", ",", {"abc"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ptr_array *a = ptr_array_split(c.text, c.seps);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->flags & STR_F_OWN, STR_F_OWN);
        EXPECT_EQ(items_of(*a), c.expected);
        ptr_array_free(a);
    }
}

// ---- string map ----

class StrMapLayout : public ::testing::TestWithParam<uint32_t> {};

TEST_P(StrMapLayout, AddGetSetDel)
{
    const uint32_t flags = GetParam();
    str_map *m = str_map_new(flags);
    ASSERT_NE(m, nullptr);
    // Caller strings that outlive the map, for the layouts that keep pointers.
    static const char k1[] = "alpha", k2[] = "beta", v1[] = "one", v2[] = "two", v3[] = "three-long";
    ASSERT_EQ(str_map_add(m, k1, v1), 0);
    ASSERT_EQ(str_map_add(m, k2, v2), 0);
    EXPECT_EQ(m->capacity, 16u);
    EXPECT_STREQ(str_map_get(m, "alpha"), "one");
    EXPECT_STREQ(str_map_get(m, "beta"), "two");
    EXPECT_EQ(str_map_get(m, "gamma"), nullptr);
    EXPECT_EQ(str_map_find(m, "beta"), 1);
    EXPECT_EQ(str_map_find(m, "Beta"), -1);
    EXPECT_STREQ(str_map_key_at(m, 0), "alpha");
    EXPECT_STREQ(str_map_val_at(m, 1), "two");
    EXPECT_EQ(str_map_key_at(m, 2), nullptr);
    EXPECT_EQ(str_map_val_at(m, -1), nullptr);

    // Keys and values are copied exactly when their layout holds them inline.
    EXPECT_EQ(str_map_key_at(m, 0) == k1, !(flags & STR_F_OWN));
    EXPECT_EQ(str_map_val_at(m, 0) == v1, !(flags & STR_F_VAL_INLINE));

    ASSERT_EQ(str_map_set(m, "alpha", v3), 0);
    EXPECT_STREQ(str_map_get(m, "alpha"), "three-long");
    ASSERT_EQ(str_map_set(m, "alpha", v2), 0);
    EXPECT_STREQ(str_map_get(m, "alpha"), "two");
    EXPECT_STREQ(str_map_key_at(m, 0), "alpha");
    ASSERT_EQ(str_map_set(m, "gamma", v1), 0);
    EXPECT_EQ(m->count, 3u);

    EXPECT_EQ(str_map_del(m, "alpha"), 0);
    EXPECT_EQ(str_map_del(m, "alpha"), -1);
    EXPECT_EQ(m->count, 2u);
    EXPECT_EQ(m->entries[2], nullptr);
    EXPECT_EQ(keys_of(m), (strs{"beta", "gamma"}));
    EXPECT_EQ(str_map_free(m), 0);
}

INSTANTIATE_TEST_SUITE_P(AllEntryLayouts, StrMapLayout,
                         ::testing::Values(0u, STR_F_VAL_INLINE, STR_F_OWN, STR_F_OWN | STR_F_VAL_INLINE));

TEST(StrMap, InlineValueChangesInPlaceUnlessLonger)
{
    str_map *m = str_map_new(STR_F_OWN | STR_F_VAL_INLINE);
    str_map_add(m, "k", "abc");
    void *entry = m->entries[0];
    const char *val = str_map_get(m, "k");
    struct {
        const char *value;
        bool        same_entry;
    } const steps[] = {
        {"xyz", true},
        {"q", true},
        {"", true},
        {"longer", false},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.value);
        ASSERT_EQ(str_map_set(m, "k", s.value), 0);
        EXPECT_STREQ(str_map_get(m, "k"), s.value);
        EXPECT_EQ(m->entries[0] == entry, s.same_entry);
        EXPECT_EQ(str_map_get(m, "k") == val, s.same_entry);
        EXPECT_STREQ(str_map_key_at(m, 0), "k");
    }
    // The map's own value may be set again (overlapping copy).
    ASSERT_EQ(str_map_set(m, "k", str_map_get(m, "k")), 0);
    EXPECT_STREQ(str_map_get(m, "k"), "longer");
    str_map_free(m);
}

TEST(StrMap, SortedMapKeepsKeyOrder)
{
    for (uint32_t flags : {0u, uint32_t{STR_F_OWN}, uint32_t{STR_F_OWN | STR_F_VAL_INLINE}}) {
        SCOPED_TRACE(flags);
        str_map *m = str_map_new(flags);
        str_map_add(m, "m", "1");
        str_map_add(m, "c", "2");
        str_map_sort(m);
        EXPECT_EQ(m->flags & STR_F_SORTED, STR_F_SORTED);
        for (const char *k : {"z", "a", "d", "b"})
            ASSERT_EQ(str_map_set(m, k, k), 0);
        EXPECT_EQ(keys_of(m), (strs{"a", "b", "c", "d", "m", "z"}));
        EXPECT_EQ(str_map_find(m, "d"), 3);
        EXPECT_EQ(str_map_find(m, "e"), -1);
        EXPECT_STREQ(str_map_get(m, "z"), "z");
        ASSERT_EQ(str_map_set(m, "c", "3"), 0);
        EXPECT_STREQ(str_map_get(m, "c"), "3");
        EXPECT_EQ(str_map_del(m, "a"), 0);
        EXPECT_EQ(str_map_find(m, "b"), 0);
        str_map_free(m);
    }
}

TEST(StrMap, OwnedValuesAreFreed)
{
    // ASan reports a leak or a double free when ownership goes wrong.
    str_map *m = str_map_new(STR_F_OWN | STR_F_OWN_VAL);
    str_map_add(m, "a", os_strdup("1"));
    str_map_add(m, "b", os_strdup("2"));
    ASSERT_EQ(str_map_set(m, "a", os_strdup("3")), 0);
    EXPECT_STREQ(str_map_get(m, "a"), "3");
    // Setting the value the map already holds must not free it.
    ASSERT_EQ(str_map_set(m, "a", str_map_get(m, "a")), 0);
    EXPECT_STREQ(str_map_get(m, "a"), "3");
    EXPECT_EQ(str_map_del(m, "b"), 0);
    str_map_clear(m);
    EXPECT_EQ(m->count, 0u);
    str_map_add(m, "c", os_strdup("4"));
    str_map_free(m);
}

TEST(StrMap, CapacityFromTheRecordAndGrowth)
{
    str_map m{};
    m.capacity = 4;
    ASSERT_EQ(str_map_init(&m, 0), 0);
    EXPECT_NE(m.entries, nullptr);
    EXPECT_EQ(m.flags & STR_F_CMP_MASK, STR_F_CMP_PPSTR);
    const std::vector<std::string> keys = {"0", "1", "2", "3", "4"};
    for (const auto &k : keys)
        ASSERT_EQ(str_map_add(&m, k.c_str(), "v"), 0);
    EXPECT_EQ(m.capacity, 16u);
    str_map_exit(&m);
    EXPECT_EQ(m.entries, nullptr);

    str_map *g = str_map_new(STR_F_OWN);
    EXPECT_EQ(g->flags & STR_F_CMP_MASK, STR_F_OWN);
    for (int i = 0; i < 17; i++)
        ASSERT_EQ(str_map_add(g, std::to_string(i).c_str(), "v"), 0);
    EXPECT_EQ(g->capacity, 64u);
    EXPECT_EQ(g->entries[17], nullptr);
    str_map_free(g);
}

// ---- string vector ----

TEST(StrVector, SplitKeepsOrDropsEmptyItemsAndStopsAtTheMaximum)
{
    struct {
        const char *text;
        const char *seps;
        int         max;
        uint32_t    flags;
        strs        expected;
    } const cases[] = {
        {"a,,b", ",", 0, 0, {"a", "", "b"}},
        {"a,,b", ",", 0, STR_F_NO_EMPTY, {"a", "b"}},
        {"a,b,c", ",", 2, 0, {"a", "b,c"}},
        {"a,b,c", ",", 3, 0, {"a", "b", "c"}},
        {"a", ",", 2, 0, {"a"}},
        {"a,b,c", ",", 1, 0, {"a,b,c"}},
        {"a b;c", " ;", 0, 0, {"a", "b", "c"}},
        {",a,", ",", 0, 0, {"", "a", ""}},
        {"", ",", 0, 0, {""}},
        {"", ",", 0, STR_F_NO_EMPTY, {}},
        {"a,A,b,a", ",", 0, STR_F_UNIQUE, {"a", "A", "b"}},
        {"a,A,b,a", ",", 0, STR_F_UNIQUE | STR_F_ICASE, {"a", "b"}},
        {"x,y", ",", 0, STR_F_OWN, {"x", "y"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " max " + std::to_string(c.max));
        str_vector v;
        str_vector_init(&v, c.flags);
        EXPECT_EQ(str_vector_split_n(c.text, c.seps, c.max, &v), static_cast<int>(c.expected.size()));
        EXPECT_EQ(items_of(v), c.expected);
        ASSERT_LT(v.count, v.capacity);
        EXPECT_EQ(v.items[v.count], nullptr);
        str_vector_exit(&v);
    }
}

TEST(StrVector, SplitBufferIsReusedWhenLargeEnough)
{
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_vector_split("aaaa,bbbb,cccc", ",", &v), 3);
    char *buf = v.split_buf;
    EXPECT_GE(v.items[0], buf);
    EXPECT_LT(v.items[2], buf + v.split_size);
    ASSERT_EQ(str_vector_split("x,y", ",", &v), 2);
    EXPECT_EQ(v.split_buf, buf);
    EXPECT_EQ(items_of(v), (strs{"x", "y"}));
    // Splitting one of its own items again: the copy overlaps the buffer.
    ASSERT_EQ(str_vector_split("p q,r", ",", &v), 2);
    ASSERT_EQ(str_vector_split(v.items[0], " ", &v), 2);
    EXPECT_EQ(items_of(v), (strs{"p", "q"}));
    ASSERT_EQ(str_vector_split("a-much-longer-text,than-the-buffer-holds", ",", &v), 2);
    EXPECT_EQ(items_of(v), (strs{"a-much-longer-text", "than-the-buffer-holds"}));
    str_vector_clear(&v);
    EXPECT_EQ(v.split_buf, nullptr);
    EXPECT_EQ(v.count, 0u);
    EXPECT_NE(v.items, nullptr);
    str_vector_exit(&v);
}

TEST(StrVector, SplitInPlaceCutsTheCallersText)
{
    char text[] = "k=v=w";
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_vector_split_inplace_n(text, "=", 2, &v), 2);
    EXPECT_EQ(v.items[0], text);
    EXPECT_EQ(v.items[1], text + 2);
    EXPECT_STREQ(v.items[1], "v=w");
    EXPECT_EQ(v.split_buf, nullptr);
    str_vector_exit(&v);
}

TEST(StrVector, SplitLeavesQuotedSeparatorsInTheirItem)
{
    struct {
        const char *text;
        const char *seps;
        uint32_t    flags;
        strs        expected;
    } const cases[] = {
        {"set x 'a b'", " ", 0, {"set", "x", "'a b'"}},
        {"a \"b c\" d", " ", 0, {"a", "\"b c\"", "d"}},
        // Any quote character closes a quote opened by any other.
        {"a 'b\" c' \"d e", " ", 0, {"a", "'b\"", "c' \"d", "e"}},
        {"x''  y", " ", 0, {"x''", "", "y"}},
        {"x''  y", " ", STR_F_NO_EMPTY, {"x''", "y"}},
        {"a 'b' ", " ", 0, {"a", "'b'"}},
        {"echo 'a;b';ls", ";", 0, {"echo 'a;b'", "ls"}},
        // Without quote characters the text is split plainly.
        {"a  b", " ", 0, {"a", "", "b"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        str_vector v;
        str_vector_init(&v, c.flags);
        EXPECT_EQ(str_split_esape(c.text, c.seps, "'\"", &v), static_cast<int>(c.expected.size()));
        EXPECT_EQ(items_of(v), c.expected);
        EXPECT_EQ(v.items[v.count], nullptr);
        str_vector_exit(&v);
    }
}

TEST(StrVector, OddQuotesAreASyntaxErrorThatKeepsTheItems)
{
    log_capture cap;
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split_esape("a 'b' c", " ", "'\"", &v), 3);
    EXPECT_EQ(str_split_esape("it's", " ", "'\"", &v), -1);
    EXPECT_TRUE(cap.has("syntax error"));
    // The earlier items still point into a live buffer (ASan checks the read).
    EXPECT_EQ(items_of(v), (strs{"a", "'b'", "c"}));
    str_vector_exit(&v);
}

TEST(StrVector, PushFindRemove)
{
    log_capture cap;
    str_vector *v = str_vector_new(STR_F_OWN | STR_F_ICASE);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->heap, 1u);
    for (const char *s : {"a", "B", "a", "c"})
        ASSERT_EQ(str_vector_push_back(v, s), 0);
    EXPECT_EQ(str_vector_find(v, "b"), 1);
    EXPECT_EQ(str_vector_find_cs(v, "b"), -1);
    EXPECT_EQ(str_vector_find_cs(v, "B"), 1);
    EXPECT_EQ(str_vector_push_back(v, nullptr), -1);
    EXPECT_TRUE(cap.has("expr[str!=NULL]: assert failed"));
    // Removing by one of the vector's own owned items must not read it after freeing.
    EXPECT_EQ(str_vector_remove(v, v->items[0]), 0);
    EXPECT_EQ(items_of(*v), (strs{"B", "c"}));
    EXPECT_EQ(v->items[2], nullptr);
    EXPECT_EQ(str_vector_remove(v, "z"), -1);
    EXPECT_EQ(str_vector_remove(v, "C"), 0);
    EXPECT_EQ(items_of(*v), (strs{"B"}));
    str_vector_free(v);
}

TEST(StrVector, GrowthAndTerminate)
{
    str_vector v;
    str_vector_init(&v, 0);
    EXPECT_EQ(v.flags & STR_F_CMP_MASK, STR_F_CMP_PTR);
    const std::vector<std::string> words(16, "w");
    for (const auto &w : words)
        ASSERT_EQ(str_vector_push_back(&v, w.c_str()), 0);
    EXPECT_EQ(v.capacity, 16u);
    ASSERT_EQ(str_vector_terminate(&v), 0);
    EXPECT_EQ(v.capacity, 32u);
    EXPECT_EQ(v.items[16], nullptr);
    ASSERT_EQ(str_vector_push_back(&v, "x"), 0);
    EXPECT_EQ(v.count, 17u);
    str_vector_exit(&v);
    EXPECT_EQ(v.items, nullptr);
    EXPECT_EQ(v.capacity, 0u);
}

TEST(StrVector, SortAndUniqueFreeDuplicates)
{
    struct {
        strs input;
        strs expected;
    } const cases[] = {
        {{"b", "a", "b", "c", "a"}, {"a", "b", "c"}},
        {{"only"}, {"only"}},
        {{}, {}},
        {{"x", "x", "x"}, {"x"}},
    };
    for (const auto &c : cases) {
        str_vector v;
        str_vector_init(&v, STR_F_OWN);
        for (const auto &s : c.input)
            str_vector_push_back(&v, s.c_str());
        str_vector_sort(&v);
        str_vector_unique(&v);
        EXPECT_EQ(items_of(v), c.expected);
        str_vector_exit(&v);
    }
}

// ---- double-NUL lists ----

TEST(ZzList, SplitMeasureAndDup)
{
    static const char list[] = "a\0b\0";  // with the literal's NUL: "a", "b", end
    log_capture cap;
    const char *arr[2] = {};
    size_t total = 0;
    EXPECT_EQ(str_split_zz(list, arr, 1, &total), -1);
    EXPECT_TRUE(cap.has("error: more '0' sep, max_sep=1"));
    cap.clear();
    EXPECT_EQ(str_split_zz(list, arr, 2, &total), 2);
    EXPECT_EQ(total, 5u);
    EXPECT_STREQ(arr[0], "a");
    EXPECT_STREQ(arr[1], "b");
    total = 0;
    EXPECT_EQ(str_split_zz(list, nullptr, 0, &total), 0);
    EXPECT_EQ(total, 5u);
    EXPECT_TRUE(cap.all().empty());

    char *dup = str_zz_dup(list, 2);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(memcmp(dup, list, 5), 0);
    os_free(dup);
    EXPECT_EQ(str_zz_dup(list, 1), nullptr);
    char *empty = str_zz_dup("\0", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(empty[1], '\0');
    os_free(empty);
}

TEST(ZzList, LengthWithinBound)
{
    struct {
        const char *list;
        size_t      bound;
        int         expected;
    } const cases[] = {
        {"a\0b\0", 0, 3},
        {"a\0b\0", 5, 3},
        {"a\0b\0", 4, -1},
        {"\0", 0, 0},
        {"abc\0", 0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bound);
        EXPECT_EQ(str_zz_len(c.list, c.bound), c.expected);
    }
}

// ---- base64 ----

TEST(Base64Cat, AppendsTheEncodingOrRefusesWhatDoesNotFit)
{
    struct {
        const char *text;
        size_t      size;
        int         rc;
        const char *expected;
    } const cases[] = {
        {"", 4, 0, ""},
        {"f", 8, 0, "Zg=="},
        {"fo", 8, 0, "Zm8="},
        {"foo", 8, 0, "Zm9v"},
        {"abcd", 9, 0, "YWJjZA=="},
        {"foobar", 16, 0, "Zm9vYmFy"},
        {"\xff\xfe", 8, 0, "//4="},
        {"abcd", 8, -1, ""},
        {"abcd", 4, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        log_capture cap;
        std::vector<char> out(c.size, 'X');
        EXPECT_EQ(str_base64_encode_cat(c.text, out.data(), out.size()), c.rc);
        EXPECT_STREQ(out.data(), c.expected);
    }
}
