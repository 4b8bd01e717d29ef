#include "libsh/libsh.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "libpal/string/str_array.h"
#include "libpal/value/var_mgr.h"
#include "libsh/ledit.h"
#include "libsh/sh_imp.h"
#include "sh_fixture.h"

namespace {

// One entry of a completion list as the editor would show it.
struct cand {
    cand(std::string w, uint32_t wc = 0, std::string h = "", uint32_t hc = 0)
        : word(std::move(w)), word_color(wc), help(std::move(h)), help_color(hc)
    {
    }
    std::string word;
    uint32_t word_color;
    std::string help;
    uint32_t help_color;
    bool operator==(const cand &o) const = default;
};

void PrintTo(const cand &c, std::ostream *os)
{
    *os << "{" << c.word << ", 0x" << std::hex << c.word_color << ", \"" << c.help << "\", " << c.help_color << "}";
}

constexpr uint32_t YELLOW = 0x84;
constexpr uint32_t CYAN_B = 0x87;
constexpr uint32_t MAGENTA = 0x86;

std::vector<cand> entries(const ledit_list &list)
{
    std::vector<cand> out;
    for (uint32_t i = 0; i < list.count; i++)
        out.push_back({list.word[i], list.word_color[i], list.help[i], list.help_color[i]});
    return out;
}

std::vector<cand> complete(const char *line)
{
    auto list = std::make_unique<ledit_list>();
    libsh_complete(line, list.get());
    return entries(*list);
}

// Registry names or values as the "set", "show" and "call" callbacks offer
// them from a registry of more than one entry.
std::vector<cand> plain(const std::vector<std::string> &words)
{
    std::vector<cand> out;
    for (const auto &w : words)
        out.push_back({w, MAGENTA});
    return out;
}

std::vector<std::string> take(ptr_array *names)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; names != nullptr && i < names->count; i++)
        out.emplace_back(static_cast<const char *>(names->items[i]));
    ptr_array_free(names);
    return out;
}

std::vector<std::string> starting(const std::vector<std::string> &all, const std::string &prefix)
{
    std::vector<std::string> out;
    for (const auto &w : all) {
        if (strncasecmp(w.c_str(), prefix.c_str(), prefix.size()) == 0)
            out.push_back(w);
    }
    return out;
}

int set_mode(const char *, char *) { return 0; }
int get_mode(char *buf, size_t size) { return snprintf(buf, size, "fast") < 0 ? -1 : 0; }

dvar g_mode = {"zt.mode", DVAR_TYPE_ENUM, "fast|slow|safe", "Test mode", set_mode, get_mode, {}};
dvar g_count = {"zt.count", 0, "1-9", "Test count", nullptr, nullptr, {VALUE_TYPE_INT, {.i32 = 0}}};

// The request a test application row's callback last received.
sh_complete_ctx g_seen;
int g_seen_calls = 0;

const sh_cmd g_app[] = {
    {"sync_t", [](sh_ctx *, int, char **) { return 0; }, nullptr, "Sync test"},
    {"apprun", [](sh_ctx *, int, char **) { return 0; },
     [](sh_complete_ctx *req) {
         g_seen = *req;
         g_seen_calls++;
         ledit_list_add_word(req->list, "from_app", nullptr);
     },
     "App with completion"},
    {nullptr, nullptr, nullptr, nullptr},
};

class Complete : public Shell {
protected:
    static void SetUpTestSuite()
    {
        Shell::SetUpTestSuite();
        libsh_dvar_add(&g_mode);
        libsh_dvar_add(&g_count);
    }
    void TearDown() override { libsh_set_app_cmds(nullptr); }

    static std::vector<std::string> dvar_names() { return take(dvar_mgr_names(sh_imp::dvars())); }
    static std::vector<std::string> rvar_names() { return take(rvar_mgr_names(sh_imp::rvars())); }
    static std::vector<std::string> fvar_names() { return take(fvar_mgr_names(sh_imp::fvars())); }
};

}  // namespace

TEST_F(Complete, StartInstallsTheHookAndThePromptColour)
{
    EXPECT_EQ(ledit_get_complete_hook(), &libsh_complete);
    EXPECT_EQ(ledit_get_prompt_color(), 0x83u);
}

