#include "libpal/string/str_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "heap_text.h"
#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

// Longer than the fixed buffers of the calls under test.
const std::string k_long(300, 'L');

}  // namespace

TEST(Tests, PrefixesAndSuffixes)
{
    using test_fn = bool (*)(const char *, const char *);
    struct {
        test_fn fn;
        const char *text, *piece;
        bool expected;
    } const cases[] = {
        {str_startswith, "abc", "ab", true},
        {str_startswith, "abc", "", true},
        {str_startswith, "abc", "abcd", false},
        {str_startswith, "abc", "AB", false},
        {str_endswith, "a.log", ".log", true},
        {str_endswith, "a.log", "", true},
        {str_endswith, "log", ".log", false},
        {str_endswith, "a.LOG", ".log", false},
        {str_istartswith, "Hello World", "hello w", true},
        {str_istartswith, "Hello", "hello w", false},
        {str_istartswith, "Hello World", "hello_w", false},
        {str_iendswith, "A.LOG", ".log", true},
        {str_iendswith, "x", "", true},
        {str_iendswith, "A.LOG", "a.log.", false},
        {str_startswith, nullptr, "a", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text != nullptr ? c.text : "(null)") + "|" + c.piece);
        EXPECT_EQ(c.fn(c.text, c.piece), c.expected);
    }
}

TEST(Tests, ShapesAndClasses)
{
    EXPECT_TRUE(str_is_enclosed("[a]", '[', ']'));
    EXPECT_TRUE(str_is_enclosed("\"\"", '"', '"'));
    EXPECT_FALSE(str_is_enclosed("\"", '"', '"'));
    EXPECT_FALSE(str_is_enclosed("[a", '[', ']'));
    EXPECT_TRUE(str_is_all_chr("---", '-'));
    EXPECT_FALSE(str_is_all_chr("", '-'));
    EXPECT_FALSE(str_is_all_chr("--+", '-'));

    struct {
        const char *text;
        int mask;
        bool expected;
    } const classes[] = {
        {"", 0, true},
        {"abcXYZ", STR_CLASS_ALPHA, true},
        {"abc1", STR_CLASS_ALPHA, false},
        {"0123", STR_CLASS_DIGIT, true},
        {"0x12", STR_CLASS_DIGIT, false},
        {"deadBEEF09", STR_CLASS_XDIGIT, true},
        {"deadbeefg", STR_CLASS_XDIGIT, false},
        {"abc123", STR_CLASS_ALPHA | STR_CLASS_DIGIT, true},
        {"abc 123", STR_CLASS_ALPHA | STR_CLASS_DIGIT, false},
        {"\xe9", STR_CLASS_ALPHA, false},
    };
    for (const auto &c : classes) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(str_is_class(c.text, c.mask), c.expected);
    }
    EXPECT_EQ(str_ctype_is(' ', STR_CTYPE_SPACE), STR_CTYPE_SPACE);
    EXPECT_EQ(str_ctype_is('7', STR_CTYPE_SPACE | STR_CTYPE_DIGIT), STR_CTYPE_DIGIT);
    EXPECT_EQ(str_ctype_is('a', STR_CTYPE_DIGIT), 0);
    EXPECT_EQ(str_ctype_is(-1, STR_CTYPE_SPACE), 0);
    EXPECT_EQ(str_ctype_is(256, -1), 0);
}

TEST(Searches, CaseBlindAndLastOccurrence)
{
    const char *text = "Hello World, hello";
    EXPECT_EQ(str_istr(text, "WORLD"), text + 6);
    EXPECT_EQ(str_istr(text, ""), text);
    EXPECT_EQ(str_istr("", ""), nullptr);
    EXPECT_EQ(str_istr("ab", "abc"), nullptr);
    EXPECT_EQ(str_istr("a_b", "A-B"), nullptr);
    EXPECT_EQ(str_rstr(text, "llo"), text + 15);
    EXPECT_EQ(str_rstr(text, "xyz"), nullptr);
    EXPECT_EQ(str_rstr("", "a"), nullptr);
    const char *aaa = "aaa";
    EXPECT_EQ(str_rstr(aaa, "aa"), aaa + 1);
}

