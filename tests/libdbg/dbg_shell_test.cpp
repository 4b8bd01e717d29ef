#include "libdbg/dbg_shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "dbg_fixture.h"
#include "libpal/tframe/app_desc.h"
#include "libpal/value/var_mgr.h"

using namespace std::string_literals;

namespace {

// The daemon's read-only flag as it registers it: an enumeration "0|1" stored
// through a pointer, without callbacks.
int g_readonly = 1;
dvar g_readonly_var{"nbd_readonly_flag", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {VALUE_TYPE_PINT, {}}};

void register_readonly_flag()
{
    static bool done = false;
    if (!done) {
        g_readonly_var.value.v.pint = &g_readonly;
        libsh_dvar_add(&g_readonly_var);
        done = true;
    }
}

}  // namespace

TEST_F(DebugShell, ExactBytesOfCommandReplies)
{
    register_readonly_flag();
    tcp_client c(port);
    ASSERT_GE(c.fd, 0);
    struct {
        std::string in;
        int nuls;
        std::string out;
    } const cases[] = {
        {"set log.level info\0"s, 1, "\0"s},
        {"show dvar\0"s, 1, "log.level=info\r\nnbd_readonly_flag=1\r\n\0"s},
        {"set log.level dbg\n"s, 1, "\0"s},
        {"show dvar\r\n"s, 1, "log.level=dbg\r\nnbd_readonly_flag=1\r\n\0"s},
        {"set log.level debug\n"s, 1, "error: invalid param [debug]\r\n\r\n\0"s},
        {"set nbd_readonly_flag yes\n"s, 1, "error: invalid param [yes]\r\n\r\n\0"s},
        {"nosuch\n"s, 1, "command not found: [nosuch]\r\nType `help` to learn how to use prompt\r\n\0"s},
        {"call tlog\n"s, 2, "\0\0"s},
        {"# only a comment\necho after\n"s, 1, "after\r\n\0"s},
        {"echo -n \"trail  \"\n"s, 1, "trail\0"s},
        {"a sc\n"s, 1, "sc='show config'\r\n\0"s},
        {"set log.level info\n"s, 1, "\0"s},
    };
    for (const auto &k : cases) {
        ASSERT_TRUE(c.send_all(k.in));
        EXPECT_EQ(c.read_nuls(k.nuls), k.out) << k.in;
    }
    EXPECT_EQ(g_readonly, 1);
    ASSERT_TRUE(c.send_all("help\n"));
    std::string help = c.read_nuls(1);
    EXPECT_EQ(help.rfind("show      \tShow the status of the program\r\nset       \tSet public options\r\n", 0), 0u);
    EXPECT_NE(help.find("\r\nFor more information, type 'help command' for each command.\r\ne.g. help pwd\r\n\0"s),
              std::string::npos);
    ASSERT_TRUE(c.send_all("quit\n"));
    EXPECT_EQ(c.read_nuls(2), "\0\0"s);
    EXPECT_TRUE(c.closed_within(3000));
}

// A megabyte without a line end is never run as a command: other sessions are
// served meanwhile, and the line end that finally comes refuses the line and
// ends only that session.
TEST_F(DebugShell, OverlongLineEndsOnlyThatSession)
{
    tcp_client flood(port);
    ASSERT_GE(flood.fd, 0);
    ASSERT_TRUE(flood.send_all("echo " + std::string(1 << 20, 'x')));

    tcp_client other(port);
    ASSERT_TRUE(other.send_all("echo served\n"));
    EXPECT_EQ(other.read_nuls(1), "served\r\n\0"s);

    flood.send_all("\n");
    EXPECT_TRUE(flood.closed_within(120000));  // read a byte at a time: slow under sanitizers
    ASSERT_TRUE(other.send_all("echo still\n"));
    EXPECT_EQ(other.read_nuls(1), "still\r\n\0"s);

    // 8190 bytes are a line, refused by the shell's 4096-byte line with a
    // message; 8191 end the session.
    tcp_client longest(port);
    ASSERT_TRUE(longest.send_all("echo " + std::string(8185, 'y') + "\n"));
    EXPECT_EQ(longest.read_nuls(1), "error: command line too long (8190 bytes, at most 4095)\r\n\0"s);
    ASSERT_TRUE(longest.send_all("echo " + std::string(8186, 'y') + "\n"));
    EXPECT_TRUE(longest.closed_within(5000));
}

