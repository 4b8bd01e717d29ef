// The editing loop driven by byte scripts, its output replayed on a small
// terminal model so that tests read what a person would see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libsh/ledit.h"
#include "libsh/ledit_hist.h"
#include "libsh/ledit_imp.h"
#include "libsh/ledit_term.h"
#include "libsh/libsh.h"

namespace {

constexpr int WINCH = -2;  // in a script: the window changes to the next size

// A terminal as the editor drives it: output processing turns "\n" into
// CR LF, a character in the last column leaves the cursor there until the
// next one (pending wrap), cursor moves stop at the edges.
class screen_model {
public:
    explicit screen_model(int cols) : cols_(cols) {}

    void resize(int cols)
    {
        cols_    = cols;
        col_     = std::min(col_, cols_ - 1);
        pending_ = false;
    }

    void feed(const std::string &bytes)
    {
        for (size_t i = 0; i < bytes.size(); i++) {
            char c = bytes[i];
            if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t j = i + 2;
                while (j < bytes.size() && !(bytes[j] >= 0x40 && bytes[j] <= 0x7e))
                    j++;
                control(bytes.substr(i + 2, j - i - 2), j < bytes.size() ? bytes[j] : '\0');
                i = j;
            } else if (c == '\r') {
                col_     = 0;
                pending_ = false;
            } else if (c == '\n') {
                row_++;
                col_     = 0;
                pending_ = false;
            } else if (c == '\b') {
                col_     = std::max(0, col_ - 1);
                pending_ = false;
            } else {
                put(c);
            }
        }
    }

    // The rows with trailing blanks and empty trailing rows removed.
    std::string text() const
    {
        std::vector<std::string> rows = rows_;
        for (std::string &r : rows)
            r.erase(r.find_last_not_of(' ') + 1);
        while (!rows.empty() && rows.back().empty())
            rows.pop_back();
        std::string out;
        for (const std::string &r : rows)
            out += r + "\n";
        return out;
    }
    int row() const { return row_; }
    int col() const { return col_; }

private:
    std::string &line(int r)
    {
        if (static_cast<int>(rows_.size()) <= r)
            rows_.resize(static_cast<size_t>(r) + 1);
        return rows_[static_cast<size_t>(r)];
    }

    void put(char c)
    {
        if (pending_) {
            row_++;
            col_     = 0;
            pending_ = false;
        }
        std::string &l = line(row_);
        if (static_cast<int>(l.size()) <= col_)
            l.resize(static_cast<size_t>(col_) + 1, ' ');
        l[static_cast<size_t>(col_)] = c;
        if (col_ == cols_ - 1)
            pending_ = true;
        else
            col_++;
    }

    void control(const std::string &args, char final)
    {
        int n    = args.empty() ? 1 : std::atoi(args.c_str());
        pending_ = false;
        switch (final) {
        case 'A':
            row_ = std::max(0, row_ - n);
            break;
        case 'B':
            row_ += n;
            break;
        case 'C':
            col_ = std::min(cols_ - 1, col_ + n);
            break;
        case 'D':
            col_ = std::max(0, col_ - n);
            break;
        case 'J':
            line(row_).resize(static_cast<size_t>(col_));
            rows_.resize(static_cast<size_t>(row_) + 1);
            break;
        default:  // colours and modes
            break;
        }
    }

    int cols_;
    int row_      = 0;
    int col_      = 0;
    bool pending_ = false;
    std::vector<std::string> rows_;
};

// The console of one test: a script of bytes in, the output collected.
struct script_console {
    std::vector<int> in;
    size_t at = 0;
    std::vector<int> sizes;  // the column counts that each WINCH brings
    std::string out;
    size_t winches  = 0;
    int interrupted = 0;
    int suspended   = 0;
    int cleared     = 0;
};

script_console *g_con = nullptr;
int g_cols            = 80;
int g_rows            = 24;

int script_read(void *)
{
    script_console &c = *g_con;
    if (c.at >= c.in.size())
        return LEDIT_READ_END;
    int b = c.in[c.at++];
    if (b == WINCH) {
        g_cols = c.sizes.at(c.winches++);
        return LEDIT_READ_WINCH;
    }
    return b;
}
void script_window(int *rows, int *cols)
{
    if (rows != nullptr)
        *rows = g_rows;
    if (cols != nullptr)
        *cols = g_cols;
}
int script_signal_key(int byte)
{
    return byte == 3 ? SIGINT : 0;
}
void script_interrupt(int signo)
{
    g_con->interrupted = signo;
}
void script_suspend()
{
    g_con->suspended++;
}
void script_clear()
{
    g_con->cleared++;
}

