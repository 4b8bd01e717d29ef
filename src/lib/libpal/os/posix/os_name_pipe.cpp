// Named-pipe channels: private directory -> FIFOs made or checked -> the
// server's non-blocking ends waited on together with its kill event -> reads
// and writes that move whole buffers.
#include "libpal/os/posix/os_name_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

// Descriptors are -1 while not open: a FIFO may well get descriptor 0.
struct os_name_pipe_srv {
    char *path_in;   // "_0": client to server
    char *path_out;  // "_1": server to client
    int fd_in;       // open from the first wait for a client on
    int fd_out;      // open while a client is connected
    int wake_fd;     // readable once killed
    bool backoff;    // the last client left at once: wait a slice before the next
    std::atomic<bool> killed;
};

struct os_name_pipe_cli {
    int fd_out;  // "_0"
    int fd_in;   // "_1"
};

namespace {

constexpr mode_t k_dir_mode = 0700;
constexpr mode_t k_fifo_mode = 0600;
// How often a waiting server looks for a client's reading end, and how long
// a client waits for a server; both are waits of a person's command.
constexpr int k_connect_slice_ms = 50;
constexpr int k_cli_connect_ms = 2000;

// A real directory of this user that no one else can enter: a link, another
// user's directory or one open to others must not hold a debug channel.
bool is_private_dir(const char *dir)
{
    struct stat st = {};
    if (lstat(dir, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

bool check_dir(bool create)
{
    const char *dir = os_name_pipe_dir();
    if (create && mkdir(dir, k_dir_mode) != 0 && errno != EEXIST) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "mkdir [%s] error: ", dir);
        return false;
    }
    if (!is_private_dir(dir)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "pipe directory [%s] error: ", dir);
        return false;
    }
    return true;
}

// "%s/%s_%d" of the pipe directory, owned; nullptr when it does not fit.
char *pipe_path(const char *name, int direction)
{
    char path[PATH_MAX];
    if (str_sprintf_s(path, sizeof(path), "%s/%s_%d", os_name_pipe_dir(), name, direction) < 0 ||
        path[0] == '\0')
        return nullptr;
    return os_strdup(path);
}

// A FIFO of this user, and nothing else.
bool is_our_fifo(const struct stat &st)
{
    if (!S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    if (st.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    return true;
}

bool make_fifo(const char *path)
{
    if (mkfifo(path, k_fifo_mode) == 0)
        return true;
    if (errno != EEXIST) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "mkfifo [%s] error: ", path);
        return false;
    }
    struct stat st = {};
    if (lstat(path, &st) != 0 || !is_our_fifo(st)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "mkfifo [%s] error: ", path);
        return false;
    }
    return true;
}

// A non-blocking open that is checked to be our FIFO: the descriptor, or -1
// with errno set (the caller logs, since ENXIO may only mean "not yet").
int open_fifo_raw(const char *path, int flags)
{
    int fd = -1;
    do {
        fd = open(path, flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !is_our_fifo(st))) {
        errno_keeper keep;
        close(fd);
        fd = -1;
    }
    return fd;
}

