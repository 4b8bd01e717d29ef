// The signal handler: stop signals handed over through a self-pipe, fault
// signals logged as a panic.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_panic.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "libpal/os/os_init.h"
#include "libpal/os/posix/os_pid.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/zlog.h"

namespace {

// Installation order; the first three are the stop signals.
constexpr std::array<int, 8> k_panic_signals = {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::array<int, 3> k_stop_signals = {SIGTERM, SIGQUIT, SIGINT};
constexpr int k_stop_exit_status = 253;
constexpr int k_fault_exit_status = 254;
constexpr size_t k_dump_dir_size = 4096;

std::atomic<void (*)()> s_panic_hook{nullptr};
std::atomic<bool> s_core_dump{false};
char s_dump_dir[k_dump_dir_size];

// The stop thread belongs to the process that started it: after a fork the
// child has the pid and the pipe but not the thread, so the handler compares
// pids before it hands a signal over.
std::atomic<pid_t> s_stop_pid{0};
std::atomic<int> s_stop_pipe_w{-1};
std::mutex s_start_lock;

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the handler reads these atomics, which must not take a lock");

bool is_stop_signal(int signo)
{
    return std::find(k_stop_signals.begin(), k_stop_signals.end(), signo) != k_stop_signals.end();
}

void set_action(int signo, void (*action)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = action;
    sigemptyset(&sa.sa_mask);
    // As signal() installs a handler: interrupted calls restart, and the
    // signal stays blocked while its handler runs.
    sa.sa_flags = action == SIG_DFL || action == SIG_IGN ? 0 : SA_RESTART;
    sigaction(signo, &sa, nullptr);
}

const char *text_or_empty(const char *s)
{
    return s != nullptr ? s : "";
}

// Other threads may still run: flush the log sinks, skip static destructors.
[[noreturn]] void end_process(int status)
{
    fflush(stderr);
    _exit(status);
}

// Async-signal-safe only: sigaction, getpid, write, _exit.
void on_stop_signal(int signo)
{
    const int saved = errno;
    // Any stop signal after this one, of whichever kind, ends the process by
    // its default action, also while a stop hook that hangs still runs.
    for (int stop : k_stop_signals)
        set_action(stop, SIG_DFL);
    if (s_stop_pid.load(std::memory_order_acquire) == getpid()) {
        // Nonblocking: a full pipe must never hold the handler.
        const ssize_t n = write(s_stop_pipe_w.load(), &signo, sizeof(signo));
        (void)n;
    } else if (g_app.exit_on_stop != 0) {
        _exit(k_stop_exit_status);
    }
    errno = saved;
}

// The stop hook takes locks, frees memory and waits for threads, so it runs
// here and never inside the handler.
void run_stop(int signo)
{
    if (int (*hook)(int) = g_app.user_stop_proc; hook != nullptr) {
        ZLOG_WARN("signo=%d [%s] call user_stop_proc", signo, strsignal(signo));
        hook(signo);
        return;
    }
    if (g_app.exit_on_stop != 0) {
        ZLOG_WARN("signo=%d [%s] now exit!!", signo, strsignal(signo));
        end_process(k_stop_exit_status);
    }
}

void *stop_thread_main(void *arg)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        int signo = 0;
        const ssize_t n = read(fd, &signo, sizeof(signo));
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof(signo)))
            return nullptr;
        run_stop(signo);
    }
}

// On the faulting thread. A fault inside the logger loses these messages:
// the logger drops a call made from inside itself on the same thread.
void on_fault_signal(int signo)
{
    set_action(signo, SIG_DFL);
    char recent[LOG2_RECENT_SIZE];
    log2_get_recent(nullptr, recent, sizeof(recent));
    ZLOG(LOG2_CRIT | LOG2_F_NOEXIT | LOG2_F_BSVONLY, "[%s]", recent);
    ZLOG(LOG2_CRIT | LOG2_F_NOEXIT | LOG2_F_NET, "signo=%d [%s]\n", signo, strsignal(signo));
    ZLOG(LOG2_CRIT | LOG2_F_NOEXIT, "info: os=%s arch=%s ver=%s\n", text_or_empty(g_app.os),
         text_or_empty(g_app.arch), text_or_empty(g_app.app_ver));
    os_panic_call_hook();
    if (!s_core_dump.load(std::memory_order_acquire))
        end_process(k_fault_exit_status);
    if (s_dump_dir[0] != '\0' && os_mkdirs(s_dump_dir) != 0)
        ZLOG(LOG2_DBG | LOG2_F_ERRNO, "mkdir [%s] error:", s_dump_dir);
    // The signal is blocked while this handler runs; raised again under the
    // default action, it ends the process with a core as the handler returns.
    // Merely ignoring it would let a raised or sent fault signal return into
    // the program, which then runs on after its panic; only a real fault
    // recurs by itself.
    raise(signo);
}

}  // namespace

void panic_handler(int signo)
{
    if (is_stop_signal(signo))
        on_stop_signal(signo);
    else
        on_fault_signal(signo);
}

int os_panic_init()
{
    for (int signo : k_panic_signals)
        set_action(signo, panic_handler);
    // Under a file-size limit (LimitFSIZE, ulimit -f) a write past it would
    // end the whole process, every session with it, before the write could
    // fail with EFBIG; ignored, the write fails and the caller answers it.
    set_action(SIGXFSZ, SIG_IGN);
    return 0;
}

int os_panic_start_stop_thread()
{
    std::lock_guard<std::mutex> hold(s_start_lock);
    const pid_t self = getpid();
    if (s_stop_pid.load() == self)
        return 0;
    // A pipe inherited from the parent stays as it is: daemonizing may have
    // closed it and reused its numbers.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "pipe error: ");
        return -1;
    }
    // The signal handler's write end must never block.
    const int flags = fcntl(fds[1], F_GETFL);
    if (flags == -1 || fcntl(fds[1], F_SETFL, flags | O_NONBLOCK) == -1) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "fcntl error: ");
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        if (rc == 0)
            rc = pthread_create(&tid, &attr, stop_thread_main, reinterpret_cast<void *>(intptr_t{fds[0]}));
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        close(fds[0]);
        close(fds[1]);
        ZLOG_ERR("pthread_create error: %s\n", strerror(rc));
        return -1;
    }
    s_stop_pipe_w.store(fds[1]);
    s_stop_pid.store(self, std::memory_order_release);
    return 0;
}

int os_panic_init_core_dump(const char *directory)
{
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &unlimited) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "setrlimit error: ");
        return -1;
    }
    // A cut path would name another directory: an over-long one is dropped.
    if (str_safecopy(s_dump_dir, sizeof(s_dump_dir), text_or_empty(directory)) != 0)
        s_dump_dir[0] = '\0';
    s_core_dump.store(true, std::memory_order_release);
    return 0;
}

int os_painc_set_dump_dir(const char *directory, const char *name)
{
    ZLOG_VERB("[%s][%s]==>\n", text_or_empty(directory), text_or_empty(name));
    if (!os_is_root())
        return -1;
    if (directory == nullptr || directory[0] == '\0')
        return 0;
    os_panic_init_core_dump(directory);
    return 0;
}

void os_panic_set_hook(void (*hook)())
{
    s_panic_hook.store(hook);
}

void os_panic_call_hook()
{
    if (void (*hook)() = s_panic_hook.load(); hook != nullptr)
        hook();
}
