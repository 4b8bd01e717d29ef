#include "libpal/regex/pl_regex.h"

#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "str_log_capture.h"

namespace {

using text_ptr = pl_owned<char, os_free>;

}  // namespace

TEST(Regex, MatchWithAndWithoutCase)
{
    struct {
        const char *text;
        const char *pattern;
        int         exact;
        int         icase;
    } const cases[] = {
        {"abc", "^a.c$", 1, 1},
        {"abc", "^A", 0, 1},
        {"abc", "b+", 1, 1},
        {"abc", "^(x|y)", 0, 0},
        {"", "^$", 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.pattern);
        EXPECT_EQ(regex_match(c.text, c.pattern), c.exact);
        EXPECT_EQ(regex_match_icase(c.text, c.pattern), c.icase);
    }
    log_capture cap;
    EXPECT_EQ(regmatch_imp("(", "abc", false), 0);
    EXPECT_TRUE(cap.has("regcomp"));
}

TEST(Regex, SpanOfTheFirstMatch)
{
    struct {
        const char *text;
        const char *pattern;
        reg_span    expected;
    } const cases[] = {
        {"xxabcxx", "abc", {0, 2, 5}},
        {"xxabcxx", "zz", {1, -1, -1}},
        {"aXbXc", "X.", {0, 1, 3}},
        {"abc", "", {0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.pattern);
        const reg_span s = cns_reg(c.text, c.pattern);
        EXPECT_EQ(s.status, c.expected.status);
        EXPECT_EQ(s.start, c.expected.start);
        EXPECT_EQ(s.end, c.expected.end);
    }
    log_capture cap;
    const reg_span bad = cns_reg("abc", "a(");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.start, -1);
    EXPECT_TRUE(cap.has("regex 'a('"));
}

TEST(Regex, ReplaceAll)
{
    struct {
        const char *text;
        const char *pattern;
        const char *replacement;
        const char *expected;
    } const cases[] = {
        {"a1b22c", "[0-9]+", "#", "a#b#c"},
        {"aaa", "^a", "b", "baa"},        // "^" holds only at the start of the text
        {"abc", "x", "y", "abc"},
        {"abc", "b", "b", "abc"},         // pattern equal to the replacement
        {"aaa", "a", "aa", "aaaaaa"},     // a replacement is never searched again
        {"aab", "a*", "X", "Xb"},         // the empty match after it ends the search
        {"abc", "x*", "Y", "abc"},
        {"abcabc", "c$", "!", "abcab!"},
        {"", "a", "b", ""},
        {"one two", "[a-z]+", "", " "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.pattern);
        text_ptr out(regex_replace_all(c.text, c.pattern, c.replacement));
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out.get(), c.expected);
    }
}

TEST(Regex, ReplaceRefusesBadPatternsAndOversizedResults)
{
    log_capture cap;
    // The leak checker sees whatever a failed compile would leave behind.
    EXPECT_EQ(regex_replace_all("abc", "a(", "x"), nullptr);
    EXPECT_TRUE(cap.has("regex 'a('"));
    EXPECT_EQ(regex_replace_all("abc", "[", "x"), nullptr);

    // 4096 matches of a 512 KiB replacement would need 2 GiB: refused before
    // anything that large is built.
    const std::string text(4096, 'a');
    const std::string replacement(512 * 1024, 'r');
    cap.clear();
    EXPECT_EQ(regex_replace_all(text.c_str(), "a", replacement.c_str()), nullptr);
    EXPECT_TRUE(cap.has("replace result passes"));
    EXPECT_EQ(text, std::string(4096, 'a'));

    // A result within the bound is built.
    text_ptr ok(regex_replace_all("aa", "a", replacement.c_str()));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(std::string(ok.get()).size(), 2 * replacement.size());
}
