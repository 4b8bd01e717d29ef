// Daemonizing.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

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

// The registered hook pairs, in the order added.
struct hook_pair {
    os_daemon_hook before;
    os_daemon_hook after;
    void *arg;
    bool operator==(const hook_pair &) const = default;
};
std::mutex s_hook_lock;
std::vector<hook_pair> &hooks()
{
    static std::vector<hook_pair> list;
    return list;
}
std::atomic<bool> s_detaching{false};

// Every before hook; false when one left a thread running. The hooks that
// already ran get their after hook back, so the process goes on as it was.
bool run_before_hooks()
{
    std::lock_guard<std::mutex> hold(s_hook_lock);
    const std::vector<hook_pair> &list = hooks();
    for (size_t i = 0; i < list.size(); i++) {
        if (list[i].before == nullptr || list[i].before(list[i].arg) == 0)
            continue;
        for (size_t j = 0; j <= i; j++) {
            if (list[j].after != nullptr)
                list[j].after(list[j].arg);
        }
        return false;
    }
    return true;
}

// In the process that goes on: threads may start again.
void run_after_hooks()
{
    s_detaching.store(false);
    std::lock_guard<std::mutex> hold(s_hook_lock);
    for (const hook_pair &h : hooks()) {
        if (h.after != nullptr)
            h.after(h.arg);
    }
}

// The start bound; only a test shortens it, through os_daemon_set_start_wait.
std::atomic<unsigned> s_start_wait_ms{OS_DAEMON_START_WAIT_MS};

// Milliseconds left before deadline, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads into buf what fd has within the deadline: the count, 0 at its end,
// -1 on a failure, -2 when the deadline passed first.
ssize_t read_until(int fd, char *buf, size_t size, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int rc = poll(&p, 1, ms_left(deadline));
        if (rc == 0)
            return -2;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return -1;
        const ssize_t n = read(fd, buf, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// The last non-empty line of what the daemon wrote so far.
class last_line {
public:
    void add(const char *data, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            if (data[i] == '\n') {
                if (!current_.empty())
                    last_.swap(current_);
                current_.clear();
            } else if (current_.size() < k_max) {
                current_.push_back(data[i]);
            }
        }
    }
    const std::string &text() const { return current_.empty() ? last_ : current_; }

private:
    static constexpr size_t k_max = 4096;
    std::string last_;
    std::string current_;
};

// The daemon's session: the intermediate process (our child, not reaped, so
// its number cannot be reused) made it and leads its process group, which
// the daemon stays in. SIGTERM first, so a daemon that handles it may flush
// its logs; SIGKILL when its standard error has not ended within the grace.
void stop_daemon(pid_t group, int talk)
{
    constexpr int k_grace_ms = 2000;
    kill(-group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_grace_ms);
    char buf[512];
    ssize_t n;
    while ((n = read_until(talk, buf, sizeof(buf), deadline)) > 0) {
    }
    if (n != 0)
        kill(-group, SIGKILL);
}

// The first process: relays the daemon's standard error until the daemon
// closes it, then reads its status byte, within the start bound. Ends the
// process; _exit skips exit handlers that belong to the process going on in
// the daemon.
[[noreturn]] void wait_ready(pid_t group, int talk, int ready, const char *ready_text)
{
    const unsigned bound_ms = s_start_wait_ms.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    last_line last;
    char buf[4096];
    ssize_t n;
    while ((n = read_until(talk, buf, sizeof(buf), deadline)) > 0) {
        fwrite(buf, 1, static_cast<size_t>(n), stderr);
        fflush(stderr);
        last.add(buf, static_cast<size_t>(n));
    }
    char byte = 0;
    if (n != -2)
        n = read_until(ready, &byte, 1, deadline);
    if (n == 1 && byte == k_ready_byte) {
        if (ready_text != nullptr)
            fputs(ready_text, stderr);
        fflush(stderr);
        _exit(0);
    }
    if (n == -2) {
        stop_daemon(group, talk);
        fprintf(stderr, "daemon start-up failed: the daemon did not serve within %g s and was stopped; its last line: %s\n",
                bound_ms / 1000.0, last.text().c_str());
    } else {
        fputs("daemon start-up failed: the daemon ended before it served\n", stderr);
    }
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
        wait_ready(pid, wait[0], wait[1], ready_text);
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

    // A fork copies only the calling thread: what other threads hold (a lock
    // of libc's inside a name lookup, the sink's own) would stay held.
    if (!run_before_hooks()) {
        ZLOG_ERR("a thread still runs: the daemon cannot detach\n");
        s_detaching.store(false);
        return -1;
    }
    // Not detached after all: the process goes on with its threads.
    const auto undetached = [] {
        run_after_hooks();
        return -1;
    };
    int talk[2];
    int ready[2];
    if (pipe2(talk, O_CLOEXEC) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't make a pipe\n");
        return undetached();
    }
    if (pipe2(ready, O_CLOEXEC) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "can't make a pipe\n");
        close(talk[0]);
        close(talk[1]);
        return undetached();
    }
    s_talk_fd = talk[1];
    s_ready_fd = ready[1];
    const int wait[2] = {talk[0], ready[0]};
    if (!fork_and_leave(wait, ready_text)) {
        // The process goes on undetached: nothing waits for a report.
        for (int fd : {talk[0], talk[1], ready[0], ready[1]})
            close(fd);
        s_talk_fd = s_ready_fd = -1;
        return undetached();
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
    if (!fork_and_leave())
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
    run_after_hooks();
    return ok ? 0 : -1;
}

void os_daemon_set_start_wait(unsigned ms)
{
    s_start_wait_ms.store(ms >= 1 && ms <= OS_DAEMON_START_WAIT_MS ? ms : OS_DAEMON_START_WAIT_MS);
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

int os_daemon_hook_add(os_daemon_hook before, os_daemon_hook after, void *arg)
{
    const hook_pair pair{before, after, arg};
    std::lock_guard<std::mutex> hold(s_hook_lock);
    std::vector<hook_pair> &list = hooks();
    if (std::find(list.begin(), list.end(), pair) != list.end())
        return 0;
    try {
        list.push_back(pair);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

void os_daemon_hook_del(os_daemon_hook before, os_daemon_hook after, void *arg)
{
    const hook_pair pair{before, after, arg};
    std::lock_guard<std::mutex> hold(s_hook_lock);
    std::vector<hook_pair> &list = hooks();
    list.erase(std::remove(list.begin(), list.end(), pair), list.end());
}

void os_daemon_expect()
{
    s_detaching.store(true);
}

bool os_daemon_detaching()
{
    return s_detaching.load();
}
