// What an idle debug shell session costs: nothing while its peer is quiet.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "../libpal/wakeups.h"
#include "dbg_fixture.h"

using namespace std::string_literals;

namespace {

// The ids of this process's threads.
std::set<pid_t> thread_ids()
{
    std::set<pid_t> found;
    DIR *d = opendir("/proc/self/task");
    for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        if (e->d_name[0] != '.')
            found.insert(static_cast<pid_t>(atoi(e->d_name)));
    }
    if (d != nullptr)
        closedir(d);
    return found;
}

}  // namespace

// A session waiting for its next line sleeps until its peer sends: no wake-up
// in 4 s, where a wait in one-second steps wakes four times. It still
// answers the next line at once, and the stop still ends it.
TEST_F(DebugShell, IdleSessionSleepsUntilItsPeerSends)
{
    const std::set<pid_t> before = thread_ids();
    tcp_client c(port);
    ASSERT_TRUE(c.send_all("echo first\n"));
    ASSERT_EQ(c.read_nuls(1), "first\r\n\0"s);
    std::set<pid_t> session;
    for (pid_t tid : thread_ids()) {
        if (before.count(tid) == 0)
            session.insert(tid);
    }
    ASSERT_EQ(session.size(), 1u);
    const pid_t tid = *session.begin();
    const uint64_t from = thread_wakeups(tid);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    EXPECT_LE(thread_wakeups(tid) - from, 1u);
    ASSERT_TRUE(c.send_all("echo again\n"));
    EXPECT_EQ(c.read_nuls(1, 2000), "again\r\n\0"s);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(debug_shell_server_exit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(c.closed_within(3000));
}