std::vector<int> bytes_of(const std::string &s)
{
    std::vector<int> v;
    for (char c : s)
        v.push_back(static_cast<unsigned char>(c));
    return v;
}

void seed(std::initializer_list<const char *> lines)
{
    ledit_history_clear();
    for (const char *line : lines)
        ledit_history_add(line);
}

class Edit : public ::testing::Test {
protected:
    void SetUp() override
    {
        libsh_init();  // the shell's hook is the one to put back
        ledit_history_clear();
        saved_hook_ = ledit_get_complete_hook();
        ledit_set_complete_hook(nullptr);
        g_cols = 80;
        g_rows = 24;
        tty_   = false;
    }
    void TearDown() override
    {
        ledit_history_clear();
        ledit_set_complete_hook(saved_hook_);
        g_con = nullptr;
    }

    // Runs the editor over the script; the line, or "<end>" when it ended
    // without one.
    std::string run(const std::vector<int> &script, size_t size = 256, const char *prompt = "p>",
                    const char *existing = nullptr)
    {
        con_       = script_console{};
        con_.in    = script;
        con_.sizes = sizes_;
        g_con      = &con_;
        char *text = nullptr;
        size_t len = 0;
        FILE *out  = open_memstream(&text, &len);
        ledit_io io{script_read,      nullptr,        out,         tty_, script_window, script_signal_key,
                    script_interrupt, script_suspend, script_clear};
        std::vector<char> buf(size, '\0');
        if (existing != nullptr)
            std::snprintf(buf.data(), size, "%s", existing);
        errno      = 0;
        char *line = ledit_edit(&io, prompt, buf.data(), size, existing != nullptr, false);
        errno_     = errno;
        std::fclose(out);
        con_.out.assign(text, len);
        std::free(text);
        return line != nullptr ? std::string(line) : std::string("<end>");
    }
    std::string run(const std::string &keys, size_t size = 256) { return run(bytes_of(keys), size); }

    // What the output shows on a terminal of cols columns (resized where the
    // script's window changes happened).
    std::string screen(int cols, int *row = nullptr, int *col = nullptr) const
    {
        screen_model m(cols);
        m.feed(con_.out);
        if (row != nullptr)
            *row = m.row();
        if (col != nullptr)
            *col = m.col();
        return m.text();
    }

    script_console con_;
    ledit_complete_hook saved_hook_ = nullptr;
    std::vector<int> sizes_;
    bool tty_  = false;
    int errno_ = 0;
};

struct edit_case {
    const char *name;
    std::string keys;
    std::string line;
};

void PrintTo(const edit_case &r, std::ostream *os)
{
    *os << r.name;
}

class EditKeys : public Edit, public ::testing::WithParamInterface<edit_case> {};

TEST_P(EditKeys, GiveTheLine)
{
    EXPECT_EQ(run(GetParam().keys), GetParam().line);
}

#define ESC "\x1b"

