#include "libpal/string/str_tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

// Exact heap copy of a text (its size, or a larger buffer), so ASan sees any
// access past it.
struct heap_text {
    std::unique_ptr<char[]> mem;
    explicit heap_text(const std::string &s, size_t size = 0) : mem(new char[std::max(size, s.size() + 1)])
    {
        memcpy(mem.get(), s.c_str(), s.size() + 1);
    }
    char *get() { return mem.get(); }
};

const std::string k_long(300, 'L');

}  // namespace

TEST(Quoting, QuoteIfTable)
{
    using quote_fn = char *(*)(const char *, char *, size_t);
    struct {
        quote_fn    fn;
        const char *text;
        const char *expected;
    } const cases[] = {
        {str_quote_dq, "a b", "\"a b\""},
        {str_quote_dq, "ab", "ab"},
        {str_quote_dq, "\"a b", "\"a b"},
        {str_quote_dq, "", "\"\""},
        {str_quote_dq, nullptr, "\"\""},
        {str_quote_dq, "a;b", "\"a;b\""},
        {str_quote_dq, "a\tb", "\"a\tb\""},
        {str_quote_dq, "a$b", "a$b"},
        {str_quote_sq, "a b", "'a b'"},
        {str_quote_sq, "'a b", "'a b"},
        {str_quote_sq, "", "''"},
        {str_quote_sq_env, "a$b", "'a$b'"},
        {str_quote_sq_env, "50%", "'50%'"},
        {str_quote_dq_env, "$HOME", "\"$HOME\""},
        {str_quote_dq_cfg, "a#b", "\"a#b\""},
        {str_quote_dq_cfg, "a\tb", "a\tb"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        char out[32];
        EXPECT_STREQ(c.fn(c.text, out, sizeof(out)), c.expected);
    }
}

TEST(Quoting, QuoteInPlaceAndOverflow)
{
    char buf[8] = "a b";
    EXPECT_STREQ(str_quote_dq(buf, buf, sizeof(buf)), "\"a b\"");
    char small[5];
    EXPECT_STREQ(str_quote_dq("a b", small, sizeof(small)), "");
    EXPECT_STREQ(str_quote_dq(k_long.c_str(), small, sizeof(small)), "");
}

TEST(Quoting, ShellEscape)
{
    struct {
        const char *text;
        size_t      size;
        const char *expected;  // nullptr: refused
    } const cases[] = {
        {"it's", 32, "'it'\\''s'"},
        {"a''b", 32, "'a'\"''\"'b'"},
        {"plain", 32, "'plain'"},
        {"'", 32, "\\'"},
        {"", 32, ""},
        {"$(rm -rf /)", 32, "'$(rm -rf /)'"},
        {"abc", 6, "'abc'"},
        {"abc", 5, nullptr},
        {"it's", 9, nullptr},
        {"it's", 10, "'it'\\''s'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto  out = std::make_unique<char[]>(c.size);
        char *r   = str_shell_escape(c.text, out.get(), c.size);
        if (c.expected == nullptr) {
            EXPECT_EQ(r, nullptr);
        } else {
            EXPECT_STREQ(r, c.expected);
        }
    }
}

TEST(Quoting, Unquote)
{
    struct {
        const char *text;
        const char *expected;
    } const cases[] = {
        {"  \"a b\"  ", "a b"},
        {"'x'", "x"},
        {"\"'x'\"", "x"},
        {" \" 'y' \" ", "y"},
        {"\"unbalanced", "\"unbalanced"},
        {"\"\"", ""},
        {"plain", "plain"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text t(c.text);
        EXPECT_STREQ(str_unquote(t.get()), c.expected);
    }
}

TEST(Replacing, ReplaceTable)
{
    struct {
        const char *text, *old_text, *new_text;
        size_t      max;
        const char *expected;
    } const cases[] = {
        {"aaa", "a", "bb", 0, "bbbbbb"},
        {"aaa", "a", "bb", 2, "bbbba"},
        {"aaaa", "aa", "x", 0, "xx"},
        {"aaa", "aa", "x", 0, "xa"},
        {"hello world", "o", "", 0, "hell wrld"},
        {"abc", "", "x", 0, "abc"},
        {"abc", "z", "x", 0, "abc"},
        {"", "a", "b", 0, ""},
        {"a.b.c", ".", "::", 1, "a::b.c"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + "/" + c.old_text);
        char *d = str_replace_imp(c.text, c.old_text, c.new_text, c.max, nullptr, 0);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d, c.expected);
        os_free(d);
        if (c.max == 0) {
            char *d2 = str_replace_dup(c.text, c.old_text, c.new_text);
            EXPECT_STREQ(d2, c.expected);
            os_free(d2);
            size_t need = strlen(c.expected) + 1;
            auto   out  = std::make_unique<char[]>(need);
            EXPECT_STREQ(str_replace_buf(c.text, c.old_text, c.new_text, out.get(), need), c.expected);
            EXPECT_EQ(str_replace_buf(c.text, c.old_text, c.new_text, out.get(), need - 1), nullptr);
        }
    }
}

TEST(Replacing, ReplaceIntoItsOwnBuffer)
{
    char buf[32] = "a-b-c";
    EXPECT_STREQ(str_replace_buf(buf, "-", "--", buf, sizeof(buf)), "a--b--c");
    EXPECT_EQ(str_replace_dup(nullptr, "a", "b"), nullptr);
}

TEST(Replacing, Characters)
{
    struct {
        const char *text;
        size_t      n;
        const char *expected;
    } const cases[] = {
        {"a/b/c/d", 0, "a\\b\\c\\d"},
        {"a/b/c/d", 2, "a\\b\\c/d"},
        {"abc", 1, "abc"},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        heap_text t(c.text);
        EXPECT_STREQ(str_replace_chr_n(t.get(), c.n, '/', '\\'), c.expected);
    }
    char s[] = "x.y.z";
    EXPECT_STREQ(str_replace_chr(s, '.', '_'), "x_y_z");
    uint32_t w[] = {'a', 0x4e2d, 'a', 0};
    wstr_replace_chr(w, 'a', 0x1f600);
    EXPECT_EQ(w[0], 0x1f600u);
    EXPECT_EQ(w[1], 0x4e2du);
    EXPECT_EQ(w[2], 0x1f600u);
    char l[] = "abc";
    EXPECT_STREQ(str_set_last_chr(l, '\n'), "ab\n");
    char e[] = "";
    EXPECT_STREQ(str_set_last_chr(e, 'x'), "");
}

TEST(Tests, PrefixesAndSuffixes)
{
    using test_fn = bool (*)(const char *, const char *);
    struct {
        test_fn     fn;
        const char *text, *piece;
        bool        expected;
    } const cases[] = {
        {str_startswith, "abc", "ab", true},   {str_startswith, "abc", "", true},
        {str_startswith, "abc", "abcd", false}, {str_startswith, "abc", "AB", false},
        {str_endswith, "a.log", ".log", true}, {str_endswith, "a.log", "", true},
        {str_endswith, "log", ".log", false},  {str_endswith, "a.LOG", ".log", false},
        {str_istartswith, "Hello World", "hello w", true},
        {str_istartswith, "Hello", "hello w", false},
        {str_istartswith, "Hello World", "hello_w", false},
        {str_iendswith, "A.LOG", ".log", true}, {str_iendswith, "x", "", true},
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
        int         mask;
        bool        expected;
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
        bool        icase;
        int         offset;  // -1: not found
    } const cases[] = {
        {"x id=1", "id", false, 2},
        {"idle", "id", false, -1},
        {"void", "id", false, -1},
        {"void id", "id", false, 5},
        {"id", "id", false, 0},
        {"ID-x", "id", true, 0},
        {"ID-x", "id", false, -1},
        {"a_id", "id", false, 2},
        {"x9id id9 (id)", "id", false, 10},
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

    char        out[4];
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
        size_t      size;
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
    char        buf[4];
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
        int         value;
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

TEST(Editing, Prepend)
{
    char buf[8] = "world";
    EXPECT_EQ(str_prepend(buf, sizeof(buf), "a "), 0);
    EXPECT_STREQ(buf, "a world");
    EXPECT_EQ(str_prepend(buf, sizeof(buf), "x"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(Editing, AddCharacterUnlessPresent)
{
    struct {
        const char *text;
        size_t      size;
        int         rc;
        const char *expected;
    } const cases[] = {
        {"abc", 8, 0, "abc\n"},
        {"abc\n", 8, 0, "abc\n"},
        {"", 8, 0, "\n"},
        {"abc", 4, 0, "ab\n"},
        {"", 2, 0, "\n"},
        {"", 1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto buf = std::make_unique<char[]>(c.size);
        memcpy(buf.get(), c.text, strlen(c.text) + 1);
        EXPECT_EQ(str_add_chr_not_exist_tail(buf.get(), c.size, '\n'), c.rc);
        EXPECT_STREQ(buf.get(), c.expected);
    }
    log_capture log;
    char        one = 'x';  // one byte, no room for a NUL
    EXPECT_EQ(str_add_chr_not_exist_tail(&one, 1, '\n'), -1);
    EXPECT_TRUE(log.has("expr[len+1 <= slen || slen >= 2]: assert failed\n"));
    EXPECT_EQ(one, 'x');
    char raw[4] = {'a', 'b', 'c', 'd'};  // unterminated: ended inside the buffer
    EXPECT_EQ(str_add_chr_not_exist_tail(raw, sizeof(raw), '\n'), 0);
    EXPECT_STREQ(raw, "ab\n");
}

TEST(Editing, CaseAndZero)
{
    char s[] = "MiXeD 1\xc9";
    EXPECT_STREQ(str_tolower(s), "mixed 1\xc9");
    EXPECT_STREQ(str_toupper(s), "MIXED 1\xc9");
    char pw[] = "secret";
    str_zero(pw);
    for (char c : pw) {
        EXPECT_EQ(c, '\0');
    }
    EXPECT_EQ(str_zero(nullptr), nullptr);
}

TEST(Editing, TrimFamily)
{
    using trim_fn = char *(*)(char *);
    struct {
        trim_fn     fn;
        const char *text;
        const char *expected;
    } const cases[] = {
        {str_trim, "  a b \t\r\n", "a b"},
        {str_trim, "\t\n", ""},
        {str_trim, "", ""},
        {str_trim, "x", "x"},
        {str_trim, "\xa0 a \xa0", "\xa0 a \xa0"},
        {str_trim_quote_chars, "'\"a'\"'", "a"},
        {str_trim_quote_chars, "''", ""},
        {str_rtrim_blank, "a \t\v\f", "a"},
        {str_rtrim_blank, "a \r\n", "a \r\n"},
        {str_unquote, "  'q'  ", "q"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text t(c.text);
        EXPECT_STREQ(c.fn(t.get()), c.expected);
    }
    char a[] = "--a-b--";
    EXPECT_STREQ(str_trim_chr(a, '-'), "a-b");
    char b[] = "a.,;";
    EXPECT_STREQ(str_rtrim_set(b, ";,"), "a.");
    char c[] = "a//";
    EXPECT_STREQ(str_rtrim_chr(c, '/'), "a");
    char d[] = "xxaxx";
    EXPECT_STREQ(str_trim_by(d, nullptr, 'x'), "a");
}

TEST(Editing, Deleting)
{
    char a[] = "a\rb\r\n";
    EXPECT_STREQ(str_del_chr(a, '\r'), "ab\n");
    char b[] = "a-b_c-";
    EXPECT_STREQ(str_del_chrs(b, "-_"), "abc");
    char b2[] = "a b\tc";
    EXPECT_STREQ(str_del_chr_set(b2, " \t"), "abc");
    char c[] = "a/b/c";
    EXPECT_STREQ(str_rdelchar(c, '/'), "a/bc");
    char c2[] = "abc";
    EXPECT_STREQ(str_rdelchar(c2, '/'), "abc");
    log_capture log;
    EXPECT_EQ(str_rdelchar(nullptr, '/'), nullptr);
    EXPECT_TRUE(log.has("expr[str!=NULL]: assert failed\n"));
    char d[] = "a//b///c/";
    EXPECT_STREQ(str_squeeze_chr(d, '/'), "a/b/c/");
}

TEST(Editing, Stripping)
{
    struct {
        const char *text;
        const char *ends;
        const char *pair;  // str_strip_pair with '[' ']'
    } const cases[] = {
        {"[ab]", "ab", "ab"},
        {"[]", "", ""},
        {"ab", "", "ab"},
        {"a", "", "a"},
        {"", "", ""},
        {"[abc", "ab", "[abc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text e(c.text), p(c.text);
        EXPECT_STREQ(str_strip_ends(e.get()), c.ends);
        EXPECT_STREQ(str_strip_pair(p.get(), '[', ']'), c.pair);
    }
    char s[] = "file.tar.gz";
    EXPECT_STREQ(str_cut_suffix(s, ".gz"), "file.tar");
    EXPECT_STREQ(str_cut_suffix(s, ".gz"), "file.tar");
}

TEST(Editing, Ranges)
{
    struct {
        const char *text;
        size_t      offset, n;
        const char *expected;
    } const cases[] = {
        {"abcdef", 1, 2, "adef"},
        {"abcdef", 4, 10, "abcd"},
        {"abcdef", 6, 1, "abcdef"},
        {"abcdef", 99, 1, "abcdef"},
        {"abcdef", 0, 0, "abcdef"},
        {"abcdef", 0, SIZE_MAX, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.offset);
        heap_text t(c.text);
        EXPECT_STREQ(str_del_range(t.get(), c.offset, c.n), c.expected);
        char out[8];
        EXPECT_STREQ(str_del_range_copy(out, c.text, c.offset, c.n), c.expected);
    }
}

TEST(Editing, DeleteSubstringAndReverse)
{
    char a[] = "foobarbar";
    EXPECT_EQ(str_del_substr(a, "bar"), 1);
    EXPECT_STREQ(a, "foobar");
    EXPECT_EQ(str_del_substr(a, "baz"), 0);
    EXPECT_EQ(str_del_substr(a, ""), 1);
    EXPECT_STREQ(a, "foobar");

    struct {
        const char *text, *expected;
    } const rev[] = {{"abc", "cba"}, {"ab", "ba"}, {"a", "a"}, {"", ""}};
    for (const auto &c : rev) {
        heap_text t(c.text);
        EXPECT_STREQ(str_reverse(t.get()), c.expected);
    }
}

TEST(Editing, Resplit)
{
    struct {
        const char *text, *seps;
        int         rc;
        const char *expected;
    } const cases[] = {
        {"a,b", ",", 0, "a,b"},
        {"a,,b", ",", 0, "a,,b"},
        {"a;b", ";,", -1, ""},
        {"a,", ",", 0, "a,"},
        {"", ",", 0, ""},
        {"a b", ",", 0, "a b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text t(c.text);
        EXPECT_EQ(str_resplit(t.get(), c.seps), c.rc);
        EXPECT_STREQ(t.get(), c.expected);
    }
}

namespace {

struct tail_fixture {
    char     buf[16];
    str_tail tail;
    tail_fixture() { str_tail_init(&tail, buf, sizeof(buf)); }
};

}  // namespace

TEST(RecentLines, KeepsTheNewestWholeLines)
{
    struct {
        std::vector<std::string> adds;
        const char              *expected;
    } const cases[] = {
        {{"one\n", "two\n"}, "one\ntwo\n"},
        // Exactly fills 15 characters.
        {{"aaaa\n", "bbbb\n", "cccc\n"}, "aaaa\nbbbb\ncccc\n"},
        // Dropping one line is enough: the newer ones stay.
        {{"aaaa\n", "bbbb\n", "cccc\n", "dd\n"}, "bbbb\ncccc\ndd\n"},
        {{"a\n", "b\n", "c\n", "dddddddddd\n"}, "b\nc\ndddddddddd\n"},
        // Longer than the whole buffer: not kept, nothing lost.
        {{"keep\n", std::string(16, 'x')}, "keep\n"},
        {{"keep\n", k_long}, "keep\n"},
        // Exactly the buffer's capacity, after dropping everything.
        {{"keep\n", std::string(14, 'y') + "\n"}, "yyyyyyyyyyyyyy\n"},
        // No whole line to drop: the new text is not kept.
        {{"no line end..."}, "no line end..."},
        {{"no line end...", "x\n"}, "no line end..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        tail_fixture t;
        for (const auto &a : c.adds) {
            str_tail_add(&t.tail, a.c_str());
        }
        EXPECT_STREQ(t.buf, c.expected);
        EXPECT_EQ(t.tail.len, strlen(c.expected));
    }
}
