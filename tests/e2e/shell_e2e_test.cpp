// The debug shell end to end: the program named by ZORV_E2E_BIN (the daemon,
// or the shell stand-in until the daemon serves its shell) is started on free
// loopback ports with standard input at its end, and driven over TCP and with
// its own -e client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../libsh/sh_fixture.h"
#include "../support/held_port.h"
#include "../support/shell_tcp_client.h"

using namespace std::string_literals;
using clock_type = std::chrono::steady_clock;

namespace {

const char *binary() { return std::getenv("ZORV_E2E_BIN"); }

// Runs the binary with args; standard input from /dev/null, output to out_path.
pid_t spawn(const std::vector<std::string> &args, const std::string &out_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(binary()));
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(binary(), argv.data());
        _exit(127);
    }
    return pid;
}

// The exit status within ms, or -1 (the process is then killed).
int wait_exit(pid_t pid, int ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (clock_type::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// True when log, what the daemon said, tells that one of ports (picked for
// it) was taken by another process before it bound it: its instance check
// found the NBD port answering, or the listener started on that port could
// not bind it.
bool port_taken(const std::string &log, const std::vector<uint32_t> &ports)
{
    for (const uint32_t port : ports) {
        const std::string p = std::to_string(port);
        if (log.find("Can only run one instance: 127.0.0.1:" + p + " already answers") != std::string::npos ||
            log.find("]:" + p + " cannot be opened: Address already in use") != std::string::npos)
            return true;
    }
    return false;
}

class ShellE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (binary() == nullptr)
            GTEST_SKIP() << "ZORV_E2E_BIN not set";
        std::string t = ::testing::TempDir() + "zorv_e2e_XXXXXX";
        int fd = mkstemp(t.data());
        close(fd);
        log_path = t;
        // Another process may take a port picked free before the daemon
        // binds it: the start is tried again on new ones.
        for (int attempt = 0; attempt < 5; attempt++) {
            shell_port = free_port();
            nbd_port = free_port();
            pid = spawn({"-q", "-s", "debug_server_port=" + std::to_string(shell_port), "-s",
                         "nbd_server_port=" + std::to_string(nbd_port)},
                        log_path);
            if (serving())
                return;
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                pid = -1;
            }
            if (!port_taken(read_file(log_path), {shell_port, nbd_port}))
                break;
        }
        FAIL() << "the debug shell did not open; log:\n" << read_file(log_path);
    }
    // Until the daemon's own debug shell answers: false once it has ended or
    // said that a port was taken.
    bool serving()
    {
        auto end = clock_type::now() + std::chrono::seconds(10);
        while (clock_type::now() < end) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            if (port_taken(read_file(log_path), {shell_port, nbd_port}))
                return false;
            tcp_client probe(shell_port);
            if (probe.fd >= 0 && waitpid(pid, nullptr, WNOHANG) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!log_path.empty())
            unlink(log_path.c_str());
    }
    // Runs binary -e cmd: its exit status and what it printed.
    int run_client(const std::string &cmd, uint32_t port, std::string *out, int ms = 10000)
    {
        std::string path = log_path + ".cli";
        pid_t cli = spawn({"-q", "-s", "debug_server_port=" + std::to_string(port), "-e", cmd}, path);
        int rc = wait_exit(cli, ms);
        *out = read_file(path);
        unlink(path.c_str());
        return rc;
    }

    uint32_t shell_port = 0;
    uint32_t nbd_port = 0;
    std::string log_path;
    pid_t pid = -1;
};

}  // namespace

TEST_F(ShellE2E, ExactBytesOverTcp)
{
    tcp_client c(shell_port);
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(c.send_all("set log.level info\n"));
    ASSERT_EQ(c.read_nuls(1), "\0"s);
    struct {
        std::string in;
        int nuls;
        std::string out;
    } const cases[] = {
        {"show dvar\n"s, 1, "log.level=info\r\nnbd_readonly_flag=1\r\n\0"s},
        {"set log.level dbg\0"s, 1, "\0"s},
        {"show dvar\n"s, 1, "log.level=dbg\r\nnbd_readonly_flag=1\r\n\0"s},
        {"set log.level debug\n"s, 1, "error: invalid param [debug]\r\n\r\n\0"s},
        {"set nbd_readonly_flag yes\n"s, 1, "error: invalid param [yes]\r\n\r\n\0"s},
        {"show dvar\n"s, 1, "log.level=dbg\r\nnbd_readonly_flag=1\r\n\0"s},
        {"frobnicate\n"s, 1, "command not found: [frobnicate]\r\nType `help` to learn how to use prompt\r\n\0"s},
        {"call tlog\n"s, 2, "\0\0"s},
        {"set log.level info\n"s, 1, "\0"s},
    };
    for (const auto &k : cases) {
        ASSERT_TRUE(c.send_all(k.in));
        EXPECT_EQ(c.read_nuls(k.nuls), k.out) << k.in;
    }

    ASSERT_TRUE(c.send_all("alias\n"));
    // "sb" hashes to bucket 25, between "a" and "sc".
    EXPECT_EQ(c.read_nuls(1), "e='exit'\r\ns='show'\r\nc='call'\r\nq='quit'\r\na='alias'\r\n"
                              "sb='show block'\r\nsc='show config'\r\nsd='show dvar'\r\n"
                              "si='show info'\r\nsl='show llog'\r\nsm='show memory'\r\n\0"s);

    ASSERT_TRUE(c.send_all("help\n"));
    std::string help = c.read_nuls(1);
    EXPECT_EQ(help.rfind("show      \tShow the status of the program\r\nset       \tSet public options\r\n"
                         "call      \tcall application commands\r\n",
                         0),
              0u);
    EXPECT_NE(help.find("?         \tSynonym for `help'\r\n\r\nFor more information, type 'help command' for each "
                        "command.\r\ne.g. help pwd\r\n\0"s),
              std::string::npos);

    ASSERT_TRUE(c.send_all("quit\n"));
    EXPECT_EQ(c.read_nuls(2), "\0\0"s);
    EXPECT_TRUE(c.closed_within(3000));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "quit must end only the session";
}

