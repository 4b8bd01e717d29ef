#include "libpal/os/posix/os_daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "liblog/log2.h"

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

struct start_row {
    const char *name;
    bool ready;       // the daemon reports that it serves
    int status;       // of the process that called os_daemonize
    const char *err;  // its standard error
};

void PrintTo(const start_row &r, std::ostream *os)
{
    *os << r.name;
}

class DaemonStartDeathTest : public ::testing::TestWithParam<start_row> {};

// The process that detached waits for the daemon: it copies the daemon's
// standard error until the daemon serves, and its status says whether it
// does. What the daemon writes after it is ready goes to /dev/null.
TEST_P(DaemonStartDeathTest, ParentEndsWithTheDaemonsStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const start_row r = GetParam();
    EXPECT_EXIT(
        {
            pl_init();
            if (os_daemonize("daemon ready\n") != 0)
                _exit(3);
            fputs("starting\n", stderr);
            fflush(stderr);
            if (!r.ready) {
                fputs("bind: EADDRINUSE\n", stderr);
                fflush(stderr);
                _exit(255);
            }
            // The parent has its answer only after this call.
            os_sleep_ms(200);
            os_daemon_ready();
            fputs("after ready\n", stderr);
            fflush(stderr);
            _exit(0);
        },
        ::testing::ExitedWithCode(r.status), r.err);
}

INSTANTIATE_TEST_SUITE_P(
    Start, DaemonStartDeathTest,
    ::testing::Values(start_row{"serves", true, 0, "^starting\ndaemon ready\n$"},
                      start_row{"fails", false, 1,
                                "^starting\nbind: EADDRINUSE\ndaemon start-up failed: the daemon ended before it "
                                "served\n$"}));
