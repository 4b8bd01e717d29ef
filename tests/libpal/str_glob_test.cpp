// Wildcard patterns and "|" lists.
#include <gtest/gtest.h>

#include <string>

#include "libpal/string/str_glob.h"
#include "str_log_capture.h"

namespace {

struct glob_case {
    const char *pattern;
    const char *text;
    bool fold;
    bool expected;
};

TEST(GlobMatch, StarsQuestionMarksAndSets)
{
    const glob_case cases[] = {
        // "*" matches any run, also an empty one and one holding the suffix.
        {"*.log", "a.log", false, true},
        {"*.log", "a.log.log", false, true},
        {"*.log", ".log", false, true},
        {"*.log", "a.lo", false, false},
        {"*.log", "a.log.txt", false, false},
        {"*", "", false, true},
        {"a*", "a", false, true},
        {"*ab", "aab", false, true},
        {"a*b*c", "aXXbYYc", false, true},
        {"a*c", "abcbd", false, false},
        {"*?", "", false, false},
        {"", "", false, true},
        {"", "a", false, false},
        {"abc", "ab", false, false},
        {"ab", "abc", false, false},
        // "?" needs exactly one character.
        {"?", "a", false, true},
        {"?", "", false, false},
        {"??", "a", false, false},
        // Sets, ranges and negation.
        {"[!a-c]x", "dx", false, true},
        {"[!a-c]x", "bx", false, false},
        {"[!a-c]x", "x", false, false},
        {"[a-c]", "b", false, true},
        {"[a-c]", "d", false, false},
        {"[abc]", "c", false, true},
        {"[]a]", "]", false, true},
        {"[]a]", "a", false, true},
        {"[]a]", "b", false, false},
        {"[!]]", "]", false, false},
        {"[!]]", "a", false, true},
        {"[a-]", "-", false, true},
        {"[a-]", "b", false, false},
        {"[-a]", "-", false, true},
        {"[\x80-\xff]", "\xe9", false, true},
        {"[\x01-\x7f]", "\xe9", false, false},
        // A "[" without its "]" is an ordinary character.
        {"ab[", "ab[", false, true},
        {"ab[", "abc", false, false},
        {"ab[", "ab", false, false},
        {"[a-", "[a-", false, true},
        {"x[ab", "x[ab", false, true},
        {"x[ab", "xa", false, false},
        // Escapes.
        {"a\\*", "a*", false, true},
        {"a\\*", "ab", false, false},
        {"a\\*", "a", false, false},
        {"\\[a]", "[a]", false, true},
        {"\\?", "x", false, false},
        // A trailing backslash stands for the pattern's end.
        {"a\\", "a", false, true},
        {"a\\", "a\\", false, false},
        {"*\\", "xyz", false, true},
        // Case folding.
        {"*.LOG", "a.log", true, true},
        {"*.LOG", "a.log", false, false},
        {"[A-C]x", "bX", true, true},
        {"[A-C]x", "bx", false, false},
        {"[a-c]", "B", true, true},
        {"\\A", "a", true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("pattern=[") + c.pattern + "] text=[" + c.text + "] fold=" +
                     (c.fold ? "1" : "0"));
        EXPECT_EQ(pl_glob_match(c.pattern, c.text, c.fold, false), c.expected);
    }
}

TEST(GlobMatch, MissingArgumentsDoNotMatch)
{
    EXPECT_FALSE(pl_glob_match(nullptr, "a", false, false));
    EXPECT_FALSE(pl_glob_match("*", nullptr, false, false));
}

TEST(GlobMatch, LongTextWithManyStarsEnds)
{
    const std::string text(5000, 'a');
    EXPECT_FALSE(pl_glob_match("*a*a*a*a*b", text.c_str(), false, false));
    EXPECT_TRUE(pl_glob_match("*a*a*a*a", text.c_str(), false, false));
}

TEST(GlobMatch, DebugLogsTheReasonOfAFailure)
{
    struct reason_case {
        const char *pattern;
        const char *text;
        const char *reason;
    };
    const reason_case cases[] = {
        {"?", "", "Wildcard: anything but nul"},
        {"[ab]", "", "Character class: No possible match"},
        {"a", "b", "d=[a] c=[b] back_pat=0 return false"},
        {"ab", "ax", "d=[b] c=[x] back_pat=0 return false"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        log_capture cap;
        EXPECT_FALSE(pl_glob_match(c.pattern, c.text, false, true));
        EXPECT_TRUE(cap.has(c.reason));
        ASSERT_FALSE(cap.all().empty());
        EXPECT_EQ(cap.all().back().level, 7u);
    }
    log_capture quiet;
    EXPECT_FALSE(pl_glob_match("a", "b", false, false));
    EXPECT_TRUE(quiet.all().empty());
}

TEST(GlobMatchList, AnyAlternativeMatches)
{
    struct list_case {
        const char *text;
        const char *patterns;
        bool icase;
        bool expected;
    };
    const list_case cases[] = {
        {"zorv.ini", "x.ini|zorv.*", false, true},
        {"ZORV.INI", "zorv.*", false, false},
        {"ZORV.INI", "zorv.*", true, true},
        {"b", "a|b|c", false, true},
        {"d", "a|b|c", false, false},
        {"a.cfg", "*.ini|*.qdi|*.inf|*.cfg|*.dat", false, true},
        // An empty entry matches only the empty text.
        {"", "a|", false, true},
        {"x", "a|", false, false},
        {"x", "|x", false, true},
        {"/dev/fd/3", "/dev/stdin|/dev/fd/*", false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.patterns);
        EXPECT_EQ(c.icase ? pl_glob_match_list_i(c.text, c.patterns) : pl_glob_match_list(c.text, c.patterns),
                  c.expected);
        log_capture cap;
        EXPECT_EQ(c.icase ? pl_glob_match_list_i_dbg(c.text, c.patterns)
                          : pl_glob_match_list_dbg(c.text, c.patterns),
                  c.expected);
    }
    EXPECT_FALSE(pl_glob_match_list(nullptr, "*"));
    EXPECT_FALSE(pl_glob_match_list("a", nullptr));
}

TEST(GlobMatchList, DebugFormLogsEachFailedPattern)
{
    log_capture cap;
    EXPECT_FALSE(pl_glob_match_list_dbg("c", "a|b"));
    EXPECT_TRUE(cap.has("d=[a] c=[c]"));
    EXPECT_TRUE(cap.has("d=[b] c=[c]"));
}

}  // namespace