TEST_F(Complete, CommandNamesComeFromTheTableWithHelpAndRowColours)
{
    const cand show{"show", YELLOW, "Show the status of the program", 7};
    const cand set{"set", YELLOW, "Set public options", 8};
    const cand source{"source", CYAN_B, "Exec commands from file", 8};  // row 9
    // Rows 7, 8 and 10: the eighth row on takes the second colour.
    const std::vector<cand> e_rows = {{"echo", YELLOW, "Echo the STRING(s) to output", 8},
                                      {"env", CYAN_B, "Display all variables", 7},
                                      {"exit", CYAN_B, "Exit the service program", 7}};
    struct {
        const char *line;
        std::vector<cand> expected;
    } const cases[] = {
        {"s", {show, set, source}},
        {"S", {show, set, source}},
        {"sh", {show}},
        {"e", e_rows},
        {"?", {}},  // a whole command name without completion
        {"x", {}},
        {"s x", {}},     // two words and no command: nothing to offer
        {" s", {}},      // the typed text is the whole line
        {"echo ", {}},   // a command without completion
        {"set", {}},     // the command word itself, no blank yet
    };
    for (const auto &c : cases)
        EXPECT_EQ(complete(c.line), c.expected) << "[" << c.line << "]";
    EXPECT_EQ(complete("").size(), 14u);
}

TEST_F(Complete, ApplicationRowsComeBeforeBuiltInRows)
{
    libsh_set_app_cmds(g_app);
    const std::vector<cand> expected = {
        {"sync_t", YELLOW, "Sync test", 7},
        {"show", YELLOW, "Show the status of the program", 7},
        {"set", YELLOW, "Set public options", 8},
        {"source", CYAN_B, "Exec commands from file", 8},
    };
    EXPECT_EQ(complete("s"), expected);
    EXPECT_EQ(complete("app"), (std::vector<cand>{{"apprun", YELLOW, "App with completion", 8}}));
}

TEST_F(Complete, CallbackReceivesFourWordsTheirCountAndTheLastCharacter)
{
    libsh_set_app_cmds(g_app);
    const std::string long_word(300, 'x');
    struct {
        std::string line;
        uint32_t count;
        std::vector<std::string> words;
        char last;
    } const cases[] = {
        {"apprun", 1, {"apprun"}, 'n'},
        {"apprun  ", 1, {"apprun"}, ' '},
        {"apprun\ta b", 3, {"apprun", "a", "b"}, 'b'},
        {"apprun a b c d e", 4, {"apprun", "a", "b", "c"}, 'e'},
        // A word longer than its field is cut, never split into two words.
        {"apprun " + long_word + " y", 3, {"apprun", long_word.substr(0, 255), "y"}, 'y'},
    };
    for (const auto &c : cases) {
        g_seen_calls = 0;
        EXPECT_EQ(complete(c.line.c_str()), (std::vector<cand>{{"from_app"}})) << c.line;
        ASSERT_EQ(g_seen_calls, 1) << c.line;
        EXPECT_EQ(g_seen.count, c.count) << c.line;
        for (size_t i = 0; i < c.words.size(); i++)
            EXPECT_EQ(std::string(g_seen.word[i]), c.words[i]) << c.line;
        EXPECT_EQ(g_seen.last, c.last) << c.line;
    }
}

TEST_F(Complete, SetOffersVariableNamesThenEnumerationValues)
{
    const std::vector<std::string> levels = {"verb", "dbg", "info", "noti", "warn", "err", "crit"};
    struct {
        const char *line;
        std::vector<std::string> words;
    } const cases[] = {
        {"set ", dvar_names()},
        {"set zt.", {"zt.mode", "zt.count"}},
        {"set ZT.M", {"zt.mode"}},
        {"set log.", starting(dvar_names(), "log.")},
        {"set nosuch_prefix", {}},
        {"set zt.mode ", {"fast", "slow", "safe"}},
        {"set zt.mode s", {"slow", "safe"}},
        {"set zt.mode S", {"slow", "safe"}},
        {"set zt.mode fast ", {}},
        {"set log.level ", levels},
        {"set log.level d", {"dbg"}},
        {"set zt.count ", {}},  // free text: its range is no list of values
        {"set nosuch ", {}},
    };
    ASSERT_GE(dvar_names().size(), 3u);
    for (const auto &c : cases)
        EXPECT_EQ(complete(c.line), plain(c.words)) << "[" << c.line << "]";
}