INSTANTIATE_TEST_SUITE_P(
    Table, EditKeys,
    ::testing::Values(
        edit_case{"Typed", "show info\r", "show info"}, edit_case{"CtrlJ", "abc\n", "abc"},
        edit_case{"LeftInserts", "abc" ESC "[D" ESC "[DX\r", "aXbc"}, edit_case{"CtrlB", "abc\x02\x02X\r", "aXbc"},
        edit_case{"LeftStopsAtStart", "ab" ESC "[D" ESC "[D" ESC "[DX\r", "Xab"},
        edit_case{"RightStopsAtEnd", "ab" ESC "[CX\r", "abX"}, edit_case{"CtrlAThenCtrlF", "abc\x01\x06X\r", "aXbc"},
        edit_case{"Home", "abc" ESC "[HX\r", "Xabc"}, edit_case{"HomeTilde", "abc" ESC "[1~X\r", "Xabc"},
        edit_case{"CtrlE", "abc\x01\x05X\r", "abcX"}, edit_case{"AltB", "one two three" ESC "bX\r", "one two Xthree"},
        edit_case{"AltF", "one two three\x01" ESC "fX\r", "oneX two three"},
        edit_case{"CtrlLeft", "one two" ESC "[1;5DX\r", "one Xtwo"},
        edit_case{"EscEscLeft", "one two" ESC ESC "[DX\r", "one Xtwo"},
        edit_case{"CtrlRight", "one two\x01" ESC "[1;5CX\r", "oneX two"},
        edit_case{"WordBackPastALeadingDelimiter", " abc" ESC "bX\r", "X abc"},
        edit_case{"Backspace", "abc\x7f\r", "ab"}, edit_case{"CtrlH", "abc\x08\r", "ab"},
        edit_case{"CtrlDUnderCursor", "abc\x01\x04\r", "bc"}, edit_case{"CtrlDAtEndNothing", "abc\x04\r", "abc"},
        edit_case{"Delete", "abc\x01" ESC "[3~\r", "bc"}, edit_case{"AltU", "show info\x01" ESC "u\r", "SHOW info"},
        edit_case{"AltL", "SHOW INFO\x01" ESC "l\r", "show INFO"},
        edit_case{"AltC", "show info\x01" ESC "c\r", "Show info"},
        edit_case{"AltUSkipsDelimiters", "a  show\x01\x06" ESC "u\r", "a  SHOW"},
        edit_case{"AltBackslashBeforeWord", "one   two" ESC "b" ESC "\\\r", "onetwo"},
        edit_case{"AltBackslashInBlanks", "one   two\x01\x06\x06\x06\x06" ESC "\\\r", "onetwo"},
        edit_case{"AltBackslashInWord", "one   two\x01\x06\x06" ESC "\\\r", "one   two"},
        edit_case{"CtrlTAtEnd", "ab\x14\r", "ba"}, edit_case{"CtrlTBetween", "ab\x02\x14X\r", "baX"},
        edit_case{"CtrlTAfterBlank", "a b\x02\x14\r", "a b"}, edit_case{"CtrlTAtStart", "ab\x01\x14\r", "ab"},
        edit_case{"CtrlKThenYankTwice", "show info\x01" ESC "f\x0b\x19\x19\r", "show info info"},
        edit_case{"CtrlUThenYank", "show info\x02\x02\x02\x02\x15\x05\x19\r", "infoshow"},
        edit_case{"CtrlXThenPasteTwice", "abc\x18\x19\x19\r", "abcabc"},
        edit_case{"InsertPastes", "abc\x18" ESC "[2~\x16\r", "abcabc"},
        edit_case{"AltBackspace", "echo foo/bar" ESC "\x7f\r", "echo foo/"},
        edit_case{"CtrlUnderscore", "echo foo/bar\x1f\r", "echo foo/"},
        edit_case{"CtrlW", "echo foo/bar\x17\r", "echo"}, edit_case{"AltD", "one two\x01" ESC "d\r", " two"},
        edit_case{"CtrlDelete", "one two\x01" ESC "[3;5~\r", " two"},
        edit_case{"CtrlEndCuts", "one two\x01" ESC "[1;5F\x19\x19\r", "one twoone two"},
        edit_case{"AltR", "abc" ESC "r\r", ""}, edit_case{"OneTrailingBlankGoes", "ab  \r", "ab "},
        edit_case{"ControlAndHighBytesIgnored", std::string("a\0\x1d\x80\xff", 5) + "b\r", "ab"},
        edit_case{"UnknownSequencesTypeNothing", "a" ESC "[15~b" ESC "[2Jc" ESC "[?25hd\r", "abcd"}),
    [](const ::testing::TestParamInfo<edit_case> &p) { return std::string(p.param.name); });

TEST_F(Edit, EndsWithoutALine)
{
    struct {
        const char *keys;
        int err;
    } const cases[] = {
        {"\x04", 0},          // Ctrl-D on an empty line
        {"abc", 0},           // the input ends mid-line
        {"ab" ESC "[", 0},    // inside an escape sequence
        {"abc\x07", EAGAIN},  // Ctrl-G
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run(c.keys), "<end>") << c.keys;
        EXPECT_EQ(errno_, c.err) << c.keys;
    }
}

TEST_F(Edit, CtrlCStopsTheProgramThroughItsInterruptSignal)
{
    EXPECT_EQ(run("abc\x03more\r"), "<end>");
    EXPECT_EQ(con_.interrupted, SIGINT);
    EXPECT_EQ(con_.at, 4u);  // nothing read after it
}