TEST_F(DebugShell, HundredSessionsAtOnce)
{
    std::vector<std::unique_ptr<tcp_client>> clients;
    for (int i = 0; i < 100; i++) {
        clients.push_back(std::make_unique<tcp_client>(port));
        ASSERT_GE(clients.back()->fd, 0) << i;
    }
    for (int i = 0; i < 100; i++)
        ASSERT_TRUE(clients[static_cast<size_t>(i)]->send_all("echo s" + std::to_string(i) + "\n"));
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(clients[static_cast<size_t>(i)]->read_nuls(1), "s" + std::to_string(i) + "\r\n\0"s) << i;
}

TEST_F(DebugShell, PeerGoneMidCommandLeavesTheServiceRunning)
{
    {
        tcp_client half(port);
        half.send_all("echo never ended");  // no line end, then gone
    }
    {
        tcp_client gone(port);
        gone.send_all("help\nhelp\nhelp\n");  // replies nobody reads
    }
    tcp_client next(port);
    ASSERT_TRUE(next.send_all("echo alive\n"));
    EXPECT_EQ(next.read_nuls(1), "alive\r\n\0"s);
}

namespace {
std::atomic<int> g_stops{0};
// As the daemon's stop sequence: stops the debug shell service from the
// session thread that ran "exit".
int stop_service()
{
    g_stops++;
    debug_shell_server_exit();
    return 0;
}
}  // namespace

TEST_F(DebugShell, ExitRunsTheStopFromTheSessionThread)
{
    tcp_client other(port);
    ASSERT_TRUE(other.send_all("echo other\n"));
    EXPECT_EQ(other.read_nuls(1), "other\r\n\0"s);
    libsh_set_exit_proc(stop_service);
    tcp_client c(port);
    ASSERT_TRUE(c.send_all("exit\n"));
    EXPECT_EQ(c.read_nuls(2), "\0\0"s);
    EXPECT_TRUE(c.closed_within(5000));
    EXPECT_TRUE(other.closed_within(5000));  // the other session was stopped too
    EXPECT_EQ(g_stops.load(), 1);
    EXPECT_EQ(debug_shell_server_port(), 0u);
    libsh_set_exit_proc(nullptr);
}

TEST(DebugShellSetup, PromptAndPlaceholders)
{
    EXPECT_EQ(debug_shell_init(nullptr), -1);
    debug_shell_param p{"0123456789012345678901234567890123"};
    EXPECT_EQ(debug_shell_init(&p), 0);
    EXPECT_EQ(debug_bsv_pipe_srv_init("zorv"), -1);
    EXPECT_EQ(debug_bsv_pipe_srv_exit(), 0);
    EXPECT_STREQ(debug_bsv_pipe_name(), "");
    sh_ctx ctx{};
    net_conn conn{};
    EXPECT_EQ(dbgsh_srv_ctx_init(&ctx, &conn, 2, 0), -1);
    EXPECT_EQ(ctx.printf, nullptr);
    EXPECT_EQ(dbgsrv_open("pipe://./x"), nullptr);
}

namespace {

// Runs the console session in a child with standard input and output on files;
// the child exits 0 when its output holds expected.
void run_console(const std::string &input, const std::string &expected, bool stop_later)
{
    char in_path[] = "/tmp/dbg_console_inXXXXXX";
    char out_path[] = "/tmp/dbg_console_outXXXXXX";
    int in = mkstemp(in_path);
    int out = mkstemp(out_path);
    ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    dup2(in, 0);
    dup2(out, 1);
    libsh_init();
    libsh_set_exit_proc([] { __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE); return 0; });
    std::thread stopper;
    if (stop_later)
        stopper = std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE);
        });
    debug_shell_stdio_loop();
    if (stopper.joinable())
        stopper.join();
    fflush(stdout);
    std::ifstream f(out_path);
    std::stringstream s;
    s << f.rdbuf();
    unlink(in_path);
    unlink(out_path);
    _exit(s.str().find(expected) != std::string::npos && __atomic_load_n(&g_app.stopped, __ATOMIC_ACQUIRE) == 1 ? 0 : 1);
}

}  // namespace

TEST(DebugShellConsole, QRunsTheStopSequenceOnTheConsole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_console("echo hi\nq\necho never\n", "hi\r\n\0>\0\0"s, false), ::testing::ExitedWithCode(0),
                "");
}

TEST(DebugShellConsole, EndOfInputWaitsForTheStoppedFlag)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_console("echo last\n", "last\r\n\0"s, true), ::testing::ExitedWithCode(0), "");
}
