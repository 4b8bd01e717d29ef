#include "libpal/os/posix/os_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "liblog/log2.h"
#include "socket_fixture.h"

namespace {

// A descriptor the test opens before detaching; below 1024, the close-all
// bound when the open-files limit is unknown.
constexpr int k_extra_fd = 1000;

bool on_dev_null(int fd)
{
    struct stat null_st;
    struct stat st;
    return stat("/dev/null", &null_st) == 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == null_st.st_rdev;
}

// What the daemon sees of itself, as one line of 0/1 words.
std::string observe(pid_t old_sid)
{
    const pid_t sid = getsid(0);
    const mode_t mask = umask(0);
    struct sigaction hup;
    sigaction(SIGHUP, nullptr, &hup);
    std::ostringstream out;
    out << "new_session=" << (sid != old_sid) << " leader=" << (sid == getpid()) << " umask=" << mask
        << " null=" << (on_dev_null(0) && on_dev_null(1) && on_dev_null(2))
        << " extra_open=" << (fcntl(k_extra_fd, F_GETFD) != -1) << " hup_ignored=" << (hup.sa_handler == SIG_IGN)
        << " log_open=" << (log2_get_file_fd(nullptr) >= 0 && fcntl(log2_get_file_fd(nullptr), F_GETFD) != -1);
    return out.str();
}

std::string wait_for_file(const std::string &path, uint32_t ms)
{
    const uint64_t end = os_tick_ms() + ms;
    while (!std::filesystem::exists(path) && os_tick_ms() < end)
        os_sleep_ms(10);
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

struct daemon_row {
    const char *name;
    int close_all;
    const char *seen;
};

// CTest names each case after the value printed here (in place of its bytes).
void PrintTo(const daemon_row &r, std::ostream *os)
{
    *os << r.name;
}

// One test per row: a re-run death-test child runs its test from the start,
// and must not wait on another row's daemon.
class DaemonizeDeathTest : public ::testing::TestWithParam<daemon_row> {};

TEST_P(DaemonizeDeathTest, DetachesAndClosesDescriptorsBySwitch)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const daemon_row r = GetParam();
    // The same name in the test and in its re-run child.
    const std::string result = ::testing::TempDir() + "zorv_daemon_seen_" + std::to_string(r.close_all);
    std::filesystem::remove(result);
    // The waiting process ends with status 0 once the daemon is ready; the
    // daemon reports through a file, since it may have closed every
    // descriptor it inherited.
    EXPECT_EXIT(
        {
            const int fd = open("/dev/zero", O_RDONLY);
            if (fd < 0 || dup2(fd, k_extra_fd) != k_extra_fd)
                _exit(2);
            umask(077);
            // The logger's own descriptors stay open, close-all or not.
            pl_init();
            const std::string log = result + ".log";
            if (log2_ioctl(nullptr, LOG2_CMD_FILE_OPEN, log.c_str(), -1) != 0)
                _exit(4);
            const pid_t old_sid = getsid(0);
            g_daemon_close_all_fd = r.close_all;
            if (os_daemonize("daemon ready\n") != 0)
                _exit(3);
            os_daemon_ready();
            const std::string seen = observe(old_sid);
            const std::string tmp = result + ".tmp";
            if (FILE *f = fopen(tmp.c_str(), "w"); f != nullptr) {
                fprintf(f, "%s\n", seen.c_str());
                fclose(f);
                rename(tmp.c_str(), result.c_str());
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "^daemon ready\n$");
    EXPECT_EQ(wait_for_file(result, 5000), r.seen);
    std::filesystem::remove(result);
    std::filesystem::remove(result + ".log");
}

INSTANTIATE_TEST_SUITE_P(CloseAllSwitch, DaemonizeDeathTest,
                         ::testing::Values(daemon_row{"keeps_descriptors", 0,
                                                      "new_session=1 leader=0 umask=0 null=1 extra_open=1 hup_ignored=1 log_open=1"},
                                           daemon_row{"closes_descriptors", 1,
                                                      "new_session=1 leader=0 umask=0 null=1 extra_open=0 hup_ignored=1 log_open=1"}));

enum class start_end { serves, fails, hangs };

struct start_row {
    const char *name;
    start_end end;    // what the daemon does after its first line
    int status;       // of the process that called os_daemonize
    const char *err;  // its standard error
    const char *env_wait = nullptr;  // QD_DAEMON_START_WAIT_MS, which must change nothing
};

void PrintTo(const start_row &r, std::ostream *os)
{
    *os << r.name;
}

class DaemonStartDeathTest : public ::testing::TestWithParam<start_row> {};

// The process that detached waits for the daemon: it copies the daemon's
// standard error until the daemon serves, and its status says whether it
// does. What the daemon writes after it is ready goes to /dev/null. A daemon
// that neither serves nor ends within the start bound (here shortened
// through the test's own call) is stopped and its last line shown. Nothing
// in the environment shortens the bound: a daemon that serves in 0.2 s
// serves, whatever QD_DAEMON_START_WAIT_MS says.
TEST_P(DaemonStartDeathTest, ParentEndsWithTheDaemonsStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const start_row r = GetParam();
    const std::string pid_file = ::testing::TempDir() + "zorv_daemon_pid_" + r.name;
    std::filesystem::remove(pid_file);
    EXPECT_EXIT(
        {
            pl_init();
            os_daemon_set_start_wait(2000);
            if (r.env_wait != nullptr)
                setenv("QD_DAEMON_START_WAIT_MS", r.env_wait, 1);
            if (os_daemonize("daemon ready\n") != 0)
                _exit(3);
            fputs("starting\n", stderr);
            fflush(stderr);
            if (r.end == start_end::fails) {
                fputs("bind: EADDRINUSE\n", stderr);
                fflush(stderr);
                _exit(255);
            }
            if (r.end == start_end::hangs) {
                std::ofstream(pid_file) << getpid() << std::endl;
                fputs("loading plug-in /srv/fifo\n", stderr);
                fflush(stderr);
                for (;;)
                    pause();
            }
            // The parent has its answer only after this call.
            os_sleep_ms(200);
            os_daemon_ready();
            fputs("after ready\n", stderr);
            fflush(stderr);
            _exit(0);
        },
        ::testing::ExitedWithCode(r.status), r.err);
    if (r.end == start_end::hangs) {
        pid_t pid = 0;
        std::ifstream(pid_file) >> pid;
        ASSERT_GT(pid, 0);
        // Gone, or a zombie waiting for its new parent to reap it.
        const auto gone = [pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string skip, state;
            return !(stat >> skip >> skip >> state) || state == "Z";
        };
        const uint64_t end = os_tick_ms() + 10000;
        while (!gone() && os_tick_ms() < end)
            os_sleep_ms(10);
        EXPECT_TRUE(gone()) << "the daemon " << pid << " still runs";
        std::filesystem::remove(pid_file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Start, DaemonStartDeathTest,
    ::testing::Values(start_row{"serves", start_end::serves, 0, "^starting\ndaemon ready\n$"},
                      start_row{"serves_whatever_the_environment", start_end::serves, 0,
                                "^starting\ndaemon ready\n$", "1"},
                      start_row{"fails", start_end::fails, 1,
                                "^starting\nbind: EADDRINUSE\ndaemon start-up failed: the daemon ended before it "
                                "served\n$"},
                      start_row{"hangs", start_end::hangs, 1,
                                "^starting\nloading plug-in /srv/fifo\ndaemon start-up failed: the daemon did not "
                                "serve within 2 s and was stopped; its last line: loading plug-in /srv/fifo\n$"}));

namespace {

int s_after_runs = 0;
int refuse(void *)
{
    return -1;
}
int count_after(void *)
{
    s_after_runs++;
    return 0;
}

}  // namespace

// A library whose thread cannot be stopped before the fork stops the detach:
// nothing is forked, and the library's after hook runs in the process that
// goes on.
TEST(DaemonHooks, ThreadThatCannotStopKeepsTheProcessUndetached)
{
    pl_init();
    s_after_runs = 0;
    const pid_t self = getpid();
    ASSERT_EQ(os_daemon_hook_add(refuse, count_after, &s_after_runs), 0);
    ASSERT_EQ(os_daemon_hook_add(refuse, count_after, &s_after_runs), 0);  // once however often added
    os_daemon_expect();
    EXPECT_EQ(os_daemonize(nullptr), -1);
    os_daemon_hook_del(refuse, count_after, &s_after_runs);
    ASSERT_EQ(getpid(), self);
    EXPECT_EQ(s_after_runs, 1);
    EXPECT_FALSE(os_daemon_detaching());
}

namespace {

// The number of threads of this process, read when the last before hook runs.
int s_threads_at_fork = -1;
int count_threads(void *)
{
    s_threads_at_fork = 0;
    for ([[maybe_unused]] const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        s_threads_at_fork++;
    return 0;
}

}  // namespace

// A collector named while the process is about to detach: no opener runs at
// the fork, and the daemon opens it (its records arrive).
TEST(DaemonHooksDeathTest, CollectorOpensInTheDaemon)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test's child runs this test again from its start: it takes
    // the collector's port from its environment rather than binding its own.
    constexpr const char *k_port_env = "ZORV_TEST_COLLECTOR_PORT";
    int rx = -1;
    std::string port = getenv(k_port_env) != nullptr ? getenv(k_port_env) : "";
    if (port.empty()) {
        sockaddr_in at{};
        rx = socktest::bound_loopback(SOCK_DGRAM, &at);
        ASSERT_GE(rx, 0);
        port = std::to_string(ntohs(at.sin_port));
        setenv(k_port_env, port.c_str(), 1);
    }
    const std::string url = "udp://127.0.0.1:" + port;
    EXPECT_EXIT(
        {
            pl_init();
            os_daemon_expect();
            if (log2_ioctl(nullptr, LOG2_CMD_BSV_URL, url.c_str(), 0) != 0)
                _exit(4);
            os_daemon_hook_add(count_threads, nullptr, nullptr);
            if (os_daemonize(nullptr) != 0)
                _exit(3);
            log2_printf(nullptr, LOG2_ERR | LOG2_F_NET, "t", "a.c", 1, "fn", "threads at fork: %d\n",
                        s_threads_at_fork);
            log2_bsv_join(nullptr, 5000);
            os_daemon_ready();
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv(k_port_env);
    pollfd p = {rx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "no record reached the collector";
    char pkt[2048];
    const ssize_t n = recv(rx, pkt, sizeof(pkt), 0);
    close(rx);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(pkt, static_cast<size_t>(n)).find("threads at fork: 1"), std::string::npos);
}