TEST_F(Edit, CtrlZSuspendsAndCtrlLClearsThenRedraw)
{
    EXPECT_EQ(run("ab\x1a\x0c"
                  "c\r"),
              "abc");
    EXPECT_EQ(con_.suspended, 1);
    EXPECT_EQ(con_.cleared, 1);
    // Both redraws start again on the line's row.
    EXPECT_EQ(screen(80), "p>abc\n");
}

TEST_F(Edit, EditExistingStartsAtTheEndOfTheText)
{
    EXPECT_EQ(run(bytes_of("d\r"), 256, "p>", "abc"), "abcd");
}

TEST_F(Edit, AFullLineIgnoresFurtherKeysAndPastes)
{
    EXPECT_EQ(run("abcdefghij\r", 8), "abcdefg");
    EXPECT_EQ(run("abcd\x18\x19\x19\x19\r", 8), "abcd");
}

TEST_F(Edit, AHundredKilobytePasteFillsTheBufferAndNoMore)
{
    std::string paste(100 * 1024, 'x');
    for (size_t i = 0; i < paste.size(); i += 7)
        paste[i] = ' ';
    std::string line = run(paste + "\r", 4096);
    EXPECT_EQ(line, paste.substr(0, 4095));
    // The screen holds the prompt and the 4095 bytes wrapped at 80 columns.
    int row = 0;
    screen(80, &row);
    EXPECT_EQ(row, (2 + 4095) / 80 + 1);
}

TEST_F(Edit, ALongLineWrapsAndRedrawsRight)
{
    g_cols = 10;
    // 23 characters after a 2-character prompt: three rows.
    EXPECT_EQ(run("abcdefghijklmnopqrstuvw\r"), "abcdefghijklmnopqrstuvw");
    EXPECT_EQ(screen(10), "p>abcdefgh\nijklmnopqr\nstuvw\n");
    // An insertion near the start rewrites the rows after it.
    run("abcdefghijklmnopqrstuvw\x01X\r");
    EXPECT_EQ(screen(10), "p>Xabcdefg\nhijklmnopq\nrstuvw\n");
    // Deleting back over a row end pulls the text up and blanks the rest.
    run("abcdefghijklmnopqrstuvw\x01\x04\x04\x04\x04\x04\x04\x04\x04\x04\x04\r");
    EXPECT_EQ(screen(10), "p>klmnopqr\nstuvw\n");
    // Text ending in the last column: the cursor goes to the next row.
    run("abcdefgh\r");
    screen_model m(10);
    m.feed(con_.out.substr(0, con_.out.size() - 3));  // before the accept's " \b\n"
    EXPECT_EQ(m.row(), 1);
    EXPECT_EQ(m.col(), 0);
}

TEST_F(Edit, UpAndDownMoveBetweenRowsOfAWrappedLine)
{
    g_cols = 10;
    // From the start, Down moves one row: the X lands 10 columns on.
    EXPECT_EQ(run("abcdefghijklmnopqrstuvw\x01" ESC "[BX\r"), "abcdefghijXklmnopqrstuvw");
    // Up from the second row goes back to the first, at the prompt's width.
    EXPECT_EQ(run("abcdefghijklmnopqrstuvw\x01" ESC "[B" ESC "[AX\r"), "Xabcdefghijklmnopqrstuvw");
    // Ctrl-Up and Alt-Up move rows only: at the end of the line no history.
    seed({"older"});
    EXPECT_EQ(run("abcdefghijklmnopqrstuvw" ESC "[1;5AX\r"), "abcdefghijklmXnopqrstuvw");
    // Up at the end of the line fetches the history.
    seed({"older"});
    EXPECT_EQ(run("abcdefghijklmnopqrstuvw" ESC "[A\r"), "older");
}