TEST_F(ShellE2E, ClientPrintsTheRepliesAndExitsZero)
{
    std::string out;
    EXPECT_EQ(run_client("show dvar", shell_port, &out), 0);
    EXPECT_NE(out.find("log.level=info\nnbd_readonly_flag=1\n"), std::string::npos) << out;
}

TEST_F(ShellE2E, ClientWithoutAnInstanceSaysSoAndExitsOne)
{
    // Nothing answers: no reply, a line naming the address and the reason.
    std::string out;
    const held_port dead;
    const uint32_t port = dead.port;
    EXPECT_EQ(run_client("show dvar", port, &out, 3000), 1);
    EXPECT_NE(out.find("cannot reach the debug shell: sock_connect 127.0.0.1:" + std::to_string(port) + " error: "),
              std::string::npos)
        << out;
}

TEST_F(ShellE2E, BadInputLeavesTheServiceRunning)
{
    {
        tcp_client gone(shell_port);
        gone.send_all("echo never ended");
    }
    std::vector<std::unique_ptr<tcp_client>> many;
    for (int i = 0; i < 100; i++)
        many.push_back(std::make_unique<tcp_client>(shell_port));
    for (size_t i = 0; i < many.size(); i++)
        ASSERT_TRUE(many[i]->send_all("echo s" + std::to_string(i) + "\n"));
    for (size_t i = 0; i < many.size(); i++)
        EXPECT_EQ(many[i]->read_nuls(1), "s" + std::to_string(i) + "\r\n\0"s);
    many.clear();
    // A megabyte line is refused with an error and the session goes on.
    tcp_client flood(shell_port);
    ASSERT_TRUE(flood.send_all(std::string(1 << 20, 'x') + "\necho alive\n"));
    EXPECT_EQ(flood.read_nuls(2, 120000), "error: command line too long (at most 8190 bytes)\r\n\0alive\r\n\0"s);
    tcp_client after(shell_port);
    ASSERT_TRUE(after.send_all("echo alive\n"));
    EXPECT_EQ(after.read_nuls(1), "alive\r\n\0"s);
    // A peer quiet inside an over-long line does not hold the stop signal.
    ASSERT_TRUE(after.send_all(std::string(10000, 'x')));
    EXPECT_EQ(after.read_nuls(1), "error: command line too long (at most 8190 bytes)\r\n\0"s);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid, 10000), 0) << read_file(log_path);
    pid = -1;
}

TEST_F(ShellE2E, ExitFromTcpStopsTheProgramWithStatusZero)
{
    tcp_client c(shell_port);
    ASSERT_TRUE(c.send_all("exit\n"));
    EXPECT_EQ(c.read_nuls(2), "\0\0"s);
    EXPECT_EQ(wait_exit(pid, 10000), 0) << read_file(log_path);
    pid = -1;
}

// "help NAME" and "? NAME" for every command the listing names, over a TCP
// session and through -e: the usage only, the session and the daemon live on
// and the variables keep their values ("help exit" used to stop the daemon).
TEST_F(ShellE2E, HelpOfEveryCommandOnlyPrints)
{
    tcp_client c(shell_port);
    ASSERT_GE(c.fd, 0);
    expect_help_only_prints(c, [this](const std::string &line, const std::string &help) {
        std::string out;
        EXPECT_EQ(run_client(line, shell_port, &out), 0) << line;
        EXPECT_NE(out.find(help + "\n"), std::string::npos) << line << ": " << out;
    });
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the daemon must still run";
}

// Nested "source" over a TCP session and through -e, on the session
// thread's stack: 16 levels, one refusal line for the 17th, the daemon
// serving after (a file that sourced itself used to end it with SIGSEGV).
TEST_F(ShellE2E, NestedSourceStopsAtSixteenLevels)
{
    tcp_client c(shell_port);
    ASSERT_GE(c.fd, 0);
    expect_nesting_over(c, [this](const scratch_dir &dir, const nesting_case &k) {
        // -e prints a command's first reply: of files that only source, the refusal.
        const auto [first, refused] = nesting_files(dir, k, false);
        std::string out;
        EXPECT_EQ(run_client("source " + first, shell_port, &out, 60000), 0) << k.name;
        EXPECT_EQ(count_of(out, "source: [" + refused + "] nested deeper than 16, not run\n"), k.refused ? 1u : 0u)
            << k.name << ": " << out;
    });
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the daemon must still run";
}
