#include "libsh/libsh.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <csignal>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "libsh/sh_imp.h"
#include "libsh/sh_alias.h"
#include "sh_fixture.h"
#include "../libpal/tool_files.h"

using namespace std::string_literals;

namespace {

const std::string NOT_FOUND_TAIL = "Type `help` to learn how to use prompt\n"s;

std::string not_found(const char *name) { return "command not found: ["s + name + "]\n" + NOT_FOUND_TAIL + '\0'; }

}  // namespace

TEST_F(Shell, LinesSplitIntoCommandsWithOneFlushEach)
{
    struct {
        const char *line;
        std::string out;
        int rc;
    } const cases[] = {
        {"echo a; echo b", "a\n\0b\n\0"s, 0},
        {"echo a;# comment; echo b", "a\n\0b\n\0"s, 0},
        {"echo \"a;b\"", "a;b\n\0"s, 0},
        {"echo 'a;b'", "'a;b'\n\0"s, 0},
        {"  echo padded  ", "padded\n\0"s, 0},
        {"nosuch; echo x", not_found("nosuch"), -12},
        {"echo a;; echo b", "a\n\0"s + not_found(""), -12},
        {"echo \"a", "", -1},
        {"# only a comment", "", 0},
        {"ASSIGN_T=1", "", 0},
        {"ASSIGN_T = 1", not_found("ASSIGN_T"), -12},
        {"ASSIGN_T=1=2", not_found("ASSIGN_T=1=2"), -12},
        {"call; echo x", "call application commands\n"s, -1},
        {"help call; echo x", "call application commands\n"s, 0},
        {"show nope; echo x", "error: The show variable 'nope' does not exist\n\0"s, -12},
    };
    for (const auto &c : cases) {
        int rc = 99;
        std::string out = sh.run(c.line, &rc);
        EXPECT_EQ(rc, c.rc) << c.line;
        if (std::string(c.line).rfind("call", 0) == 0 || std::string(c.line).rfind("help call", 0) == 0) {
            // Usage texts end with the registry's lines; only their start and the line's end matter here.
            EXPECT_EQ(out.rfind(c.out, 0), 0u) << c.line;
            EXPECT_EQ(out.find("x\n") != std::string::npos, c.rc == 0) << c.line;
        } else {
            EXPECT_EQ(out, c.out) << c.line;
        }
    }
    EXPECT_STREQ(sh_getenv("ASSIGN_T"), "1");
}

TEST_F(Shell, EmptyLineRepeatsTheRememberedLineOfAnySession)
{
    sh_capture other;
    EXPECT_EQ(sh.run("echo again"), "again\n\0"s);
    EXPECT_EQ(other.run(""), "again\n\0"s);
    EXPECT_EQ(sh.run("   "), "again\n\0"s);
    // A failed line is forgotten, so an empty line does not repeat it.
    sh.run("nosuch");
    EXPECT_EQ(other.run(""), "\0"s);
    sh.run("echo \"open");
    EXPECT_EQ(sh.run(""), "\0"s);
}

TEST_F(Shell, OverlongLineIsRefusedNotCut)
{
    std::string line = "echo " + std::string(4091, 'x');  // 4096 bytes
    int rc = 0;
    std::string out = sh.run(line, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out.find("x"), std::string::npos);
    EXPECT_EQ(out.rfind("error: command line too long", 0), 0u);
    EXPECT_EQ(out.back(), '\0');
    EXPECT_EQ(sh.run("echo " + std::string(4090, 'y')), std::string(4090, 'y') + "\n\0"s);
}