TEST_F(Edit, WindowChangeMidLineRedrawsAtTheNewWidth)
{
    g_cols                = 20;
    sizes_                = {7};
    std::vector<int> keys = bytes_of("abcdefghijklmnop");
    keys.push_back(WINCH);
    for (int b : bytes_of("q\r"))
        keys.push_back(b);
    EXPECT_EQ(run(keys), "abcdefghijklmnopq");
    // Replayed on a terminal that narrowed at the change: prompt and line
    // start again at the line's first row, wrapped at 7 columns.
    screen_model m(20);
    size_t cut = con_.out.find("\033[J");
    ASSERT_NE(cut, std::string::npos);
    m.feed(con_.out.substr(0, cut));
    m.resize(7);
    m.feed(con_.out.substr(cut));
    EXPECT_EQ(m.text(), "p>abcde\nfghijkl\nmnopq\n");
}

TEST_F(Edit, WindowChangeFindsTheLineStartAtTheNewWidth)
{
    // Three rows at 10 columns are one at 30: a terminal that wraps its rows
    // again keeps the cursor on the line's first row, so no move up.
    g_cols                = 10;
    sizes_                = {30, 10};
    std::vector<int> keys = bytes_of("abcdefghijklmnopqrstuvw");
    keys.push_back(WINCH);
    keys.push_back(WINCH);
    keys.push_back('\r');
    EXPECT_EQ(run(keys), "abcdefghijklmnopqrstuvw");
    size_t first = con_.out.find("\r\033[J");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(con_.out.substr(first - 4, 4), "\033[2A");
    // Back at 10 columns the cursor is two rows below the line's start.
    size_t second = con_.out.find("\r\033[J", first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(con_.out.substr(second - 4, 4), "\033[2A");
}

TEST_F(Edit, OneColumnAndTenThousandColumnsStayInBounds)
{
    for (int cols : {1, 2, 10000}) {
        g_cols           = cols;
        std::string keys = std::string(300, 'a') + "\x01\x04" ESC "[B" ESC "[A" ESC "[1;5B"
                                                   "\x05" ESC "[D\x7f\r";
        ledit_history_clear();
        EXPECT_EQ(run(keys, 4096), std::string(298, 'a')) << cols;
        screen(cols);
    }
}

TEST_F(Edit, HistoryBrowsingRestoresTheEditedLine)
{
    const edit_case cases[] = {
        {"Up", "new" ESC "[A\r", "three"},
        {"UpUpDown", "new" ESC "[A" ESC "[A" ESC "[B\r", "three"},
        {"UpDownGivesTheSavedLine", "new" ESC "[A" ESC "[B\r", "new"},
        {"CtrlPStopsAtTheFirst", "new\x10\x10\x10\x10\r", "one"},
        {"CtrlNPastTheLast", "new\x10\x0e\x0e\r", "new"},
        {"AltLess", "new" ESC "<\r", "one"},
        {"PageUpAltGreater", "new" ESC "[5~" ESC ">\r", "new"},
        {"PageUpPageDown", "new" ESC "[5~" ESC "[6~\r", "new"},
        // Typing ends the browsing: the next key saves the line as it is now.
        {"TypingSavesAgain", "new" ESC "[Ax" ESC "[A" ESC "[B" ESC "[B\r", "threex"},
    };
    for (const edit_case &c : cases) {
        seed({"one", "two", "three"});
        EXPECT_EQ(run(c.keys), c.line) << c.name;
    }
    // Accepted lines are recorded under the rules.
    seed({"one", "two", "three"});
    run("three\r");
    run("history\r");
    run("new\r");
    EXPECT_EQ(ledit_history_count(), 4u);
    EXPECT_STREQ(ledit_history_entry(3), "new");
}

TEST_F(Edit, HistoryReachesOnlyTheRetainedEntries)
{
    auto fill = [] {
        ledit_history_clear();
        for (int i = 1; i <= 300; i++)
            ledit_history_add(("line " + std::to_string(i)).c_str());
    };
    fill();
    EXPECT_EQ(run(ESC "[5~\r"), "line 45");
    fill();
    std::string ups;
    for (int i = 0; i < 400; i++)
        ups += "\x10";
    EXPECT_EQ(run(ups + "\r"), "line 45");
}

TEST_F(Edit, SearchTakesTheOnlyMatchThroughThePrefilledId)
{
    seed({"show info", "show dvar", "set log.level dbg"});
    EXPECT_EQ(run("typed\x12show -dvar\r\r\r"), "show info");
    EXPECT_EQ(screen(80), "p>typed\n"
                          "Input Patterns <F1> help: show -dvar\n"
                          "   1  show info\n"
                          "Input history id: 1\n"
                          "p>show info\n");
    // Nested reads record nothing; the accepted line is recorded.
    EXPECT_EQ(ledit_history_count(), 4u);
    // The patterns went to the cut buffer.
    EXPECT_EQ(run("\x19\r"), "show -dvar");
}

TEST_F(Edit, SearchPicksByNumberAndRefusesABadOne)
{
    const edit_case cases[] = {
        {"SecondOfTwo", "\x13SHOW\r2\r\r", "show dvar"},
        {"IdAboveTheMatches", "typed\x12show\r3\r\r", "typed"},
        {"IdZero", "typed\x12show\r0\r\r", "typed"},
        {"EmptyId", "typed\x12show\r\r\r", "typed"},
        {"NoMatch", "typed\x12nothing\r\r", "typed"},
        {"PatternsAbandoned", "typed\x12\x04\r", "typed"},
        // F4 searches with the line as the patterns.
        {"F4", "level" ESC "OS\r\r\r", "set log.level dbg"},
    };
    for (const edit_case &c : cases) {
        seed({"show info", "show dvar", "set log.level dbg"});
        EXPECT_EQ(run(c.keys), c.line) << c.name;
    }
    run("typed\x12show\r3\r\r");
    EXPECT_NE(con_.out.find("Invalid history id: 3\n"), std::string::npos);
}

TEST_F(Edit, SearchReadHasItsOwnHelpAndNoHistoryKeys)
{
    ledit_history_add("show info");
    EXPECT_EQ(run("\x12" ESC "OP" ESC "[A\x12\x09info\r\r\r"), "show info");
    EXPECT_NE(con_.out.find(" History search:\n"), std::string::npos);
    EXPECT_EQ(con_.out.find(" Misc Commands"), std::string::npos);
}

void test_hook(const char *line, ledit_list *list)
{
    std::string l(line);
    if (l == "al") {
        ledit_list_add_word(list, "Alpha", nullptr);
        ledit_list_add_word(list, "alpine", nullptr);
    } else if (l == "grid") {
        for (const char *w : {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"})
            ledit_list_add_word(list, w, nullptr);
    } else if (l == "hint") {
        ledit_hint_set(list, "a number");
    } else if (l == "long ") {
        ledit_list_add_word(list, std::string(63, 'w').c_str(), nullptr);
    }
}

TEST_F(Edit, CompletionTakesTheCommonPartInTheWordsCase)
{
    ledit_set_complete_hook(test_hook);
    EXPECT_EQ(run("al\t\r"), "Alp");
    EXPECT_NE(con_.out.find("Alpha     alpine\n"), std::string::npos);
    // No room for the word and its blank: nothing inserted.
    EXPECT_EQ(run("long \t\r", 66), "long");
    EXPECT_EQ(run("long \t\r", 70), "long " + std::string(63, 'w'));
}

TEST_F(Edit, CompletionListsInColumnsAndShowsTheHint)
{
    ledit_set_complete_hook(test_hook);
    g_cols = 40;
    run("grid" ESC "=\r");
    // Width 7: (40 - 7 - 1) / 11 + 1 = 3 words per row.
    EXPECT_NE(con_.out.find("alpha      beta       gamma\n"
                            "delta      epsilon    zeta\n"
                            "eta\n"),
              std::string::npos)
        << con_.out;
    run("hint\t\r");
    EXPECT_NE(con_.out.find("Please input: a number\n"), std::string::npos);
}

TEST_F(Edit, ShellCompletionReachesThePerson)
{
    ledit_set_complete_hook(libsh_complete);
    EXPECT_EQ(run("sh\t"), "<end>");
    int col = 0;
    EXPECT_EQ(screen(80, nullptr, &col), "p>show\n");
    EXPECT_EQ(run("set log.level d\t\r"), "set log.level dbg");
    // "s": three commands with help texts, one per row; nothing completed.
    EXPECT_EQ(run("s\t\r"), "s");
    EXPECT_NE(con_.out.find("show      Show the status of the program\n"
                            "set       Set public options\n"
                            "source    Exec commands from file\n"),
              std::string::npos)
        << con_.out;
    // Tab in the middle of the line does nothing.
    EXPECT_EQ(run("sh" ESC "[D\t\r"), "sh");
}

TEST_F(Edit, HelpShowsTheSevenSectionsIn77Lines)
{
    run(ESC "OP\r");
    const char *const *lines = ledit_help_edit_lines();
    int n                    = 0;
    while (lines[n] != nullptr)
        n++;
    EXPECT_EQ(n, 77);
    EXPECT_STREQ(lines[0], " Misc Commands");
    EXPECT_EQ(std::string(lines[1]), " +" + std::string(25, '-') + "+" + std::string(50, '-') + "+");
    EXPECT_EQ(std::string(lines[2]).size(), std::string(lines[1]).size());
    EXPECT_EQ(std::string(lines[2]).substr(0, 28), " | F1                      |");
    for (int i = 0; i < n; i++)
        EXPECT_NE(con_.out.find(std::string(lines[i]) + "\n"), std::string::npos) << lines[i];
    int m = 0;
    for (const char *const *l = ledit_help_search_lines(); *l != nullptr; l++)
        m++;
    EXPECT_EQ(m, 10);
}

TEST_F(Edit, PagerStopsALongListingOnAnyOtherKey)
{
    tty_   = true;
    g_rows = 6;
    run(ESC "OPq\r");
    EXPECT_NE(con_.out.find("*** Press <Space> or <Enter> to continue . . ."), std::string::npos);
    EXPECT_EQ(con_.out.find(" Edit Commands"), std::string::npos);
    run(ESC "OP" + std::string(40, ' ') + "\r");
    EXPECT_NE(con_.out.find(" Control Commands"), std::string::npos);
    ledit_paging(0);
    run(ESC "OP\r");
    EXPECT_EQ(con_.out.find("*** Press"), std::string::npos);
    ledit_paging(1);
}

TEST_F(Edit, F2ListsAndF3ClearsAfterConfirmation)
{
    ledit_history_add("show info");
    ledit_history_add("show dvar");
    run(ESC "OQ\r");
    EXPECT_NE(con_.out.find("   1  show info\n   2  show dvar\n"), std::string::npos);
    run(ESC "ORn\r");
    EXPECT_EQ(ledit_history_count(), 2u);
    EXPECT_NE(con_.out.find("!!! Confirm to clear history [y]: "), std::string::npos);
    run(ESC "ORy\r");
    EXPECT_NE(con_.out.find("History are cleared!"), std::string::npos);
    EXPECT_EQ(ledit_history_count(), 0u);
}

TEST_F(Edit, KeyboardDebugShowsEachByteUntilCtrlC)
{
    EXPECT_EQ(run("x\x1e"
                  "a\x01\x03y\r"),
              "xy");
    EXPECT_NE(con_.out.find("Enter keyboard debug mode, <Ctrl-C> to exit debug\n"
                            " 97 0x61 (a)\n"
                            "  1 0x01 ( )\n"),
              std::string::npos);
}

TEST_F(Edit, ColoursOnlyOnATerminal)
{
    ledit_set_prompt_color(LEDIT_COLOR_BRIGHT_GREEN);
    run("a\r");
    EXPECT_EQ(con_.out.find('\033' + std::string("[m")), std::string::npos);
    tty_ = true;
    run("a\r");
    EXPECT_NE(con_.out.find("\033[m\033[92m\rp>\033[m"), std::string::npos);
}

TEST(Colour, CodesBecomeTheirSequences)
{
    struct {
        uint32_t code;
        const char *seq;
    } const cases[] = {
        {0, "\033[m"},
        {0x83, "\033[m\033[92m"},
        {7, "\033[m\033[36m"},
        {0x0100, "\033[m\033[40m"},
        {0x8805, "\033[m\033[34m\033[107m"},
        {0x10001, "\033[m\033[30m\033[4m"},
        {0x0909, "\033[m"},
    };
    for (const auto &c : cases) {
        char *text = nullptr;
        size_t len = 0;
        FILE *out  = open_memstream(&text, &len);
        ledit_fset_color(out, true, c.code);
        std::fclose(out);
        EXPECT_EQ(std::string(text, len), c.seq) << std::hex << c.code;
        std::free(text);
    }
}

TEST(LineRead, NullBufferOrTinySizeReadsNothing)
{
    char buf[4] = "abc";
    EXPECT_EQ(ledit_read("p>", nullptr, 10, false), nullptr);
    EXPECT_EQ(ledit_read("p>", buf, 1, false), nullptr);
    EXPECT_EQ(ledit_unsupported(), -1);
}

}  // namespace
