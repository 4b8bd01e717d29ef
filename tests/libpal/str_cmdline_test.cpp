#include "libpal/string/str_cmdline.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Measures, allocates exactly what was measured and splits: the way every
// caller uses the splitter. Exact heap buffers let ASan catch any overrun.
std::vector<std::string> split(const std::string &line)
{
    int    argc   = -1;
    size_t nbytes = 0;
    EXPECT_EQ(str_parse_cmdline(line.c_str(), nullptr, nullptr, &argc, &nbytes), 0);
    EXPECT_GE(argc, 2);
    auto   argv   = std::make_unique<char *[]>(static_cast<size_t>(argc));
    auto   args   = std::make_unique<char[]>(nbytes);
    int    argc2  = argc;
    size_t nbytes2 = nbytes;
    EXPECT_EQ(str_parse_cmdline(line.c_str(), argv.get(), args.get(), &argc2, &nbytes2), 0);
    EXPECT_EQ(argc2, argc);
    EXPECT_EQ(nbytes2, nbytes);
    std::vector<std::string> out;
    size_t                   written = 0;
    for (int i = 0; i + 1 < argc; i++) {
        out.emplace_back(argv[i]);
        written += out.back().size() + 1;
    }
    EXPECT_EQ(argv[argc - 1], nullptr);
    EXPECT_EQ(written, nbytes);
    return out;
}

using args = std::vector<std::string>;

}  // namespace

TEST(CommandLine, SplitsByTheQuotingRules)
{
    const std::string long_word(300, 'w');
    struct {
        std::string line;
        args        expected;
    } const cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"prog  \t a\t\tb  ", {"prog", "a", "b"}},
        {"", {""}},
        {"   ", {""}},
        {" a b", {"", "a", "b"}},
        // The program name: quotes toggle and vanish, backslashes are plain.
        {"\"C:\\Program Files\\x\" y", {"C:\\Program Files\\x", "y"}},
        {"pr\"o g\"x y", {"pro gx", "y"}},
        {"a\\\"b c", {"a\\b c"}},
        // Later arguments.
        {"p \"a b\"", {"p", "a b"}},
        {"p c\\\"d", {"p", "c\"d"}},
        {"p \"e\"\"f\"", {"p", "e\"f"}},
        {"p a\\\\b", {"p", "a\\\\b"}},
        {"p a\\\\\\\\\"b c\"", {"p", "a\\\\b c"}},
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},
        {"p \\\\\" x\"", {"p", "\\ x"}},
        {"p \"\"", {"p", ""}},
        {"p \"\" q", {"p", "", "q"}},
        {"p a\"b c\"d e", {"p", "ab cd", "e"}},
        {"p \"a\\\"b\"", {"p", "a\"b"}},
        {"p \"\"\"\"", {"p", "\""}},
        {"p x\\", {"p", "x\\"}},
        // An unterminated quote runs to the end of the line.
        {"p \"a b", {"p", "a b"}},
        {"\"p q", {"p q"}},
        {"p \"a\"\"", {"p", "a\""}},
        {"p " + long_word + " \"" + long_word, {"p", long_word, long_word}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(split(c.line), c.expected);
    }
}

TEST(CommandLine, MeasureCountsTheNullSlot)
{
    int    argc   = 0;
    size_t nbytes = 0;
    EXPECT_EQ(str_parse_cmdline("   ", nullptr, nullptr, &argc, &nbytes), 0);
    EXPECT_EQ(argc, 2);
    EXPECT_EQ(nbytes, 1u);
    EXPECT_EQ(str_parse_cmdline("ab \"c d\" e", nullptr, nullptr, &argc, &nbytes), 0);
    EXPECT_EQ(argc, 4);
    EXPECT_EQ(nbytes, 3u + 4u + 2u);
}

TEST(CommandLine, BuffersSmallerThanTheLineAreRefused)
{
    char  *argv[2];
    char   args[4];
    int    argc   = 2;
    size_t nbytes = sizeof(args);
    EXPECT_EQ(str_parse_cmdline("abcd", argv, args, &argc, &nbytes), -1);
    argc   = 2;
    nbytes = sizeof(args);
    EXPECT_EQ(str_parse_cmdline("ab cd", argv, args, &argc, &nbytes), -1);
    EXPECT_EQ(str_parse_cmdline(nullptr, nullptr, nullptr, &argc, &nbytes), -1);
}

TEST(CommandLine, JoinsArgumentsQuotingBlanks)
{
    struct {
        std::vector<const char *> argv;
        size_t                    size;
        int                       rc;
        const char               *expected;
    } const cases[] = {
        {{"a", "b"}, 64, 0, "a b "},
        {{"prog", "x y", "z"}, 64, 0, "prog \"x y\" z "},
        {{}, 64, 0, ""},
        {{"a", "b"}, 5, 0, "a b "},
        {{"a", "b"}, 4, -1, ""},
        {{"abcdef", "x"}, 5, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        auto out  = std::make_unique<char[]>(c.size);
        auto argv = c.argv;
        EXPECT_EQ(str_join_args(static_cast<int>(argv.size()), const_cast<char **>(argv.data()), out.get(), c.size),
                  c.rc);
        EXPECT_STREQ(out.get(), c.expected);
    }
}

TEST(CommandLine, JoinedLineSplitsBack)
{
    const char *argv[] = {"prog", "a b", "c"};
    char        line[64];
    ASSERT_EQ(str_join_args(3, const_cast<char **>(argv), line, sizeof(line)), 0);
    EXPECT_EQ(split(line), (args{"prog", "a b", "c"}));
}

TEST(CommandLine, FirstWord)
{
    struct {
        const char *text;
        size_t      size;
        const char *first;
        const char *replaced;  // first word replaced by "NEW"
    } const cases[] = {
        {"ls -l /tmp", 16, "ls", "NEW -l /tmp"},
        {"word", 16, "word", "NEW"},
        {"", 16, "", "NEW"},
        {" lead", 16, "", "NEW lead"},
        {"abcdef gh", 4, "abc", ""},
        {"abcdef", 4, "", "NEW"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto out = std::make_unique<char[]>(c.size);
        EXPECT_STREQ(str_get_first_word(c.text, out.get(), c.size), c.first);
        EXPECT_STREQ(str_replace_first_word(c.text, "NEW", out.get(), c.size), c.replaced);
    }
}

TEST(CommandLine, ReplaceFirstWordInPlace)
{
    char buf[32] = "alias arg1 arg2";
    EXPECT_STREQ(str_replace_first_word(buf, "ls -l", buf, sizeof(buf)), "ls -l arg1 arg2");
}
