#include "libpal/string/str_quote.h"

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

TEST(Quoting, QuotesOnlyTextsHoldingTheirSeparators)
{
    using quote_fn = char *(*)(const char *, char *, size_t);
    struct {
        quote_fn fn;
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
        size_t size;
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
        auto out = std::make_unique<char[]>(c.size);
        char *r  = str_shell_escape(c.text, out.get(), c.size);
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
        {"  \"a b\"  ", "a b"},           {"'x'", "x"}, {"\"'x'\"", "x"},   {" \" 'y' \" ", "y"},
        {"\"unbalanced", "\"unbalanced"}, {"\"\"", ""}, {"plain", "plain"}, {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        heap_text t(c.text);
        EXPECT_STREQ(str_unquote(t.get()), c.expected);
    }
}

TEST(Replacing, ReplacesLeftToRightWithoutOverlap)
{
    struct {
        const char *text, *old_text, *new_text;
        size_t max;
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
            auto out    = std::make_unique<char[]>(need);
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
        size_t n;
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