TEST_F(Complete, ShowAndCallOfferTheirRegistryNames)
{
    struct {
        const char *line;
        std::vector<std::string> words;
    } const cases[] = {
        {"show ", rvar_names()},
        {"show in", {"info"}},
        {"show info ", {}},
        {"call ", fvar_names()},
        {"call t", {"thread_except", "tlog"}},
        {"call tlog x", {}},
    };
    ASSERT_GE(rvar_names().size(), 4u);
    ASSERT_GE(fvar_names().size(), 5u);
    for (const auto &c : cases)
        EXPECT_EQ(complete(c.line), plain(c.words)) << "[" << c.line << "]";
}

TEST(CompleteWords, PrefixCaseColoursAndTheSingleCandidateRule)
{
    const char *const one[] = {"only", nullptr};
    const char *const one_help[] = {"the one", nullptr};
    const char *const three[] = {"ax", "b", "Ac", nullptr};
    const char *const three_help[] = {"h0", "h1", "h2", nullptr};
    const char *const none[] = {nullptr};
    struct {
        const char *prefix;
        const char *const *words;
        const char *const *helps;
        std::vector<cand> expected;
    } const cases[] = {
        {"", one, nullptr, {{"only"}, {"only", MAGENTA}}},
        {nullptr, one, nullptr, {{"only"}, {"only", MAGENTA}}},
        {"", one, one_help, {{"only"}, {"only", YELLOW, "the one", 7}}},
        {"o", one, nullptr, {{"only", MAGENTA}}},
        {"x", one, nullptr, {}},
        {"", three, nullptr, {{"ax", MAGENTA}, {"b", MAGENTA}, {"Ac", MAGENTA}}},
        // Colours follow the candidate's index, not its place among the matches.
        {"a", three, three_help, {{"ax", YELLOW, "h0", 7}, {"Ac", YELLOW, "h2", 7}}},
        {"", none, nullptr, {}},
    };
    for (const auto &c : cases) {
        auto list = std::make_unique<ledit_list>();
        libsh_complete_words(list.get(), c.prefix, c.words, c.helps);
        EXPECT_EQ(entries(*list), c.expected) << (c.prefix != nullptr ? c.prefix : "(null)");
    }
}

TEST(CompleteWords, EighthCandidateOnTakesTheSecondColour)
{
    std::vector<std::string> names;
    for (int i = 0; i < 10; i++)
        names.push_back("w" + std::to_string(i));
    std::vector<const char *> words;
    std::vector<const char *> helps;
    for (const auto &n : names) {
        words.push_back(n.c_str());
        helps.push_back(n.c_str());
    }
    words.push_back(nullptr);
    helps.push_back(nullptr);
    auto list = std::make_unique<ledit_list>();
    libsh_complete_words(list.get(), "W", words.data(), helps.data());
    ASSERT_EQ(list->count, 10u);
    for (uint32_t i = 0; i < 10; i++) {
        EXPECT_EQ(list->word_color[i], i < 8 ? YELLOW : CYAN_B) << i;
        EXPECT_EQ(list->help_color[i], i % 2 == 0 ? 7u : 8u) << i;
    }
}

TEST(CompleteWords, ManyCandidatesFillTheListTo1024)
{
    std::vector<std::string> names;
    for (int i = 0; i < 1100; i++)
        names.push_back("n" + std::to_string(i));
    std::vector<const char *> words;
    for (const auto &n : names)
        words.push_back(n.c_str());
    words.push_back(nullptr);
    auto list = std::make_unique<ledit_list>();
    libsh_complete_words(list.get(), "", words.data(), nullptr);
    EXPECT_EQ(list->count, LEDIT_LIST_MAX);
    EXPECT_STREQ(list->word[LEDIT_LIST_MAX - 1], "n1023");
}

TEST(CompleteHint, AddsOnePlainWord)
{
    auto list = std::make_unique<ledit_list>();
    libsh_complete_hint(list.get(), "<file>");
    EXPECT_EQ(entries(*list), (std::vector<cand>{{"<file>"}}));
    EXPECT_STREQ(list->hint, "");
}
