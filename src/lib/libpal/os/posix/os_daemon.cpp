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

// The daemon's ends of the two pipes to the process waiting in os_daemonize:
// standard error until it is ready (so its start-up errors reach the
// operator), and one status byte written once it serves. -1 once reported.
int s_ready_fd = -1;
int s_talk_fd = -1;
constexpr char k_ready_byte = 'R';

// Used when the open-files limit is unlimited or unknown.
constexpr rlim_t k_default_fd_limit = 1024;

// The first process: relays the daemon's standard error until the daemon
// closes it, then reads its status byte. Ends the process; _exit skips exit
// handlers that belong to the process going on in the daemon.
[[noreturn]] void wait_ready(int talk, int ready, const char *ready_text)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = read(talk, buf, sizeof(buf));
        if (n > 0) {
            fwrite(buf, 1, static_cast<size_t>(n), stderr);
            fflush(stderr);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    char byte = 0;
    ssize_t n;
    do {
        n = read(ready, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1 && byte == k_ready_byte) {
        if (ready_text != nullptr)
            fputs(ready_text, stderr);
        fflush(stderr);
        _exit(0);
    }
    fputs("daemon start-up failed: the daemon ended before it served\n", stderr);
    fflush(stderr);
    _exit(1);
}

// Forks; the parent ends at once, or, given wait, waits for the daemon's
// report. Buffered output is flushed first, so it is not written twice.
bool fork_and_leave(const int *wait = nullptr, const char *ready_text = nullptr)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't fork\n");
        return false;
    }
    if (pid != 0) {
        if (wait == nullptr)
            _exit(0);
        close(s_talk_fd);
        close(s_ready_fd);
        wait_ready(wait[0], wait[1], ready_text);
    }
    if (wait != nullptr) {
        close(wait[0]);
        close(wait[1]);
    }
    return true;
}

// Closes [0, limit) except the logger's own descriptors (log file, syslog
// socket, record collector): the daemon goes on logging where it was
// configured to.
void close_fds(rlim_t limit)
{
    std::array<int, 5> keep = {log2_get_file_fd(nullptr), log2_get_net_fd(nullptr), log2_get_bsv_fd(nullptr),
                               s_talk_fd, s_ready_fd};
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

// Standard input, output and error on /dev/null (standard error on the talk
// pipe while there is one); false when one of them could not be put there,
// since a file opened later would take its number.
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
        const int from = target == 2 && s_talk_fd >= 0 ? s_talk_fd : 0;
        if (dup2(from, target) != target) {
            ZLOG_DBG("dup(0)fail\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int os_daemonize(const char *ready_text)
{
    rlimit rl;
    const bool have_limit = getrlimit(RLIMIT_NOFILE, &rl) == 0;
    if (!have_limit)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't get file limit\n");

    int talk[2];
    int ready[2];
    if (pipe2(talk, O_CLOEXEC) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't make a pipe\n");
        return -1;
    }
    if (pipe2(ready, O_CLOEXEC) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't make a pipe\n");
        close(talk[0]);
        close(talk[1]);
        return -1;
    }
    s_talk_fd = talk[1];
    s_ready_fd = ready[1];
    const int wait[2] = {talk[0], ready[0]};
    // A fork copies only the calling thread: no thread of the logger (the
    // collector's opener, a file's cut, the syslog resolver) may be halfway
    // through its work, holding a lock, when it happens.
    if (log2_fork_prepare(nullptr, 5000) != 0)
        ZLOG_WARN("a thread of the logger still running at fork\n");
    if (!fork_and_leave(wait, ready_text)) {
        // The process goes on undetached: nothing waits for a report.
        for (int fd : {talk[0], talk[1], ready[0], ready[1]})
            close(fd);
        s_talk_fd = s_ready_fd = -1;
        log2_fork_resume(nullptr);
        return -1;
    }
    setsid();
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGHUP, &sa, nullptr) < 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't ignore SIGHUP\n");
    // The session leader leaves: the daemon can never gain a controlling terminal.
    const bool left = fork_and_leave();
    log2_fork_resume(nullptr);
    if (!left)
        return -1;

    os_umask(0);
    rlim_t limit = 3;
    if (g_daemon_close_all_fd != 0)
        limit = have_limit && rl.rlim_max != RLIM_INFINITY ? rl.rlim_max : k_default_fd_limit;
    close_fds(limit);
    const bool ok = null_std_fds();
    if (s_talk_fd > 2) {
        close(s_talk_fd);
        s_talk_fd = 2;
    }
    return ok ? 0 : -1;
}

void os_daemon_ready()
{
    if (s_ready_fd < 0)
        return;
    fflush(stderr);
    // Standard error leaves the pipe first: the waiting process reads it to
    // its end before it reads the status byte.
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, 2);
        close(null_fd);
    }
    s_talk_fd = -1;
    ssize_t n;
    do {
        n = write(s_ready_fd, &k_ready_byte, 1);
    } while (n < 0 && errno == EINTR);
    close(s_ready_fd);
    s_ready_fd = -1;
}
