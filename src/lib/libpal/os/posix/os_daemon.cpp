// Daemonizing.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_daemon.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "libpal/os/os_path.h"
#include "liblog/zlog.h"

int g_daemon_close_all_fd = 0;

namespace {

// Used when the open-files limit is unlimited or unknown.
constexpr rlim_t k_default_fd_limit = 1024;

// Forks; the parent ends at once. Buffered output is flushed first, so it is
// not written twice, and the parent skips exit handlers that belong to the
// process going on in the child.
bool fork_and_leave()
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't fork\n");
        return false;
    }
    if (pid != 0)
        _exit(0);
    return true;
}

// Closes [0, limit) except the logger's own descriptors (log file, syslog
// socket, record collector): the daemon goes on logging where it was
// configured to.
void close_fds(rlim_t limit)
{
    std::array<int, 3> keep = {log2_get_file_fd(nullptr), log2_get_net_fd(nullptr), log2_get_bsv_fd(nullptr)};
    std::sort(keep.begin(), keep.end());
    unsigned from = 0;
    const unsigned last = static_cast<unsigned>(limit - 1);
    const auto close_span = [](unsigned lo, unsigned hi) {
        if (lo > hi || close_range(lo, hi, 0) == 0)
            return;
        for (unsigned fd = lo; fd <= hi; fd++)
            close(static_cast<int>(fd));
    };
    for (int fd : keep) {
        if (fd < 0 || static_cast<unsigned>(fd) < from || static_cast<unsigned>(fd) > last)
            continue;
        if (static_cast<unsigned>(fd) > from)
            close_span(from, static_cast<unsigned>(fd) - 1);
        from = static_cast<unsigned>(fd) + 1;
    }
    if (from <= last)
        close_span(from, last);
}

// Standard input, output and error on /dev/null; false when one of them could
// not be put there, since a file opened later would take its number.
bool null_std_fds()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        ZLOG_DBG("open /dev/null fail\n");
        return false;
    }
    if (fd != 0) {
        const int rc = dup2(fd, 0);
        close(fd);
        if (rc != 0)
            return false;
    }
    for (int target : {1, 2}) {
        if (dup2(0, target) != target) {
            ZLOG_DBG("dup(0)fail\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int os_daemonize()
{
    rlimit rl;
    const bool have_limit = getrlimit(RLIMIT_NOFILE, &rl) == 0;
    if (!have_limit)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't get file limit\n");

    // A fork copies only the calling thread: the collector's opener must not
    // be halfway through its connect (holding the sink's lock) when it happens.
    if (log2_bsv_join(nullptr, 5000) != 0)
        ZLOG_WARN("bsvnet still running at fork\n");
    if (!fork_and_leave())
        return -1;
    setsid();
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGHUP, &sa, nullptr) < 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't ignore SIGHUP\n");
    // The session leader leaves: the daemon can never gain a controlling terminal.
    if (!fork_and_leave())
        return -1;

    os_umask(0);
    rlim_t limit = 3;
    if (g_daemon_close_all_fd != 0)
        limit = have_limit && rl.rlim_max != RLIM_INFINITY ? rl.rlim_max : k_default_fd_limit;
    close_fds(limit);
    return null_std_fds() ? 0 : -1;
}
