// Command runner: fork, pipes for the child's data and its standard error,
// a bounded wait for its end.
#include "libpal/os/os_popen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_cmdline.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t   kReadPiece  = 4096;
constexpr uint32_t kCloseWaitMs = 1000;

using heap_ptr = pl_owned<char, os_free>;
using sb_ptr = pl_owned<str_buf, str_buf_free>;

void close_pair(int p[2])
{
    if (p[0] >= 0) close(p[0]);
    if (p[1] >= 0) close(p[1]);
    p[0] = p[1] = -1;
}

// In the child only (async-signal-safe calls): puts from on the standard
// descriptor to, without the close-on-exec flag the pipes were made with.
// A child that cannot ends with the errno as its exit code, rather than run
// the command with its output going elsewhere.
void child_move_fd(int from, int to)
{
    const int rc = from == to ? fcntl(to, F_SETFD, 0) : dup2(from, to);
    if (rc == -1)
        _exit(errno);
}

[[noreturn]] void child_run(bool read_mode, int data[2], int err[2], char **argv, const char *command)
{
    if (read_mode) {
        child_move_fd(data[1], 1);
    } else {
        child_move_fd(data[0], 0);
    }
    child_move_fd(err[1], 2);
    os_child_signals_default();
    // Every other descriptor the parent held stays out of the command.
    if (close_range(3, UINT_MAX, 0) != 0) {
        for (int fd = 3; fd < 256; fd++) close(fd);
    }
    if (argv != nullptr)
        execvp(argv[0], argv);
    else
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(errno);
}

}  // namespace

