// Named-pipe channels: path pair -> FIFOs made or checked -> opens that block
// until the peer opens its side -> one read or write per call.
#include "libpal/os/posix/os_name_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

struct os_name_pipe_srv {
    char *path_in;   // "_0": client to server
    char *path_out;  // "_1": server to client
    int fd_in;       // 0 while no client is connected
    int fd_out;
};

struct os_name_pipe_cli {
    int fd_out;  // "_0"
    int fd_in;   // "_1"
};

namespace {

constexpr mode_t k_fifo_mode = 0600;

// "%s/%s_%d" of the pipe directory, owned; nullptr when it does not fit.
char *pipe_path(const char *name, int direction)
{
    char path[PATH_MAX];
    if (str_sprintf_s(path, sizeof(path), "%s/%s_%d", os_name_pipe_dir(), name, direction) < 0 ||
        path[0] == '\0')
        return nullptr;
    return os_strdup(path);
}

// A FIFO of this user, and nothing else: another user's FIFO, a link or a
// plain file under the same name in a shared directory must not carry a
// debug channel.
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

// Blocks until the peer opens the other end. The descriptor, or -1 (logged).
int open_fifo(const char *path, int flags)
{
    int fd = -1;
    do {
        fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !is_our_fifo(st))) {
        errno_keeper keep;
        close(fd);
        fd = -1;
    }
    if (fd < 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "open [%s] error: ", path);
    return fd;
}

void close_fd(int &fd)
{
    if (fd > 0)
        close(fd);
    fd = 0;
}

int64_t read_once(int fd, void *buf, size_t len)
{
    ssize_t r = 0;
    do {
        r = read(fd, buf, len);
    } while (r < 0 && errno == EINTR);
    return r;
}

int64_t write_once(int fd, const void *buf, size_t len)
{
    ssize_t r = 0;
    do {
        r = write(fd, buf, len);
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

const char *os_name_pipe_dir()
{
    return "/tmp";
}

os_name_pipe_srv *os_name_pipe_srv_open(const char *name)
{
    PL_ASSERT_RET(name!=NULL, nullptr);
    auto *srv = static_cast<os_name_pipe_srv *>(os_zalloc(sizeof(os_name_pipe_srv)));
    if (srv == nullptr)
        return nullptr;
    srv->path_in = pipe_path(name, 0);
    srv->path_out = pipe_path(name, 1);
    if (srv->path_in == nullptr || srv->path_out == nullptr || !make_fifo(srv->path_in) ||
        !make_fifo(srv->path_out)) {
        os_name_pipe_srv_close(srv);
        return nullptr;
    }
    return srv;
}

int os_name_pipe_srv_wait_connect(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    const int in = open_fifo(srv->path_in, O_RDONLY);
    if (in < 0)
        return -1;
    const int out = open_fifo(srv->path_out, O_WRONLY);
    if (out < 0) {
        close(in);
        return -1;
    }
    srv->fd_in = in;
    srv->fd_out = out;
    return 0;
}

bool os_name_pipe_srv_check_connect(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, false);
    if (srv->fd_in > 0)
        return true;
    return os_name_pipe_srv_wait_connect(srv) == 0;
}

int64_t os_name_pipe_srv_read(os_name_pipe_srv *srv, void *buf, size_t len, int timeout_ms)
{
    (void)timeout_ms;
    PL_ASSERT_RET(srv && buf, -1);
    return read_once(srv->fd_in, buf, len);
}

int64_t os_name_pipe_srv_write(os_name_pipe_srv *srv, const void *buf, size_t len)
{
    PL_ASSERT_RET(srv && buf, -1);
    return write_once(srv->fd_out, buf, len);
}

int os_name_pipe_srv_kill(os_name_pipe_srv *srv)
{
    (void)srv;
    return -1;
}

bool os_name_pipe_srv_is_killed(os_name_pipe_srv *srv)
{
    (void)srv;
    return false;
}

int os_name_pipe_srv_close(os_name_pipe_srv *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    os_free(srv->path_in);
    os_free(srv->path_out);
    close_fd(srv->fd_in);
    close_fd(srv->fd_out);
    os_free(srv);
    return 0;
}

os_name_pipe_cli *os_name_pipe_cli_open(const char *name)
{
    PL_ASSERT_RET(name!=NULL, nullptr);
    char *path_out = pipe_path(name, 0);
    char *path_in = pipe_path(name, 1);
    auto *cli = static_cast<os_name_pipe_cli *>(os_zalloc(sizeof(os_name_pipe_cli)));
    int out = -1;
    int in = -1;
    if (cli != nullptr && path_out != nullptr && path_in != nullptr) {
        out = open_fifo(path_out, O_WRONLY);
        if (out >= 0)
            in = open_fifo(path_in, O_RDONLY);
    }
    os_free(path_out);
    os_free(path_in);
    if (in < 0) {
        if (out >= 0)
            close(out);
        os_free(cli);
        return nullptr;
    }
    cli->fd_out = out;
    cli->fd_in = in;
    return cli;
}

int64_t os_name_pipe_cli_read(os_name_pipe_cli *cli, void *buf, size_t len)
{
    PL_ASSERT_RET(cli && buf, -1);
    return read_once(cli->fd_in, buf, len);
}

int64_t os_name_pipe_cli_write(os_name_pipe_cli *cli, const void *buf, size_t len)
{
    PL_ASSERT_RET(cli && buf, -1);
    return write_once(cli->fd_out, buf, len);
}

int os_name_pipe_cli_close(os_name_pipe_cli *cli)
{
    PL_ASSERT_RET(cli!=NULL, -1);
    close_fd(cli->fd_out);
    close_fd(cli->fd_in);
    os_free(cli);
    return 0;
}