TEST(Searches, MissingArgumentsAreReported)
{
    log_capture log;
    EXPECT_EQ(str_istr(nullptr, "a"), nullptr);
    EXPECT_TRUE(log.has("expr[pstr!=NULL]: assert failed\n"));
    EXPECT_EQ(str_istr("a", nullptr), nullptr);
    EXPECT_TRUE(log.has("expr[psubstr!=NULL]: assert failed\n"));
    EXPECT_EQ(str_rstr(nullptr, "a"), nullptr);
    EXPECT_TRUE(log.has("expr[dst]: assert failed\n"));
    EXPECT_EQ(str_rstr("a", nullptr), nullptr);
    EXPECT_TRUE(log.has("expr[src]: assert failed\n"));
}

TEST(Searches, WholeWords)
{
    struct {
        const char *text, *word;
        bool icase;
        int offset;  // -1: not found
    } const cases[] = {
        {"x id=1", "id", false, 2},  {"idle", "id", false, -1}, {"void", "id", false, -1},
        {"void id", "id", false, 5}, {"id", "id", false, 0},    {"ID-x", "id", true, 0},
        {"ID-x", "id", false, -1},   {"a_id", "id", false, 2},  {"x9id id9 (id)", "id", false, 10},
        {"", "id", false, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const char *r = c.icase ? str_igfind(c.text, c.word) : str_gfind(c.text, c.word);
        if (c.offset < 0) {
            EXPECT_EQ(r, nullptr);
        } else {
            EXPECT_EQ(r, c.text + c.offset);
        }
    }
}

TEST(Searches, CharacterSets)
{
    const char *t = "a,b;c";
    EXPECT_EQ(str_find_any(t, ";,"), t + 3);  // in the set's order, not the text's
    EXPECT_EQ(str_find_any(t, "xyz"), nullptr);
    EXPECT_EQ(str_rfind_any(t, ",;"), t + 3);
    EXPECT_EQ(str_rfind_any("", ","), nullptr);
    EXPECT_EQ(str_chr_nth(t, ',', 1), t + 1);
    const char *dots = "a.b.c";
    EXPECT_EQ(str_chr_nth(dots, '.', 2), dots + 3);
    EXPECT_EQ(str_chr_nth(t, ',', 2), nullptr);
    EXPECT_EQ(str_chr_nth(t, ',', 0), nullptr);
    EXPECT_EQ(str_count_chr("a.b.c", '.'), 2u);
    EXPECT_EQ(str_count_set("a.b;c", ".;"), 2u);
}

TEST(Searches, ListsAndTokens)
{
    EXPECT_EQ(str_list_find("http", "tcp|tcps|http|https", '|'), 0);
    EXPECT_EQ(str_list_find("https", "tcp|tcps|http|https", '|'), 0);
    EXPECT_EQ(str_list_find("HTTP", "tcp|http", '|'), -1);
    EXPECT_EQ(str_list_find("htt", "tcp|http", '|'), -1);
    EXPECT_EQ(str_list_find("", "a||b", '|'), 0);
    EXPECT_EQ(str_list_find("", "a|b", '|'), -1);

    const char zz[] = "one\0two\0three\0";
    EXPECT_EQ(str_zz_find(zz, "two"), 1);
    EXPECT_EQ(str_zz_find(zz, "three"), 2);
    EXPECT_EQ(str_zz_find(zz, "four"), -1);

    char out[4];
    const char *text = "ab,cdef;g";
    const char *p    = str_ctok(text, ",;", out, sizeof(out));
    EXPECT_EQ(p, text + 2);
    EXPECT_STREQ(out, "ab");
    log_capture log;
    EXPECT_EQ(str_ctok(p + 1, ",;", out, sizeof(out)), nullptr);
    EXPECT_TRUE(log.has("need_len=5 req_len=4 head=[cdef;g]\n"));
    const char *xyz = "xyz";
    EXPECT_EQ(str_ctok(xyz, ",", out, sizeof(out)), xyz + 3);
    EXPECT_STREQ(out, "xyz");
}

TEST(Searches, Head)
{
    struct {
        std::string text;
        size_t size;
        const char *expected;
    } const cases[] = {
        {"abc", 32, "abc"},
        {"a\r\nb\nc", 32, "abc"},
        {"abcdef", 4, "abc"},
        {"\n\n\n", 4, ""},
        {k_long, 32, "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"},
        {"x", 1, ""},
    };
    for (const auto &c : cases) {
        auto buf = std::make_unique<char[]>(c.size);
        EXPECT_STREQ(str_get_head(c.text.c_str(), buf.get(), c.size), c.expected);
    }
    log_capture log;
    char buf[4];
    EXPECT_EQ(str_get_head(nullptr, buf, sizeof(buf)), nullptr);
    EXPECT_TRUE(log.has("expr[info!=NULL]: assert failed\n"));
    EXPECT_EQ(str_get_head("a", nullptr, 4), nullptr);
    EXPECT_TRUE(log.has("expr[buf!=NULL]: assert failed\n"));
    EXPECT_EQ(str_get_head("a", buf, 0), nullptr);
    EXPECT_TRUE(log.has("expr[blen>0]: assert failed\n"));
}

TEST(Searches, ConcatenatingCopies)
{
    char *p = str_concat_dup("ab", "cd");
    EXPECT_STREQ(p, "abcd");
    os_free(p);
    p = str_concat_dup("ab", nullptr);
    EXPECT_STREQ(p, "ab");
    os_free(p);
    EXPECT_EQ(str_concat_dup(nullptr, "x"), nullptr);
    p = str_add_chr_dup("ab", '/');
    EXPECT_STREQ(p, "ab/");
    os_free(p);
    EXPECT_EQ(str_add_chr_dup("ab", '\0'), nullptr);
    EXPECT_EQ(str_add_chr_dup(nullptr, 'x'), nullptr);
}

TEST(Searches, DifferenceDump)
{
    log_capture log;
    EXPECT_EQ(str_cmp_show_dbg("abcd", "abxdyy"), 0);
    ASSERT_EQ(log.all().size(), 1u);
    EXPECT_EQ(log.all()[0].text, "off=2 c=x\n");
    log.clear();
    // A shorter second text stops at its end.
    EXPECT_EQ(str_cmp_show_dbg("abcd", "ab"), 0);
    ASSERT_EQ(log.all().size(), 1u);
}

TEST(Sorting, SortsAndFinds)
{
    char bytes[] = {'d', 'a', static_cast<char>(0xe9), 'c', 'b'};
    sort_chars(bytes, sizeof(bytes));
    EXPECT_EQ(std::string(bytes, 5), std::string("abcd\xe9"));

    const char *strs[] = {"pear", "apple", "fig", "banana"};
    sort_strings(const_cast<char **>(strs), 4);
    EXPECT_STREQ(strs[0], "apple");
    EXPECT_STREQ(strs[3], "pear");
    EXPECT_EQ(str_bsearch_inline(reinterpret_cast<void *const *>(const_cast<char **>(strs)), 4, "fig"), 2);
    EXPECT_EQ(str_bsearch_inline(reinterpret_cast<void *const *>(const_cast<char **>(strs)), 4, "kiwi"), -1);

    struct rec {
        const char *key;
        int value;
    } r1{"b", 2}, r2{"a", 1}, r3{"c", 3};
    void *recs[] = {&r1, &r2, &r3};
    sort_str_records(recs, 3);
    EXPECT_EQ(static_cast<rec *>(recs[0])->value, 1);
    EXPECT_EQ(static_cast<rec *>(recs[2])->value, 3);
    EXPECT_EQ(str_bsearch_ptr(recs, 3, "b"), 1);
    EXPECT_EQ(str_bsearch_ptr(recs, 3, "z"), -1);
    EXPECT_EQ(str_bsearch_ptr(recs, 0, "a"), -1);

    uint64_t v[] = {UINT64_MAX, 3, 0, 1ull << 40};
    sort_u64(v, 4);
    EXPECT_EQ(v[0], 0u);
    EXPECT_EQ(v[1], 3u);
    EXPECT_EQ(v[3], UINT64_MAX);
}
