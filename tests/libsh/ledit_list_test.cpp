#include "libsh/ledit_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "libsh/ledit.h"

namespace {

std::unique_ptr<ledit_list> new_list() { return std::make_unique<ledit_list>(); }

}  // namespace

TEST(LeditList, AddCutsEachTextToItsField)
{
    struct {
        size_t word_len;
        size_t help_len;
        size_t kept_word;
        size_t kept_help;
    } const cases[] = {
        {1, 1, 1, 1},
        {63, 255, 63, 255},
        {64, 256, 63, 255},
        {500, 900, 63, 255},
    };
    for (const auto &c : cases) {
        auto list = new_list();
        std::string word(c.word_len, 'w');
        std::string help(c.help_len, 'h');
        ledit_list_add(list.get(), word.c_str(), 0x84, help.c_str(), 8);
        ASSERT_EQ(list->count, 1u) << c.word_len;
        EXPECT_EQ(std::string(list->word[0]), word.substr(0, c.kept_word));
        EXPECT_EQ(std::string(list->help[0]), help.substr(0, c.kept_help));
        EXPECT_EQ(list->word_color[0], 0x84u);
        EXPECT_EQ(list->help_color[0], 8u);
    }
}

TEST(LeditList, MissingHelpIsEmptyWithColourZeroAndPlainWordsHaveNoColour)
{
    auto list = new_list();
    ledit_list_add(list.get(), "a", 0x86, nullptr, 7);
    ledit_list_add_word(list.get(), "b", "help of b");
    ledit_list_add_word(list.get(), "c", nullptr);
    ASSERT_EQ(list->count, 3u);
    EXPECT_STREQ(list->help[0], "");
    EXPECT_EQ(list->word_color[0], 0x86u);
    EXPECT_EQ(list->help_color[0], 0u);
    EXPECT_STREQ(list->help[1], "help of b");
    EXPECT_EQ(list->word_color[1], 0u);
    EXPECT_EQ(list->help_color[1], 0u);
    EXPECT_STREQ(list->word[2], "c");
}

TEST(LeditList, HoldsAtMost1024WordsAndIgnoresMissingArguments)
{
    auto list = new_list();
    ledit_list_add(nullptr, "x", 0, nullptr, 0);
    ledit_list_add(list.get(), nullptr, 0, "help", 0);
    EXPECT_EQ(list->count, 0u);
    for (int i = 0; i < 1030; i++)
        ledit_list_add_word(list.get(), std::to_string(i).c_str(), nullptr);
    EXPECT_EQ(list->count, LEDIT_LIST_MAX);
    EXPECT_STREQ(list->word[LEDIT_LIST_MAX - 1], "1023");
}

TEST(LeditList, HintIsCutTo127BytesWithItsColour)
{
    struct {
        const char *text;
        uint32_t color;
        std::string hint;
    } const cases[] = {
        {"a file name", 0x87, "a file name"},
        {nullptr, 7, ""},
    };
    for (const auto &c : cases) {
        auto list = new_list();
        ledit_hint_set(list.get(), "old");
        ledit_hint_set_color(list.get(), c.text, c.color);
        EXPECT_EQ(std::string(list->hint), c.hint);
        EXPECT_EQ(list->hint_color, c.color);
    }
    auto list = new_list();
    std::string long_hint(200, 'h');
    ledit_hint_set_color(list.get(), long_hint.c_str(), 0x84);
    ledit_hint_set(list.get(), long_hint.c_str());
    EXPECT_EQ(std::string(list->hint), long_hint.substr(0, 127));
    EXPECT_EQ(list->hint_color, 0u);
    EXPECT_EQ(list->count, 0u);
    ledit_hint_set(nullptr, "ignored");
}

TEST(LeditSettings, DelimitersDefaultToBlankAndPunctuationAndAreCutTo63)
{
    char saved[LEDIT_DELIM_SIZE];
    ledit_get_delimiters(saved);
    EXPECT_STREQ(saved, " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~");

    std::string many(100, '.');
    ledit_set_delimiters(many.c_str());
    char now[LEDIT_DELIM_SIZE];
    ledit_get_delimiters(now);
    EXPECT_EQ(std::string(now), many.substr(0, 63));
    ledit_set_delimiters(nullptr);
    ledit_get_delimiters(now);
    EXPECT_EQ(std::string(now), many.substr(0, 63));
    ledit_set_delimiters(" ");
    ledit_get_delimiters(now);
    EXPECT_STREQ(now, " ");
    ledit_set_delimiters(saved);
}
