// Debug shell sessions over named pipes: the server of dbgsrv_open and
// debug_shell_pipe_loop, with raw pipe clients and the debug client.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "libdbg/dbg_cli.h"
#include "libdbg/dbg_shell.h"
#include "dbg_fixture.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "../libpal/str_log_capture.h"

using namespace std::string_literals;
using clock_type = std::chrono::steady_clock;

namespace {

// A raw client of a pipe session: the exact bytes of each reply.
struct pipe_client {
    os_name_pipe_cli *cli;

    explicit pipe_client(const std::string &name) : cli(os_name_pipe_cli_open(name.c_str())) {}
    ~pipe_client()
    {
        if (cli != nullptr)
            os_name_pipe_cli_close(cli);
    }
    pipe_client(const pipe_client &) = delete;
    pipe_client &operator=(const pipe_client &) = delete;

    bool send_all(const std::string &bytes)
    {
        return os_name_pipe_cli_write(cli, bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
    }
    // Reads until nuls NUL bytes have arrived or the server has gone.
    std::string read_nuls(int nuls)
    {
        std::string got;
        for (int seen = 0; seen < nuls;) {
            char c;
            if (os_name_pipe_cli_read(cli, &c, 1) != 1)
                break;
            got += c;
            seen += c == '\0';
        }
        return got;
    }
};

// A channel name of this process, its FIFOs removed before and after.
class DebugPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = "zorv_dbg_" + std::to_string(getpid());
        url = "pipe://./" + name;
        remove_fifos();
    }
    void TearDown() override { remove_fifos(); }
    void remove_fifos() const
    {
        for (const char *end : {"_0", "_1"})
            unlink((std::string(os_name_pipe_dir()) + "/" + name + end).c_str());
    }
    // A server started on another thread has made its FIFOs.
    void wait_for_fifos() const
    {
        const std::string fifo1 = std::string(os_name_pipe_dir()) + "/" + name + "_1";
        struct stat st = {};
        for (int i = 0; i < 500 && lstat(fifo1.c_str(), &st) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string name;
    std::string url;
};

std::vector<std::string> g_printed;
int capture_print(const char *text)
{
    g_printed.emplace_back(text);
    return 0;
}

}  // namespace

TEST_F(DebugPipe, ServerAndClientExchangeExactReplies)
{
    dbgsrv_handle *h = dbgsrv_open(url.c_str());
    ASSERT_NE(h, nullptr);
    register_readonly_flag();  // once the shell has started
    EXPECT_EQ(h->kind, 1u);
    {
        pipe_client c(name);
        ASSERT_NE(c.cli, nullptr);
        expect_replies(c, shell_reply_cases());
        expect_replies(c, {{"echo " + std::string(8186, 'y') + "\n", 1,
                            "error: command line too long (at most 8190 bytes)\r\n\0"s}});
        expect_help(c);
    }
    // The client has gone; the next one is served, here the debug client.
    g_printed.clear();
    dbgcli_param p{};
    p.cmd = "show dvar;echo -e a\\nb;q;echo never";
    p.print = capture_print;
    os_name_pipe_cli *cli = os_name_pipe_cli_open(name.c_str());
    ASSERT_NE(cli, nullptr);
    net_conn conn{};
    conn.type = NET_PIPE_CLI_TYPE;
    conn.handle = reinterpret_cast<uintptr_t>(cli);
    EXPECT_EQ(debug_shell_exec_loop(&conn, &p), 0);
    os_name_pipe_cli_close(cli);
    EXPECT_EQ(g_printed, (std::vector<std::string>{"log.level=info\nnbd_readonly_flag=1", "a\nb"}));

    char reply[64] = "";
    EXPECT_EQ(dbgcli_exec_cmd(url.c_str(), "echo by url", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "by url");
    EXPECT_EQ(dbgsrv_close(h), 0);
}

// Closing the server while a client is attached (and while none is) ends
// its thread at once; the client then sees the server gone.
TEST_F(DebugPipe, CloseWithAClientAttached)
{
    for (bool attached : {true, false}) {
        SCOPED_TRACE(attached ? "client attached" : "no client");
        dbgsrv_handle *h = dbgsrv_open(url.c_str());
        ASSERT_NE(h, nullptr);
        std::unique_ptr<pipe_client> c;
        if (attached) {
            c = std::make_unique<pipe_client>(name);
            ASSERT_TRUE(c->send_all("echo here\n"));
            EXPECT_EQ(c->read_nuls(1), "here\r\n\0"s);
        }
        const auto start = clock_type::now();
        EXPECT_EQ(dbgsrv_close(h), 0);
        EXPECT_LT(clock_type::now() - start, std::chrono::seconds(10));
        if (c) {
            EXPECT_EQ(c->read_nuls(1), "");
            EXPECT_FALSE(c->send_all("echo gone\n"));
        }
    }
}

TEST_F(DebugPipe, PipeLoopEndsAtQuitAndAtKill)
{
    for (bool by_quit : {true, false}) {
        SCOPED_TRACE(by_quit ? "quit" : "kill");
        std::atomic<int> rc{1};
        std::thread loop([&] { rc = debug_shell_pipe_loop(name.c_str()); });
        wait_for_fifos();
        {
            pipe_client c(name);
            ASSERT_NE(c.cli, nullptr);
            ASSERT_TRUE(c.send_all("echo loop\n"));
            EXPECT_EQ(c.read_nuls(1), "loop\r\n\0"s);
            if (by_quit) {
                ASSERT_TRUE(c.send_all("quit\n"));
                EXPECT_EQ(c.read_nuls(2), "\0\0"s);
            } else {
                EXPECT_EQ(debug_shell_pipe_kill(), 0);
            }
            loop.join();
            EXPECT_EQ(c.read_nuls(1), "") << "the server has gone";
        }
        EXPECT_EQ(rc.load(), 0);
    }
    EXPECT_EQ(debug_shell_pipe_kill(), 0) << "nothing to stop";
}

TEST_F(DebugPipe, RefusedOpens)
{
    log_capture log;
    EXPECT_EQ(dbgsrv_open("pipe://./stdio"), nullptr);
    EXPECT_TRUE(log.has("mode=2 invalid\n"));
    EXPECT_EQ(dbgsrv_open("udp://127.0.0.1:1"), nullptr);
    EXPECT_TRUE(log.has("not supprot [udp://127.0.0.1:1]"));

    // A link planted where a FIFO belongs is never followed.
    dbgsrv_close(dbgsrv_open(url.c_str()));  // makes the directory
    remove_fifos();
    const std::string fifo0 = std::string(os_name_pipe_dir()) + "/" + name + "_0";
    ASSERT_EQ(symlink("/tmp", fifo0.c_str()), 0);
    EXPECT_EQ(dbgsrv_open(url.c_str()), nullptr);
    EXPECT_TRUE(log.has("os_name_pipe_srv_open [" + name + "] error: "));
    EXPECT_EQ(debug_shell_pipe_loop(name.c_str()), -1);

    // The client says so on standard error, whatever the log's console.
    testing::internal::CaptureStderr();
    EXPECT_EQ(dbgcli_exec_cmd(url.c_str(), "echo x", nullptr, 0), -1);
    EXPECT_EQ(dbgcli_local_exec_cmd("zorv_dbg_none", 0, "echo x"), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot reach the debug shell: os_name_pipe_cli_open [" + name + "] error: "), std::string::npos)
        << err;
    EXPECT_NE(err.find("cannot reach the debug shell: os_name_pipe_cli_open [zorv_dbg_none] error: "),
              std::string::npos)
        << err;
}
