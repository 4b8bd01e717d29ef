#include "libdbg/dbg_shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../libpal/wakeups.h"
#include "../libsh/sh_fixture.h"
#include "../support/on_leave.h"
#include "dbg_fixture.h"
#include "liblog/log2.h"
#include "libpal/tframe/app_desc.h"

using namespace std::string_literals;

TEST_F(DebugShell, ExactBytesOfCommandReplies)
{
    register_readonly_flag();
    tcp_client c(port);
    ASSERT_GE(c.fd, 0);
    expect_replies(c, shell_reply_cases());
    EXPECT_EQ(g_readonly, 1);
    expect_help(c);
    ASSERT_TRUE(c.send_all("quit\n"));
    EXPECT_EQ(c.read_nuls(2), "\0\0"s);
    EXPECT_TRUE(c.closed_within(3000));
}

namespace {
const std::string k_too_long = "error: command line too long (at most 8190 bytes)\r\n\0"s;
}  // namespace

// A megabyte without a line end is refused as soon as it outgrows the line,
// never run: other sessions are served meanwhile, the rest of the line is
// dropped up to its end and the same session runs the next line.
TEST_F(DebugShell, OverlongLineIsRefusedAndTheSessionGoesOn)
{
    register_readonly_flag();
    tcp_client flood(port);
    ASSERT_GE(flood.fd, 0);
    ASSERT_TRUE(flood.send_all("set log.level info\n"));
    ASSERT_EQ(flood.read_nuls(1), "\0"s);
    ASSERT_TRUE(flood.send_all("echo " + std::string(1 << 20, 'x')));
    EXPECT_EQ(flood.read_nuls(1, 120000), k_too_long);  // read a byte at a time: slow under sanitizers

    tcp_client other(port);
    ASSERT_TRUE(other.send_all("echo served\n"));
    EXPECT_EQ(other.read_nuls(1), "served\r\n\0"s);

    ASSERT_TRUE(flood.send_all(std::string(1 << 20, 'x') + "\nshow dvar\n"));
    EXPECT_EQ(flood.read_nuls(1, 120000), "log.level=info\r\nnbd_readonly_flag=1\r\n\0"s);

    // 8190 bytes are a line, refused by the shell's 4096-byte line with a
    // message; 8191 are refused by the session, which goes on.
    struct {
        size_t len;
        std::string out;
    } const cases[] = {
        {8190, "error: command line too long (8190 bytes, at most 4095)\r\n\0"s},
        {8191, k_too_long},
        {8192, k_too_long},
    };
    for (const auto &k : cases) {
        ASSERT_TRUE(flood.send_all("echo " + std::string(k.len - 5, 'y') + "\n"));
        EXPECT_EQ(flood.read_nuls(1), k.out) << k.len;
        ASSERT_TRUE(flood.send_all("echo next\r\n"));
        EXPECT_EQ(flood.read_nuls(1), "next\r\n\0"s) << k.len;
    }
}

