#include "libpal/string/str_edit.h"
#include "libpal/string/str_quote.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "heap_text.h"
#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

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
        size_t size;
        int rc;
        const char *expected;
    } const cases[] = {
        {"abc", 8, 0, "abc\n"}, {"abc\n", 8, 0, "abc\n"}, {"", 8, 0, "\n"},
        {"abc", 4, 0, "ab\n"},  {"", 2, 0, "\n"},         {"", 1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto buf = std::make_unique<char[]>(c.size);
        memcpy(buf.get(), c.text, strlen(c.text) + 1);
        EXPECT_EQ(str_add_chr_not_exist_tail(buf.get(), c.size, '\n'), c.rc);
        EXPECT_STREQ(buf.get(), c.expected);
    }
    log_capture log;
    char one = 'x';  // one byte, no room for a NUL
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
        trim_fn fn;
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
        {"[ab]", "ab", "ab"}, {"[]", "", ""}, {"ab", "", "ab"}, {"a", "", "a"}, {"", "", ""}, {"[abc", "ab", "[abc"},
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
        size_t offset, n;
        const char *expected;
    } const cases[] = {
        {"abcdef", 1, 2, "adef"},    {"abcdef", 4, 10, "abcd"},  {"abcdef", 6, 1, "abcdef"},
        {"abcdef", 99, 1, "abcdef"}, {"abcdef", 0, 0, "abcdef"}, {"abcdef", 0, SIZE_MAX, ""},
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
        int rc;
        const char *expected;
    } const cases[] = {
        {"a,b", ",", 0, "a,b"}, {"a,,b", ",", 0, "a,,b"}, {"a;b", ";,", -1, ""},
        {"a,", ",", 0, "a,"},   {"", ",", 0, ""},         {"a b", ",", 0, "a b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text t(c.text);
        EXPECT_EQ(str_resplit(t.get(), c.seps), c.rc);
        EXPECT_STREQ(t.get(), c.expected);
    }
}
