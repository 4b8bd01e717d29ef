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

TEST(LineReadDeathTest, FromAFileWithoutPromptOrEscapes)
{
    std::string input = temp_file("show info\r\n\x1b[D\n0123456789abcdefXYZ\n");
    EXPECT_EXIT(
        {
            std::string out = stdout_to_file();
            (void)!freopen(input.c_str(), "r", stdin);
            char buf[16];
            bool ok = ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "show info") == 0;
            ok      = ok && ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "\x1b[D") == 0;
            // A line longer than the buffer comes in pieces of size - 1.
            ok = ok && ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "0123456789abcde") == 0;
            ok = ok && ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "fXYZ") == 0;
            ok = ok && ledit_readline("p>", buf, sizeof(buf)) == nullptr;
            std::fflush(stdout);
            std::exit(ok && file_text(out).empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::remove(input.c_str());
}

TEST(LineReadDeathTest, DumbTerminalReadsPlainly)
{
    EXPECT_EXIT(
        {
            std::string out = stdout_to_file();
            int master      = stdin_on_terminal();
            setenv("TERM", "DUMB", 1);
            termios before{};
            tcgetattr(STDIN_FILENO, &before);
            (void)!write(master, "abc\n", 4);
            char buf[32];
            bool ok = ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "abc") == 0;
            termios after{};
            tcgetattr(STDIN_FILENO, &after);
            std::fflush(stdout);
            std::exit(ok && same_settings(before, after) && file_text(out).empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LineReadDeathTest, TerminalEditsInRawModeAndPutsTheSettingsBack)
{
    EXPECT_EXIT(
        {
            std::string out = stdout_to_file();
            int master      = stdin_on_terminal();
            setenv("TERM", "xterm", 1);
            termios before{};
            tcgetattr(STDIN_FILENO, &before);
            // Typed ahead before the read starts: raw mode set with TCSANOW keeps it.
            const char keys[] = "ab\x1b[DX\r";
            (void)!write(master, keys, sizeof(keys) - 1);
            char buf[32];
            bool ok = ledit_readline("p>", buf, sizeof(buf)) != nullptr && std::strcmp(buf, "aXb") == 0;
            // One key on its own, typed ahead without a line end.
            (void)!write(master, "z", 1);
            ok = ok && ledit_getch() == 'z';
            termios after{};
            tcgetattr(STDIN_FILENO, &after);
            std::fflush(stdout);
            std::string shown = file_text(out);
            std::exit(ok && same_settings(before, after) && shown.find("p>") != std::string::npos ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