int open_fifo(const char *path, int flags)
{
    const int fd = open_fifo_raw(path, flags);
    if (fd < 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "open [%s] error: ", path);
    return fd;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Waits until fd shows events (0 with only the wake watched), the wake
// event fires or ms pass (-1 no limit): 1 ready, 0 time-out, -1 woken or
// failed (errno ECANCELED when woken).
int wait_fd(int fd, short events, int wake_fd, int ms)
{
    pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    for (;;) {
        const int n = poll(p, 2, ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (p[1].revents != 0) {
            errno = ECANCELED;
            return -1;
        }
        return n == 0 ? 0 : 1;
    }
}

// write(2) with SIGPIPE held back on this thread: a peer that has gone gives
// EPIPE, whatever the process does with the signal.
ssize_t write_nosigpipe(int fd, const void *buf, size_t len)
{
    sigset_t pipe_set;
    sigset_t old_set;
    sigset_t pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t r = write(fd, buf, len);
    if (r < 0 && errno == EPIPE && !was_pending) {
        errno_keeper keep;
        const timespec none = {};
        sigtimedwait(&pipe_set, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    return r;
}

// Writes all of buf to a non-blocking end, waiting while the pipe is full.
int64_t write_all(int fd, const void *buf, size_t len, int wake_fd)
{
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t r = write_nosigpipe(fd, p + done, len - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return -1;
        if (wait_fd(fd, POLLOUT, wake_fd, -1) < 0)
            return -1;
    }
    return static_cast<int64_t>(len);
}

void srv_disconnect(os_name_pipe_srv *srv)
{
    close_fd(srv->fd_out);
    srv->backoff = true;
}

}  // namespace

const char *os_name_pipe_dir()
{
    // Per call: a process that changes its effective user gets that user's.
    thread_local char dir[32];
    std::snprintf(dir, sizeof(dir), "/tmp/zorv-%u", static_cast<unsigned>(geteuid()));
    return dir;
}

os_name_pipe_srv *os_name_pipe_srv_open(const char *name)
{
    PL_ASSERT_RET(name!=NULL, nullptr);
    if (name[0] == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    if (!check_dir(true))
        return nullptr;
    void *mem = os_zalloc(sizeof(os_name_pipe_srv));
    if (mem == nullptr)
        return nullptr;
    auto *srv = new (mem) os_name_pipe_srv{};
    srv->fd_in = -1;
    srv->fd_out = -1;
    srv->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    srv->path_in = pipe_path(name, 0);
    srv->path_out = pipe_path(name, 1);
    if (srv->wake_fd < 0 || srv->path_in == nullptr || srv->path_out == nullptr || !make_fifo(srv->path_in) ||
        !make_fifo(srv->path_out)) {
        errno_keeper keep;
        os_name_pipe_srv_close(srv);
        return nullptr;
    }
    return srv;
}

// A client opens "_0" for writing first, then "_1" for reading: the server
// keeps "_0" open for reading so that the client's open succeeds, and takes
// the client as connected once "_1" has a reader to open it for writing.
int os_name_pipe_srv_wait_connect(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    if (srv->fd_in < 0) {
        srv->fd_in = open_fifo(srv->path_in, O_RDONLY);
        if (srv->fd_in < 0)
            return -1;
    }
    bool wait_first = srv->backoff;
    srv->backoff = false;
    for (;;) {
        if (srv->killed.load()) {
            errno = ECANCELED;
            return -1;
        }
        if (!wait_first) {
            const int out = open_fifo_raw(srv->path_out, O_WRONLY);
            if (out >= 0) {
                srv->fd_out = out;
                return 0;
            }
            if (errno != ENXIO) {
                ZLOG(LOG2_ERR | LOG2_F_ERRNO, "open [%s] error: ", srv->path_out);
                close_fd(srv->fd_in);
                return -1;
            }
        }
        wait_first = false;
        if (wait_fd(-1, 0, srv->wake_fd, k_connect_slice_ms) < 0)
            return -1;
    }
}

bool os_name_pipe_srv_check_connect(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, false);
    if (srv->fd_out >= 0)
        return true;
    return os_name_pipe_srv_wait_connect(srv) == 0;
}

int64_t os_name_pipe_srv_read(os_name_pipe_srv *srv, void *buf, size_t len, int timeout_ms)
{
    (void)timeout_ms;
    PL_ASSERT_RET(srv && buf, -1);
    for (;;) {
        if (srv->killed.load()) {
            errno = ECANCELED;
            return -1;
        }
        if (srv->fd_out < 0) {
            errno = ENOTCONN;
            return -1;
        }
        const ssize_t r = read(srv->fd_in, buf, len);
        if (r > 0)
            return r;
        if (r == 0) {
            // Every writer has gone: the client left.
            srv_disconnect(srv);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return -1;
        if (wait_fd(srv->fd_in, POLLIN, srv->wake_fd, -1) < 0)
            return -1;
    }
}

int64_t os_name_pipe_srv_write(os_name_pipe_srv *srv, const void *buf, size_t len)
{
    PL_ASSERT_RET(srv && buf, -1);
    if (srv->fd_out < 0) {
        errno = ENOTCONN;
        return -1;
    }
    return write_all(srv->fd_out, buf, len, srv->wake_fd);
}

int os_name_pipe_srv_kill(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    srv->killed.store(true);
    const uint64_t one = 1;
    if (srv->wake_fd >= 0 && write(srv->wake_fd, &one, sizeof(one)) < 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "eventfd write error: ");
    return 0;
}

bool os_name_pipe_srv_is_killed(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, false);
    return srv->killed.load();
}

int os_name_pipe_srv_close(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    os_free(srv->path_in);
    os_free(srv->path_out);
    close_fd(srv->fd_in);
    close_fd(srv->fd_out);
    close_fd(srv->wake_fd);
    srv->~os_name_pipe_srv();
    os_free(srv);
    return 0;
}

os_name_pipe_cli *os_name_pipe_cli_open(const char *name)
{
    PL_ASSERT_RET(name!=NULL, nullptr);
    if (!check_dir(false))
        return nullptr;
    char *path_out = pipe_path(name, 0);
    char *path_in = pipe_path(name, 1);
    auto *cli = static_cast<os_name_pipe_cli *>(os_zalloc(sizeof(os_name_pipe_cli)));
    int out = -1;
    int in = -1;
    if (cli != nullptr && path_out != nullptr && path_in != nullptr) {
        // ENXIO: no server reads "_0" yet; one that is starting gets a moment.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_cli_connect_ms);
        while ((out = open_fifo_raw(path_out, O_WRONLY)) < 0 && errno == ENXIO &&
               std::chrono::steady_clock::now() < end)
            os_sleep_ms(k_connect_slice_ms);
        if (out < 0)
            ZLOG(LOG2_ERR | LOG2_F_ERRNO, "open [%s] error: ", path_out);
        else
            in = open_fifo(path_in, O_RDONLY);
    }
    os_free(path_out);
    os_free(path_in);
    if (in < 0) {
        errno_keeper keep;
        close_fd(out);
        os_free(cli);
        return nullptr;
    }
    cli->fd_out = out;
    cli->fd_in = in;
    return cli;
}

// Before the server opens "_1" a read would see an end of data, so the
// client waits for bytes; the server is gone once "_1" reports a hang-up
// (its writer came and went) or "_0" an error (no reader is left).
int64_t os_name_pipe_cli_read(os_name_pipe_cli *cli, void *buf, size_t len)
{
    PL_ASSERT_RET(cli && buf, -1);
    for (;;) {
        pollfd p[2] = {{cli->fd_in, POLLIN, 0}, {cli->fd_out, 0, 0}};
        const int n = poll(p, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (p[0].revents == 0)
            return 0;  // "_0" has no reader: the server has gone
        const ssize_t r = read(cli->fd_in, buf, len);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return r;
    }
}

int64_t os_name_pipe_cli_write(os_name_pipe_cli *cli, const void *buf, size_t len)
{
    PL_ASSERT_RET(cli && buf, -1);
    return write_all(cli->fd_out, buf, len, -1);
}

int os_name_pipe_cli_close(os_name_pipe_cli *cli)
{
    PL_ASSERT_RET(cli!=NULL, -1);
    // The reading end first: a server that sees "_0" end finds no reader left
    // on "_1" and does not take the departing client for a new one.
    close_fd(cli->fd_in);
    close_fd(cli->fd_out);
    os_free(cli);
    return 0;
}
