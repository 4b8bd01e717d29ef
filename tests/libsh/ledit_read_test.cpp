// ledit_read on its three roads, each in a child process whose standard
// streams are a file or a pseudo-terminal: a plain read from a file, a plain
// read on a dumb terminal, and the editor in raw mode on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "libsh/ledit.h"
#include "libsh/ledit_term.h"

namespace {

std::string temp_file(const std::string &text)
{
    char name[] = "/tmp/ledit_read_XXXXXX";
    int fd      = mkstemp(name);
    if (fd >= 0) {
        (void)!write(fd, text.data(), text.size());
        close(fd);
    }
    return name;
}

std::string file_text(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// In the child: standard output to a file, so what the reader writes can be read.
std::string stdout_to_file()
{
    std::string path = temp_file("");
    int fd           = open(path.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return path;
}

// In the child: a pseudo-terminal as standard input; the master end is returned.
int stdin_on_terminal()
{
    // A read that never gets its bytes fails the test instead of hanging it.
    alarm(10);
    int master = -1;
    int slave  = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        std::_Exit(10);
    dup2(slave, STDIN_FILENO);
    close(slave);
    return master;
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

// In the child: its steps in order, each named on standard error as it
// passes; the first that fails is named with what it got and ends the child
// with status 1. The death test's pattern lists every step, so a failure
// shows which one. The child's own files go with it.
struct child_steps {
    std::string out;  // standard output's file
    std::string input;  // a file to read, or empty

    void check(bool ok, const char *step, const std::string &got = "")
    {
        if (ok) {
            std::fprintf(stderr, "passed: %s\n", step);
            return;
        }
        std::fprintf(stderr, "failed: %s, got [%s]\n", step, got.c_str());
        end(1);
    }
    [[noreturn]] void end(int status)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        std::remove(out.c_str());
        if (!input.empty())
            std::remove(input.c_str());
        std::exit(status);
    }
};

// The death test's pattern: every step passed, in order.
std::string all_passed(std::initializer_list<const char *> steps)
{
    std::string pattern;
    for (const char *step : steps)
        pattern += std::string("passed: ") + step + "\n";
    return pattern;
}

// What a read gave, for a failed step.
std::string got_line(const char *line, const char *buf)
{
    return line != nullptr ? buf : "(nothing)";
}

TEST(LineReadDeathTest, FromAFileWithoutPromptOrEscapes)
{
    std::string input = temp_file("show info\r\n\x1b[D\n0123456789abcdefXYZ\n");
    const std::string steps = all_passed({"line without its CR", "escape bytes kept", "first piece", "second piece",
                                          "nothing at the end", "no prompt written"});
    EXPECT_EXIT(
        {
            child_steps c(stdout_to_file(), input);
            (void)!freopen(input.c_str(), "r", stdin);
            char buf[16];
            const char *line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "show info") == 0, "line without its CR", got_line(line, buf));
            line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "\x1b[D") == 0, "escape bytes kept", got_line(line, buf));
            // A line longer than the buffer comes in pieces of size - 1.
            line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "0123456789abcde") == 0, "first piece", got_line(line, buf));
            line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "fXYZ") == 0, "second piece", got_line(line, buf));
            line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line == nullptr, "nothing at the end", got_line(line, buf));
            std::fflush(stdout);
            c.check(file_text(c.out).empty(), "no prompt written", file_text(c.out));
            c.end(0);
        },
        ::testing::ExitedWithCode(0), steps);
    std::remove(input.c_str());
}

TEST(LineReadDeathTest, DumbTerminalReadsPlainly)
{
    const std::string steps = all_passed({"line read", "terminal settings unchanged", "no prompt written"});
    EXPECT_EXIT(
        {
            child_steps c(stdout_to_file(), "");
            int master = stdin_on_terminal();
            setenv("TERM", "DUMB", 1);
            termios before{};
            tcgetattr(STDIN_FILENO, &before);
            (void)!write(master, "abc\n", 4);
            char buf[32];
            const char *line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "abc") == 0, "line read", got_line(line, buf));
            termios after{};
            tcgetattr(STDIN_FILENO, &after);
            c.check(same_settings(before, after), "terminal settings unchanged");
            std::fflush(stdout);
            c.check(file_text(c.out).empty(), "no prompt written", file_text(c.out));
            c.end(0);
        },
        ::testing::ExitedWithCode(0), steps);
}

TEST(LineReadDeathTest, TerminalEditsInRawModeAndPutsTheSettingsBack)
{
    const std::string steps = all_passed({"line edited", "one key", "terminal settings put back", "prompt shown"});
    EXPECT_EXIT(
        {
            child_steps c(stdout_to_file(), "");
            int master = stdin_on_terminal();
            setenv("TERM", "xterm", 1);
            termios before{};
            tcgetattr(STDIN_FILENO, &before);
            // Typed ahead before the read starts: raw mode set with TCSANOW keeps it.
            const char keys[] = "ab\x1b[DX\r";
            (void)!write(master, keys, sizeof(keys) - 1);
            char buf[32];
            const char *line = ledit_readline("p>", buf, sizeof(buf));
            c.check(line != nullptr && std::strcmp(buf, "aXb") == 0, "line edited", got_line(line, buf));
            // One key on its own, typed ahead without a line end.
            (void)!write(master, "z", 1);
            const int key = ledit_getch();
            c.check(key == 'z', "one key", std::to_string(key));
            termios after{};
            tcgetattr(STDIN_FILENO, &after);
            c.check(same_settings(before, after), "terminal settings put back");
            std::fflush(stdout);
            const std::string shown = file_text(c.out);
            c.check(shown.find("p>") != std::string::npos, "prompt shown", shown);
            c.end(0);
        },
        ::testing::ExitedWithCode(0), steps);
}

}  // namespace