TEST_F(Shell, SetShowAndCallThroughTheRegistries)
{
    int rc = 0;
    EXPECT_EQ(sh.run("set log.level dbg", &rc), "\0"s);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sh.run("show dvar"), "log.level=dbg\n\0"s);
    EXPECT_EQ(sh.run("set log.level debug", &rc), "error: invalid param [debug]\n\n\0"s);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sh.run("sd"), "log.level=dbg\n\0"s);
    EXPECT_EQ(sh.run("set nope 1", &rc), "error: The set variable 'nope' does not exist\n\0"s);
    EXPECT_EQ(rc, -12);
    sh.run("set log.level info");

    std::string usage = "Show the status of the program\nshow info -- View program running global info\n"
                        "show memory -- View program memory stats\nshow llog -- show last log\n"
                        "show dvar -- View program Dynamic variable\n\0"s;
    EXPECT_EQ(sh.run("show"), usage);
    EXPECT_EQ(sh.run("show -h"), usage);
    EXPECT_EQ(sh.run("help show"), usage);
    EXPECT_EQ(sh.run("show a b"), usage);
    EXPECT_EQ(sh.run("set -h", &rc), "Set public options\nset log.level [verb|dbg|info|noti|warn|err|crit] -- "
                                     "Set log output level\n\0"s);
    EXPECT_EQ(rc, 0);
    sh.run("set log.level", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sh.run("call nope", &rc), "error: The call func 'nope' does not exist\n\0"s);
    EXPECT_EQ(rc, -12);
    EXPECT_EQ(sh.run("call tlog", &rc), "\0\0"s);
    EXPECT_EQ(sh.run("show memory"), "\0"s);
}

TEST_F(Shell, InfoLinesInOrder)
{
    std::string out = sh.run("si");
    const char *keys[] = {"ver=", "ver_date=", "start_time=", "is_root=", "log_level=", "bsv_pipe_name=",
                          "cpu_endian=little", "os_info=", "hw_info=", "os_start_time="};
    size_t pos = 0;
    for (const char *k : keys) {
        size_t at = out.find(std::string("\n") + k, pos == 0 ? 0 : pos - 1);
        if (pos == 0 && out.rfind(k, 0) == 0)
            at = 0;
        else if (at != std::string::npos)
            at++;
        ASSERT_NE(at, std::string::npos) << k << " in " << out;
        pos = at + 1;
    }
    EXPECT_NE(out.find("bsv_pipe_name=\n"), std::string::npos);
}

TEST_F(Shell, EchoOptionsAndEscapes)
{
    struct {
        const char *line;
        std::string out;
    } const cases[] = {
        {"echo -n a b", "a b\0"s},
        {"echo -x a", "-x a\n\0"s},
        {"echo - a", "- a\n\0"s},
        {"echo -e a\\cb c", "ab c\0"s},
        {"echo -e tab\\tx", "tab\tx\n\0"s},
        {"echo -e -E tab\\tx", "tab\\tx\n\0"s},
        {"echo -e end\\", "end\\\n\0"s},
        {"echo", "\n\0"s},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sh.run(c.line), c.out) << c.line;
    int rc = 0;
    EXPECT_EQ(sh.run("echo -h", &rc).rfind("echo [opt] [string|var]...\nEcho the STRING(s) to output\n", 0), 0u);
    EXPECT_EQ(rc, 1);
}

TEST_F(Shell, UnsetKeepsTheOrderOfTheOthers)
{
    sh.run("U1=1;U2=2;U3=3");
    int rc = 1;
    EXPECT_EQ(sh.run("unset U1 nope", &rc), "\0"s);
    EXPECT_EQ(rc, 0);
    std::string env = sh.run("env");
    EXPECT_EQ(env.find("U1="), std::string::npos);
    size_t u2 = env.find("\nU2=2\n");
    ASSERT_NE(u2, std::string::npos);
    EXPECT_EQ(env.find("\nU3=3\n"), u2 + 5);
    EXPECT_EQ(sh.run("unset", &rc), "unsetenv: Too few arguments\n\0"s);
    EXPECT_EQ(rc, -1);
}

TEST_F(Shell, HelpListsEveryRowAndAppRowsFirst)
{
    static const sh_cmd app[] = {
        {"zz_app", [](sh_ctx *c, int, char **) { c->printf(c->out, "app\n"); return 0; }, nullptr, "An app row"},
        {"pwd", [](sh_ctx *c, int, char **) { c->printf(c->out, "shadowed\n"); return 0; }, nullptr, "Not run"},
        {nullptr, nullptr, nullptr, nullptr},
    };
    libsh_set_app_cmds(app);
    std::string out = sh.run("help");
    EXPECT_EQ(out.rfind("zz_app    \tAn app row\npwd       \tNot run\nshow      \tShow the status of the program\n", 0), 0u);
    EXPECT_NE(out.find("?         \tSynonym for `help'\n\nFor more information, type 'help command' for each command.\n"
                       "e.g. help pwd\n\0"s),
              std::string::npos);
    EXPECT_EQ(sh.run("zz_app"), "app\n\0"s);
    EXPECT_NE(sh.run("pwd"), "shadowed\n\0"s);  // the built-in wins
    libsh_set_app_cmds(nullptr);
    EXPECT_STREQ(libsh_cmd_help_text("cd"), "get cmd help failed");
}

