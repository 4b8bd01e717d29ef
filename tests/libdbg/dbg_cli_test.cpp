#include "libdbg/dbg_cli.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dbg_fixture.h"
#include "libpal/network/os_socket.h"

using namespace std::string_literals;

namespace {

std::vector<std::string> g_printed;
int capture_print(const char *text)
{
    g_printed.emplace_back(text);
    return 0;
}

dbgcli_param list_param(const char *cmd)
{
    dbgcli_param p{};
    p.cmd = cmd;
    p.print = capture_print;
    return p;
}

}  // namespace

TEST(DbgcliField, FieldsEndAtEmptyMissingOrOverlong)
{
    char buf[8];
    struct {
        const char *list;
        int index;
        int len;
        const char *text;
    } const cases[] = {
        {"a;bc;d", 1, 2, "bc"}, {"a;bc;d", 2, 1, "d"}, {"a;bc;d", 3, 0, ""},
        {"a;;d", 1, 0, ""},     {"a;1234567", 1, 7, "1234567"}, {"a;12345678", 1, 0, ""},
        {"\"x;y\"", 0, 2, "\"x"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dbgsh_field_gets(c.list, c.index, buf, sizeof(buf)), c.len) << c.list << " " << c.index;
        EXPECT_STREQ(buf, c.text);
    }
}

TEST_F(DebugShell, ClientPrintsEachReplyAndStopsAtQuit)
{
    g_printed.clear();
    dbgcli_param p = list_param("echo a; echo b;q;echo c");
    EXPECT_EQ(debug_shell_connet_exec_cmd("127.0.0.1", port, &p), 0);
    EXPECT_EQ(g_printed, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(p.state, DBGCLI_DONE);

    g_printed.clear();
    p = list_param("show dvar;;echo never");
    EXPECT_EQ(debug_shell_connet_exec_cmd("127.0.0.1", port, &p), 0);
    ASSERT_EQ(g_printed.size(), 1u);
    EXPECT_EQ(g_printed[0].rfind("log.level=", 0), 0u);
    EXPECT_EQ(g_printed[0].find('\r'), std::string::npos);
}

TEST_F(DebugShell, ClientReplyBufferTakesTheFirstReply)
{
    char reply[256] = "";
    std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(dbgcli_exec_cmd(url.c_str(), "echo one\\ntwo", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "one\\ntwo");
    EXPECT_EQ(dbgcli_exec_cmd(url.c_str(), "echo -e x\\ny", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "x\ny");
}

TEST(Dbgcli, NoInterfaceOrNoInstanceFailsQuickly)
{
    // Each failure is said on standard error, whatever the log's console.
    testing::internal::CaptureStderr();
    EXPECT_EQ(dbgcli_local_exec_cmd(nullptr, 0, "show info"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No debugging interface defined: the debug shell's port is 0\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(dbgcli_local_exec_cmd("zorv", 0, "show info"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot reach the debug shell: os_name_pipe_cli_open [zorv]"),
              std::string::npos);

    // A port where nothing listens: the refusal ends the connect at once.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    socklen_t len = sizeof(a);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(dbgcli_local_exec_cmd(nullptr, ntohs(a.sin_port), "show info"), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot reach the debug shell: sock_connect 127.0.0.1:" +
                                                          std::to_string(ntohs(a.sin_port)) + " error: "),
              std::string::npos);
}

// Fake shells whose reply never ends: silent, a start of a reply without its
// NUL, a reply trickling for ever. The client gives up within its time-out
// (a bound on the whole reply), says so on standard error and fails; the
// commands after it are not sent. Each fake shell ends by itself after 3 s,
// so a client without the bound fails the time check instead of hanging.
TEST(Dbgcli, ReplyThatNeverEndsFailsWithinTheTimeout)
{
    enum mode { silent, start_only, trickle };
    struct row {
        const char *name;
        mode how;
    } const rows[] = {{"silent", silent}, {"bytes without their NUL", start_only}, {"endless trickle", trickle}};
    for (const auto &r : rows) {
        int srv = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        ASSERT_EQ(listen(srv, 1), 0);
        socklen_t len = sizeof(a);
        getsockname(srv, reinterpret_cast<sockaddr *>(&a), &len);
        std::string received;
        std::thread fake([&] {
            int c = accept(srv, nullptr, nullptr);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            char buf[256];
            timeval tv{0, 50000};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            bool started = false;
            while (std::chrono::steady_clock::now() < end) {
                const ssize_t n = recv(c, buf, sizeof(buf), 0);
                if (n == 0)
                    break;
                if (n > 0)
                    received.append(buf, static_cast<size_t>(n));
                if (!received.empty() && ((r.how == start_only && !started) || r.how == trickle))
                    send(c, "part", 4, MSG_NOSIGNAL);
                started = !received.empty();
            }
            close(c);
        });
        g_printed.clear();
        dbgcli_param p = list_param("one;two");
        p.timeout = 300;
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(debug_shell_connet_exec_cmd("127.0.0.1", ntohs(a.sin_port), &p), -1) << r.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500)) << r.name;
        const std::string err = testing::internal::GetCapturedStderr();
        fake.join();
        close(srv);
        EXPECT_EQ(received, "one\0"s) << r.name;
        EXPECT_NE(err.find("no whole reply from the debug shell within 300 ms: [one]"), std::string::npos)
            << r.name << ": " << err;
    }
}