void os_child_signals_default()
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int signo = 1; signo < NSIG; signo++) {
        struct sigaction now {};
        if (signo != SIGKILL && signo != SIGSTOP && sigaction(signo, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
            sigaction(signo, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

popen_ctx *os_popen_imp(bool shell, const char *command, const char *mode)
{
    if (command == nullptr || mode == nullptr || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    bool read_mode = mode[0] == 'r';

    // The argument vector is built before fork: the child of a threaded
    // process must not allocate.
    heap_ptr argv_block, args_block;
    char   **argv = nullptr;
    if (!shell) {
        int    argc   = 0;
        size_t nbytes = 0;
        str_parse_cmdline(command, nullptr, nullptr, &argc, &nbytes);
        if (argc < 2) {
            errno = EINVAL;
            return nullptr;
        }
        argv_block.reset(static_cast<char *>(os_zalloc(sizeof(char *) * static_cast<size_t>(argc))));
        args_block.reset(static_cast<char *>(os_zalloc(nbytes + 1)));
        if (!argv_block || !args_block) return nullptr;
        argv = reinterpret_cast<char **>(argv_block.get());
        str_parse_cmdline(command, argv, args_block.get(), &argc, &nbytes);
        argv[argc - 1] = nullptr;
        if (argv[0] == nullptr || argv[0][0] == '\0') {
            errno = EINVAL;
            return nullptr;
        }
    }

    auto *ctx = static_cast<popen_ctx *>(os_zalloc(sizeof(popen_ctx)));
    if (ctx == nullptr) return nullptr;
    ctx->cmd = os_strdup(command);
    if (ctx->cmd == nullptr) {
        os_free(ctx);
        return nullptr;
    }

    int  data[2] = {-1, -1};
    int  err[2]  = {-1, -1};
    auto fail    = [&] {
        int eno = errno;
        close_pair(data);
        close_pair(err);
        os_free(ctx->cmd);
        os_free(ctx);
        errno = eno;
        return nullptr;
    };
    if (pipe2(data, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return fail();
    pid_t pid = fork();
    if (pid < 0) return fail();
    if (pid == 0) child_run(read_mode, data, err, argv, command);

    if (read_mode) {
        close(data[1]);
        ctx->fd = static_cast<uint32_t>(data[0]);
    } else {
        close(data[0]);
        ctx->fd = static_cast<uint32_t>(data[1]);
    }
    close(err[1]);
    ctx->fd_err = static_cast<uint32_t>(err[0]);
    ctx->pid    = static_cast<uint32_t>(pid);
    return ctx;
}

popen_ctx *os_popen(const char *command, const char *mode)
{
    return os_popen_imp(true, command, mode);
}

popen_ctx *os_popen_argv(const char *command, const char *mode)
{
    return os_popen_imp(false, command, mode);
}

char *os_fd_read_all(int fd)
{
    sb_ptr sb(str_buf_new());
    if (!sb) return nullptr;
    char piece[kReadPiece];
    for (;;) {
        ssize_t n = read(fd, piece, sizeof(piece));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (str_buf_append(sb.get(), piece, static_cast<size_t>(n)) != 0) return nullptr;
    }
    return str_buf_detach_nonnull(sb.release());
}

char *os_popen_stdout(popen_ctx *ctx)
{
    PL_ASSERT_RET(ctx != nullptr, nullptr);
    return os_fd_read_all(static_cast<int>(ctx->fd));
}

char *os_popen_stderr(popen_ctx *ctx)
{
    PL_ASSERT_RET(ctx != nullptr, nullptr);
    return os_fd_read_all(static_cast<int>(ctx->fd_err));
}

int os_popen_read_all(popen_ctx *ctx, char **out, char **err)
{
    return os_popen_read_all_ms(ctx, out, err, UINT32_MAX);
}

int os_popen_read_all_ms(popen_ctx *ctx, char **out, char **err, uint32_t ms)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    if (out != nullptr) *out = nullptr;
    if (err != nullptr) *err = nullptr;
    sb_ptr sbs[2] = {sb_ptr(str_buf_new()), sb_ptr(str_buf_new())};
    if (!sbs[0] || !sbs[1]) return -1;

    pollfd fds[2] = {{static_cast<int>(ctx->fd), POLLIN, 0}, {static_cast<int>(ctx->fd_err), POLLIN, 0}};
    char   piece[kReadPiece];
    int    open_count = 2;
    while (open_count > 0) {
        int wait_ms = -1;
        if (ms != UINT32_MAX) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            if (left <= 0) {
                ZLOG_ERR("[%s] pid=%d output not ended within %u ms\n", ctx->cmd, static_cast<int>(ctx->pid), ms);
                errno = ETIMEDOUT;
                return -1;
            }
            wait_ms = static_cast<int>(std::min<int64_t>(left, INT_MAX));
        }
        int r = poll(fds, 2, wait_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, piece, sizeof(piece));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                fds[i].fd = -1;  // poll skips negative descriptors
                open_count--;
                continue;
            }
            if (str_buf_append(sbs[i].get(), piece, static_cast<size_t>(n)) != 0) return -1;
        }
    }
    if (out != nullptr) *out = str_buf_detach_nonnull(sbs[0].release());
    if (err != nullptr) *err = str_buf_detach_nonnull(sbs[1].release());
    if ((out != nullptr && *out == nullptr) || (err != nullptr && *err == nullptr)) {
        if (out != nullptr) os_free(*out);
        if (err != nullptr) os_free(*err);
        if (out != nullptr) *out = nullptr;
        if (err != nullptr) *err = nullptr;
        return -1;
    }
    return 0;
}

int os_waitpid_status_2_eno(pid_t pid, int status, const char *name)
{
    if (name == nullptr) name = "";
    if (WIFEXITED(status)) {
        int code = WEXITSTATUS(status);
        if (code != 0) ZLOG_DBG("[%s] pid=%d exit with %d", name, static_cast<int>(pid), code);
        return code;
    }
    if (WIFCONTINUED(status)) {
        ZLOG_ERR("[%s] pid=%d wait_ret status=0x%x", name, static_cast<int>(pid), static_cast<unsigned>(status));
        return -1;
    }
    if (WIFSTOPPED(status)) {
        ZLOG_ERR("[%s] pid=%d stop by the %d signal", name, static_cast<int>(pid), WSTOPSIG(status));
        return WSTOPSIG(status);
    }
    ZLOG_ERR("[%s] pid=%d killed by the %d signal", name, static_cast<int>(pid), WTERMSIG(status));
    return WTERMSIG(status);
}

int os_perrno_get(popen_ctx *ctx)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    if (ctx->done) return ctx->result;
    int   status = 0;
    pid_t r      = waitpid(static_cast<pid_t>(ctx->pid), &status, WNOHANG);
    if (r == 0) return 0;
    if (r < 0) {
        ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "waitpid pid=%d error: ", static_cast<int>(ctx->pid));
        return -1;
    }
    ctx->result = os_waitpid_status_2_eno(r, status, ctx->cmd);
    ctx->done   = 1;
    return ctx->result;
}

int os_perrno_wait(popen_ctx *ctx, uint32_t ms)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    for (uint32_t i = 0; i < ms && !ctx->done; i++) {
        if (os_perrno_get(ctx) < 0) return -1;
        if (ctx->done) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ctx->done) return ctx->result;
    ZLOG_ERR("waitpid pid=%d timeout_ms=%u...", static_cast<int>(ctx->pid), ms);
    return -1;
}

int os_pclose(popen_ctx *ctx)
{
    if (ctx == nullptr) return 0;
    close(static_cast<int>(ctx->fd));
    close(static_cast<int>(ctx->fd_err));
    os_perrno_wait(ctx, kCloseWaitMs);
    os_free(ctx->cmd);
    os_free(ctx);
    return 0;
}

namespace {

int popen_exec_imp(bool shell, const char *command, char **out, char **err)
{
    popen_ctx *ctx = os_popen_imp(shell, command, "r");
    if (ctx == nullptr) return -1;
    int ret = os_popen_read_all(ctx, out, err);
    if (ret == 0) ret = os_perrno_wait(ctx, kCloseWaitMs);
    os_pclose(ctx);
    return ret;
}

}  // namespace

int os_popen_exec(const char *command, void *, char **out, char **err)
{
    return popen_exec_imp(true, command, out, err);
}

int os_popen_exec_argv(const char *command, void *, char **out, char **err)
{
    return popen_exec_imp(false, command, out, err);
}