namespace {
std::atomic<int> g_exits{0};
int count_exit() { g_exits++; return 0; }
}  // namespace

TEST_F(Shell, ExitRunsTheHookAndQuitOnlyEndsTheSession)
{
    libsh_set_exit_proc(count_exit);
    EXPECT_EQ(sh.run("quit"), "\0\0"s);
    EXPECT_EQ(sh.ctx.exit_flag, 1u);
    EXPECT_EQ(g_exits.load(), 0);
    sh.ctx.exit_flag = 0;
    EXPECT_EQ(sh.run("e"), "\0\0"s);
    EXPECT_EQ(sh.ctx.exit_flag, 1u);
    EXPECT_EQ(g_exits.load(), 1);
    libsh_set_exit_proc(nullptr);
}

// "help NAME" and "? NAME" only print: for every built-in row the usage
// comes out, the session and the process go on, and nothing the shell keeps
// (variables, environment, aliases, directory) has changed.
TEST_F(Shell, HelpOfEveryCommandOnlyPrintsItsUsage)
{
    const std::string tail = "\n\t-h Display this help\n";
    const std::string listing = "show      \tShow the status of the program\n";
    const struct {
        const char *name;
        std::string usage;  // the start of what is printed
    } rows[] = {
        {"show", "Show the status of the program\nshow info -- "},
        {"set", "Set public options\nset log.level "},
        {"call", "call application commands\ncall kill -- "},
        {"pwd", "pwd\nPrint working directory" + tail},
        {"alias", "alias [name[=value] ...]\nDefine or display alias" + tail},
        {"unalias", "unalias [-a] [name ...]\nDelete the alias set by alias" + tail},
        {"unset", "unset [var ...]\nCancel environment variable" + tail},
        {"echo", "echo [opt] [string|var]...\nEcho the STRING(s) to output" + tail},
        {"env", "env\nDisplay all variables" + tail},
        {"source", "source [opt] [file]...\nExec commands from file\n-h: Display this help\n"},
        {"exit", "exit\nExit the service program" + tail},
        {"quit", "quit\nQuit the current session" + tail},
        {"help", listing},
        {"?", listing},
    };
    const auto state = [this] {
        char dir[4096] = "";
        EXPECT_NE(getcwd(dir, sizeof(dir)), nullptr);
        return sh.run("show dvar") + sh.run("env") + sh.run("alias") + dir;
    };
    libsh_set_exit_proc(count_exit);
    const int exits = g_exits.load();
    const std::string before = state();
    size_t covered = 0;
    for (const sh_cmd *cmd = g_sh_builtin_cmds; cmd->name != nullptr; cmd++, covered++) {
        const auto *row = std::find_if(std::begin(rows), std::end(rows),
                                       [cmd](const auto &r) { return std::strcmp(r.name, cmd->name) == 0; });
        ASSERT_NE(row, std::end(rows)) << "no usage row for " << cmd->name;
        for (const char *asker : {"help ", "? "}) {
            const std::string line = asker + std::string(cmd->name);
            int rc = 99;
            const std::string out = sh.run(line, &rc);
            EXPECT_EQ(rc, 0) << line;
            EXPECT_EQ(out.rfind(row->usage, 0), 0u) << line << " printed:\n" << out;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\0'), 1) << line;
            EXPECT_EQ(sh.ctx.exit_flag, 0u) << line;
            EXPECT_EQ(g_exits.load(), exits) << line;
            EXPECT_EQ(state(), before) << line;
        }
    }
    EXPECT_EQ(covered, std::size(rows));
    libsh_set_exit_proc(nullptr);
}

