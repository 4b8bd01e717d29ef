// Test helpers: a fixture that runs the debug shell service on a free
// loopback port, with the TCP client of the stream protocol, and the
// daemon's read-only flag for the replies of "show dvar".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libdbg/dbg_shell.h"
#include "libpal/value/var_mgr.h"
#include "../support/shell_tcp_client.h"

// The daemon's read-only flag as it registers it: an enumeration "0|1" stored
// through a pointer, without callbacks. Registered once per process.
inline int g_readonly = 1;
inline dvar g_readonly_var{"nbd_readonly_flag", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {VALUE_TYPE_PINT, {}}};

inline void register_readonly_flag()
{
    static bool done = false;
    if (!done) {
        g_readonly_var.value.v.pint = &g_readonly;
        libsh_dvar_add(&g_readonly_var);
        done = true;
    }
}

// One line sent and the exact bytes of its reply, up to its nuls-th NUL.
struct reply_case {
    std::string in;
    int nuls;
    std::string out;
};

// What every session transport carries byte for byte (the read-only flag
// registered): line ends, CRs, errors, a self-flushing call, comments,
// trailing blanks, aliases. Leaves log.level at info.
inline std::vector<reply_case> shell_reply_cases()
{
    using namespace std::string_literals;
    return {
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
}

// Client: send_all(bytes) and read_nuls(count), as tcp_client offers them.
template <class Client>
void expect_replies(Client &c, const std::vector<reply_case> &cases)
{
    for (const auto &k : cases) {
        ASSERT_TRUE(c.send_all(k.in));
        EXPECT_EQ(c.read_nuls(k.nuls), k.out) << k.in.substr(0, 40);
    }
}

// "help": its first lines and its closing lines, with their NUL.
template <class Client>
void expect_help(Client &c)
{
    using namespace std::string_literals;
    ASSERT_TRUE(c.send_all("help\n"));
    const std::string help = c.read_nuls(1);
    EXPECT_EQ(help.rfind("show      \tShow the status of the program\r\nset       \tSet public options\r\n", 0), 0u);
    EXPECT_NE(help.find("\r\nFor more information, type 'help command' for each command.\r\ne.g. help pwd\r\n\0"s),
              std::string::npos);
}

class DebugShell : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(debug_shell_server_init("127.0.0.1", 0), 0);
        port = debug_shell_server_port();
        ASSERT_NE(port, 0u);
    }
    void TearDown() override { debug_shell_server_exit(); }
    uint32_t port = 0;
};