// A peer that goes quiet inside an over-long line is an idle session: the
// service still stops promptly.
TEST_F(DebugShell, QuietPeerAfterAnOverlongLineDoesNotHoldTheStop)
{
    tcp_client quiet(port);
    ASSERT_TRUE(quiet.send_all(std::string(10000, 'x')));
    EXPECT_EQ(quiet.read_nuls(1), k_too_long);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(debug_shell_server_exit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(quiet.closed_within(5000));
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
    EXPECT_EQ(dbgsrv_open("pipe://./stdio"), nullptr);
}

namespace {

// Standard input and output of this (child) process on two temporary files.
struct console_files {
    char in_path[32] = "/tmp/dbg_console_inXXXXXX";
    char out_path[32] = "/tmp/dbg_console_outXXXXXX";

    explicit console_files(const std::string &input)
    {
        int in = mkstemp(in_path);
        int out = mkstemp(out_path);
        if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            _exit(2);
        lseek(in, 0, SEEK_SET);
        dup2(in, 0);
        dup2(out, 1);
    }
    ~console_files()
    {
        unlink(in_path);
        unlink(out_path);
    }
    std::string output() const
    {
        std::ifstream f(out_path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

// Runs the console session in a child with standard input and output on files;
// the child exits 0 when its output holds expected.
void run_console(const std::string &input, const std::string &expected)
{
    bool ok = false;
    {
        console_files files(input);
        libsh_init();
        libsh_set_exit_proc([] { __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE); return 0; });
        debug_shell_stdio_loop();
        fflush(stdout);
        ok = files.output().find(expected) != std::string::npos &&
             __atomic_load_n(&g_app.stopped, __ATOMIC_ACQUIRE) == 1;
    }
    _exit(ok ? 0 : 1);
}

uint64_t cpu_ms(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// The console runs its one command and reaches the end of its input; it must
// then wait, without spinning, until the stopped flag is set, and end soon
// after. What went wrong, or nothing.
std::string end_of_input_fault()
{
    console_files files("echo last\n");
    libsh_init();
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    std::thread console([&] {
        tid = gettid();
        debug_shell_stdio_loop();
        returned = true;
    });
    // Whatever happens, the console is told to stop; one that does not is left.
    struct stop_console {
        std::thread &t;
        ~stop_console()
        {
            __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE);
            t.detach();
        }
    } stop{console};

    for (int i = 0; i < 1000 && files.output().find("last\r\n\0"s) == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (files.output().find("last\r\n\0"s) == std::string::npos)
        return "the command never ran";
    clockid_t cpu{};
    // A thread that has ended has no clock any more.
    if (returned.load() || pthread_getcpuclockid(console.native_handle(), &cpu) != 0)
        return "returned before the stopped flag was set";
    const uint64_t cpu_from = cpu_ms(cpu);
    const uint64_t sleeps_from = thread_wakeups(tid);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    if (returned.load())
        return "returned before the stopped flag was set";
    // Waiting in one-second steps: a few wake-ups and no CPU to speak of.
    if (cpu_ms(cpu) - cpu_from > 200)
        return "spun on the end of its input";
    if (thread_wakeups(tid) - sleeps_from > 10)
        return "woke up too often at the end of its input";
    __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE);
    for (int i = 0; i < 300 && !returned.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!returned.load())
        return "still waiting 3 s after the stopped flag";
    return "";
}

// In a child: exits 0 when the console waited as it should, else 1 with the
// fault on standard error.
void console_at_end_of_input()
{
    const std::string fault = end_of_input_fault();
    if (!fault.empty())
        fprintf(stderr, "%s\n", fault.c_str());
    _exit(fault.empty() ? 0 : 1);
}

}  // namespace

TEST(DebugShellConsole, QRunsTheStopSequenceOnTheConsole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_console("echo hi\nq\necho never\n", "hi\r\n\0>\0\0"s), ::testing::ExitedWithCode(0), "");
}

TEST(DebugShellConsole, EndOfInputWaitsForTheStoppedFlag)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(console_at_end_of_input(), ::testing::ExitedWithCode(0), "");
}

// What a TCP session runs on its own thread, of the default stack size, and
// what stopping the service does to sessions that are idle or busy.
class DebugShellSession : public DebugShell {};

TEST_F(DebugShellSession, NestedSourceStopsAtSixteenLevelsAndTheSessionGoesOn)
{
    tcp_client c(port);
    ASSERT_GE(c.fd, 0);
    expect_nesting_over(c, [](const scratch_dir &, const nesting_case &) {});
    tcp_client other(port);
    ASSERT_TRUE(other.send_all("echo served\n"));
    EXPECT_EQ(other.read_nuls(1), "served\r\n\0"s);
}

namespace {
std::atomic<int> g_help_stops{0};
}  // namespace

// "help NAME" for every command only prints its usage: the session stays
// open, the exit hook never runs, the settable variables keep their values.
TEST_F(DebugShellSession, HelpOfEveryCommandOnlyPrints)
{
    register_readonly_flag();
    libsh_set_exit_proc([] { return ++g_help_stops; });
    tcp_client c(port);
    ASSERT_GE(c.fd, 0);
    expect_help_only_prints(c, [](const std::string &, const std::string &) {});
    EXPECT_EQ(g_help_stops.load(), 0);
    EXPECT_NE(debug_shell_server_port(), 0u);
    libsh_set_exit_proc(nullptr);
}

// The stop marks every session under the pool's lock while their threads
// run: idle sessions waiting for a line and busy ones in the middle of a
// stream of commands all end, and nothing the sessions set races with the
// stopper's reads (the ThreadSanitizer run checks this).
TEST_F(DebugShellSession, StopWithIdleAndBusySessions)
{
    // Quiet, as the daemon at level err: the log's lock, taken by the
    // session threads and the stopper at every line, would order the
    // accesses the stop races and hide the race from the sanitizer.
    uint32_t level = 0;
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_CMD_GET_LEVEL, &level, sizeof(level)), 0);
    const auto set_level = [](uint32_t to) {
        return log2_ioctl(nullptr, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{to}), 0);
    };
    const on_leave restore{[level, set_level] { set_level(level); }};
    ASSERT_EQ(set_level(LOG2_ERR), 0);
    // The idle ones send nothing: a command takes locks the stopper takes
    // too, which would order the race away. They are accepted before the
    // busy ones that connect after them are served.
    std::vector<std::unique_ptr<tcp_client>> idle;
    for (int i = 0; i < 4; i++) {
        idle.push_back(std::make_unique<tcp_client>(port));
        ASSERT_GE(idle.back()->fd, 0);
    }
    std::vector<std::unique_ptr<tcp_client>> busy;
    std::vector<std::thread> drivers;
    std::atomic<int> replies{0};
    for (int i = 0; i < 4; i++)
        busy.push_back(std::make_unique<tcp_client>(port));
    for (auto &b : busy) {
        drivers.emplace_back([&replies, client = b.get()] {
            while (client->send_all("show dvar\n") && !client->read_nuls(1, 5000).empty())
                replies++;
        });
    }
    for (int i = 0; i < 2000 && replies.load() < 40; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(replies.load(), 40);
    EXPECT_EQ(debug_shell_server_exit(), 0);
    for (auto &d : drivers)
        d.join();
    for (auto &i : idle)
        EXPECT_TRUE(i->closed_within(5000));
    EXPECT_EQ(debug_shell_server_port(), 0u);
}