TEST_F(Shell, CdChangesAndRemembersTheOldDirectory)
{
    char start[4096];
    ASSERT_NE(getcwd(start, sizeof(start)), nullptr);
    char *argv[] = {const_cast<char *>("cd"), const_cast<char *>("/tmp"), nullptr};
    sh_getopt_reset(&sh.ctx.opt);
    EXPECT_EQ(cmd_cd(&sh.ctx, 2, argv), 0);
    EXPECT_STREQ(sh_getenv("OLDPWD"), start);
    char *back[] = {const_cast<char *>("cd"), const_cast<char *>("-"), nullptr};
    sh_getopt_reset(&sh.ctx.opt);
    EXPECT_EQ(cmd_cd(&sh.ctx, 2, back), 0);
    char now[4096];
    EXPECT_STREQ(getcwd(now, sizeof(now)), start);
    char *many[] = {const_cast<char *>("cd"), const_cast<char *>("a"), const_cast<char *>("b"), nullptr};
    sh_getopt_reset(&sh.ctx.opt);
    sh.out.clear();
    EXPECT_EQ(cmd_cd(&sh.ctx, 3, many), -1);
    EXPECT_EQ(sh.out, "cd: too many arguments\n");
    const tool_dir dir;
    std::string missing = dir.path() + "/missing";
    char *bad[] = {const_cast<char *>("cd"), missing.data(), nullptr};
    sh_getopt_reset(&sh.ctx.opt);
    EXPECT_EQ(cmd_cd(&sh.ctx, 2, bad), -1);
}

// Many sessions at once share the remembered line, the aliases and the
// environment copy under one lock; none may see a torn entry or crash.
TEST_F(Shell, SessionsRunConcurrently)
{
    alias_reset reset;
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t, &bad] {
            sh_capture s;
            for (int i = 0; i < 200; i++) {
                std::string n = std::to_string(t);
                std::string out = s.run("V" + n + "=" + std::to_string(i) + "; alias k" + n + "=\"echo " + n +
                                        "\"; k" + n + "; sd");
                if (out.rfind("\0"s + n + "\n\0"s, 0) != 0)
                    bad++;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(ShellDeath, KillEndsTheProcessWithStatusZero)
{
    libsh_init();
    EXPECT_EXIT({ sh_capture s; s.run("call kill"); }, ::testing::ExitedWithCode(0), "");
}

TEST(ShellDeath, NullTakesTheFaultPath)
{
    libsh_init();
    // Without the daemon's panic handler the fault ends the test child by the
    // default action (or by the sanitizer's report).
    EXPECT_DEATH({ sh_capture s; s.run("call null"); }, "");
}

// "show llog" in three sessions while six threads log at verb level: every
// reply is printable text within the recent buffer's size (a copy taken
// while the logger rewrites its buffer loses its end and reads past it).
TEST(ShellRecentLog, ShowLlogRepliesStayWholeWhileOthersLog)
{
    libsh_init();
    const int old_level = log2_get_level(nullptr);
    log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(intptr_t{0}), 0);
    log2_set_level(nullptr, LOG2_VERB);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 6; t++) {
        loggers.emplace_back([&stop, t] {
            for (int i = 0; !stop.load(); i++)
                log2_printf(nullptr, LOG2_VERB, "t", __FILE__, __LINE__, __func__, "session %d line %d %.*s\n", t, i,
                            i % 113, "................................................................"
                                     "................................................................");
        });
    }
    std::vector<std::thread> sessions;
    for (int s = 0; s < 3; s++) {
        sessions.emplace_back([&] {
            sh_capture sh;
            for (int i = 0; i < 2000; i++) {
                std::string out = sh.run("show llog");
                while (!out.empty() && out.back() == '\0')
                    out.pop_back();
                bool ok = out.size() < LOG2_RECENT_SIZE;
                for (const char c : out)
                    ok = ok && (c == '\n' || (c >= 0x20 && c <= 0x7e));
                if (!ok)
                    bad++;
            }
        });
    }
    for (auto &th : sessions)
        th.join();
    stop.store(true);
    for (auto &th : loggers)
        th.join();
    log2_set_level(nullptr, old_level);
    EXPECT_EQ(bad.load(), 0);
}
