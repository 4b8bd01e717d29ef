#include "libsh/ledit_hist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "libsh/ledit_imp.h"

namespace {

class History : public ::testing::Test {
protected:
    void SetUp() override { ledit_history_clear(); }
    void TearDown() override
    {
        ledit_history_clear();
        if (!path_.empty())
            std::remove(path_.c_str());
    }

    std::string temp_path()
    {
        char name[] = "/tmp/ledit_hist_XXXXXX";
        int fd      = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = name;
        return path_;
    }

    static std::vector<std::string> retained()
    {
        std::vector<std::string> out;
        uint32_t count = ledit_history_count();
        for (uint32_t k = count > 256 ? count - 256 : 0; k < count; k++)
            out.emplace_back(ledit_history_entry(k));
        return out;
    }

    // ledit_history_print into a string.
    static std::string print(bool numbered, const char *patterns, int n = 0, int *rc = nullptr)
    {
        char *text = nullptr;
        size_t len = 0;
        FILE *out  = open_memstream(&text, &len);
        int r      = ledit_history_print(out, numbered, patterns, n, false);
        std::fclose(out);
        std::string s(text, len);
        std::free(text);
        if (rc != nullptr)
            *rc = r;
        return s;
    }

    std::string path_;
};

TEST_F(History, RecordsNeitherEmptyLinesNorHistoryNorTheNewestAgain)
{
    for (const char *line : {"show info", "show info", "", "history", "set log.level dbg", "show info", "History"})
        ledit_history_add(line);
    EXPECT_EQ(retained(), (std::vector<std::string>{"show info", "set log.level dbg", "show info", "History"}));
}

TEST_F(History, KeepsTheLast256Of300)
{
    for (int i = 1; i <= 300; i++)
        ledit_history_add(("line " + std::to_string(i)).c_str());
    EXPECT_EQ(ledit_history_count(), 300u);
    std::vector<std::string> kept = retained();
    ASSERT_EQ(kept.size(), 256u);
    EXPECT_EQ(kept.front(), "line 45");
    EXPECT_EQ(kept.back(), "line 300");
    EXPECT_STREQ(ledit_history_entry(43), "");  // no longer retained
    std::string listing = print(true, nullptr);
    EXPECT_EQ(listing.substr(0, 14), "   1  line 45\n");
    EXPECT_NE(listing.find(" 256  line 300\n"), std::string::npos);
}

TEST_F(History, LongLinesAreCutTo4095Bytes)
{
    std::string big(10000, 'x');
    ledit_history_add(big.c_str());
    EXPECT_EQ(std::string(ledit_history_entry(0)), big.substr(0, 4095));
    // Compared as stored: the same long line again is a duplicate.
    ledit_history_add(big.c_str());
    EXPECT_EQ(ledit_history_count(), 1u);
}

TEST_F(History, SaveThenLoadGivesTheSameEntries)
{
    for (const char *line : {"show info", "set log.level dbg", "echo a  b"})
        ledit_history_add(line);
    std::string path = temp_path();
    ASSERT_EQ(ledit_history_save(path.c_str()), 0);
    ledit_history_clear();
    ASSERT_EQ(ledit_history_load(path.c_str()), 0);
    EXPECT_EQ(retained(), (std::vector<std::string>{"show info", "set log.level dbg", "echo a  b"}));
}

TEST_F(History, LoadKeepsEmptyLinesAndDropsLineEnds)
{
    std::string path = temp_path();
    std::ofstream(path, std::ios::binary) << "one\r\n\ntwo\n";
    ASSERT_EQ(ledit_history_load(path.c_str()), 0);
    EXPECT_EQ(retained(), (std::vector<std::string>{"one", "", "two"}));
}

TEST_F(History, LoadOfNulBytesAndMegabyteLinesStaysInBounds)
{
    std::string path = temp_path();
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string("ab\0cd", 5) << "\n";
        f << std::string(1 << 20, 'm') << "\n";
        f << std::string(4095, 'e') << "\n";
        f << "last\n";
    }
    ASSERT_EQ(ledit_history_load(path.c_str()), 0);
    std::vector<std::string> kept = retained();
    ASSERT_FALSE(kept.empty());
    for (const std::string &e : kept)
        EXPECT_LE(e.size(), 4095u);
    EXPECT_EQ(kept.back(), "last");
    // A line that filled its piece exactly leaves no empty entry behind.
    EXPECT_EQ(kept[kept.size() - 2], std::string(4095, 'e'));
    EXPECT_EQ(ledit_history_count(), 2u + (1u << 20) / 4095u + 1u + 1u);
}

TEST_F(History, LoadAndSaveRefuseMissingFiles)
{
    // A directory that surely does not exist: inside one of our own, made
    // and removed here (a fixed path outside may exist on some machine).
    char dir[] = "/tmp/ledit_hist_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string missing = std::string(dir) + "/missing/history";
    EXPECT_EQ(ledit_history_load(nullptr), -1);
    EXPECT_EQ(ledit_history_load(missing.c_str()), -1);
    EXPECT_EQ(ledit_history_save(nullptr), -1);
    EXPECT_EQ(ledit_history_save(missing.c_str()), -1);
    EXPECT_EQ(rmdir(dir), 0) << "nothing was created inside";
}

TEST_F(History, PrintFiltersNumbersAndFindsTheNthMatch)
{
    for (const char *line : {"show info", "show dvar", "SHOW Memory", "set log.level dbg"})
        ledit_history_add(line);
    int rc = 0;
    EXPECT_EQ(print(true, "show -dvar", 0, &rc), "   1  show info\n   2  SHOW Memory\n");
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(print(false, nullptr, 0, &rc), "show info\nshow dvar\nSHOW Memory\nset log.level dbg\n");
    EXPECT_EQ(rc, 4);
    // The second match is "SHOW Memory" in slot 2: slot plus 1, nothing printed.
    EXPECT_EQ(print(true, "show -dvar", 2, &rc), "");
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(print(true, "nothing", 0, &rc), "");
    EXPECT_EQ(rc, 0);
}

struct pattern_case {
    const char *patterns;
    const char *line;
    bool match;
};

TEST(PatternMatch, IncludingExcludingAndQuotedPatterns)
{
    const pattern_case cases[] = {
        {"show", "Show Info", true},
        {"show info", "show memory info", true},
        {"show -dvar", "show dvar", false},
        {"show -dvar", "SHOW INFO", true},
        {"\"log level\"", "set log level dbg", true},
        {"\"log level\"", "set level log", false},
        {"-\"show info\"", "show info", false},
        {"-\"show info\"", "show memory", true},
        {"show -dvar \"log.level d\"", "show; set log.level dbg", true},
        {"\"unterminated quote", "an unterminated quote here", true},
        {"", "anything", true},
        {"   ", "anything", true},
        {"-", "anything", true},
    };
    for (const pattern_case &c : cases) {
        auto p = std::make_unique<ledit_patterns>();
        ledit_pattern_split(c.patterns, p.get());
        EXPECT_EQ(ledit_pattern_match(c.line, p->pat, p->count), c.match) << c.patterns << " / " << c.line;
    }
}

TEST(PatternSplit, TakesAtMost16PatternsLowerCased)
{
    std::string text;
    for (int i = 0; i < 20; i++)
        text += "P" + std::to_string(i) + " ";
    auto p = std::make_unique<ledit_patterns>();
    ledit_pattern_split(text.c_str(), p.get());
    ASSERT_EQ(p->count, 16u);
    EXPECT_STREQ(p->pat[0], "p0");
    EXPECT_STREQ(p->pat[15], "p15");
}

TEST(PatternSplit, AVeryLongTextStaysInItsBuffer)
{
    std::string text(100000, 'a');
    auto p = std::make_unique<ledit_patterns>();
    ledit_pattern_split(text.c_str(), p.get());
    ASSERT_EQ(p->count, 1u);
    EXPECT_EQ(std::string(p->pat[0]).size(), 4095u);
}

TEST(Paging, OffAndOnReportThePreviousState)
{
    EXPECT_EQ(ledit_paging(0), 1);
    EXPECT_EQ(ledit_paging(1), 0);
    EXPECT_EQ(ledit_paging(1), 1);
    // Standard output of a test is no terminal: no pause.
    EXPECT_EQ(ledit_page_check(1 << 20), 0);
}

}  // namespace
