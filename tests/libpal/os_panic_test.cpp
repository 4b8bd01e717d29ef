#include "libpal/os/posix/os_panic.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_init.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/log2.h"

// Every case changes signal dispositions or ends its process, so each runs in
// a child started afresh (threadsafe death tests re-run only that test).

namespace {

using exit_check = std::function<bool(int)>;

// Each log call as "<level with flags>text" on standard error, where the death
// test matches it; a hook sees the calls that no text sink would show.
[[gnu::format(printf, 7, 0)]] void stderr_hook(uint32_t level, const char *, const char *, int, const char *, int,
                                               const char *fmt, va_list ap)
{
    fprintf(stderr, "<%x>", level);
    vfprintf(stderr, fmt, ap);
}

std::atomic<uint64_t> s_hook_tid{0};
std::atomic<int> s_hook_signo{0};

// A stop sequence that is still running when the next signal comes.
int slow_stop(int signo)
{
    s_hook_signo = signo;
    s_hook_tid = os_thread_id();
    os_sleep_ms(10000);
    return 0;
}

bool wait_for(const std::atomic<uint64_t> &v, uint32_t ms)
{
    const uint64_t end = os_tick_ms() + ms;
    while (v.load() == 0 && os_tick_ms() < end)
        os_sleep_ms(5);
    return v.load() != 0;
}

void panic_hook()
{
    fprintf(stderr, "panic hook ran\n");
}

// A real fault: the processor repeats it when the handler returns. Not a null
// pointer, which the undefined-behaviour checks would catch first.
void touch_low_page(int)
{
    volatile uintptr_t addr = 8;
    *reinterpret_cast<volatile int *>(addr) = 1;
}

std::string machine()
{
    utsname u;
    return uname(&u) == 0 ? u.machine : "";
}

}  // namespace

TEST(StopSignalDeathTest, SecondSignalEndsProcessWhileFirstRunsStopHookElsewhere)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log2_set_level(nullptr, LOG2_VERB);
            g_app.user_stop_proc = slow_stop;
            g_app.exit_on_stop = 1;
            os_panic_init();
            if (os_panic_start_stop_thread() != 0 || os_panic_start_stop_thread() != 0)
                _exit(2);
            const uint64_t signalled = os_thread_id();
            raise(SIGTERM);
            if (!wait_for(s_hook_tid, 2000)) {
                fprintf(stderr, "stop hook did not run\n");
                _exit(3);
            }
            if (s_hook_tid == signalled || s_hook_signo != SIGTERM) {
                fprintf(stderr, "stop hook ran on the signalled thread or with signal %d\n", s_hook_signo.load());
                _exit(4);
            }
            fprintf(stderr, "hook ran on another thread\n");
            raise(SIGTERM);
            fprintf(stderr, "survived the second signal\n");
            _exit(5);
        },
        ::testing::KilledBySignal(SIGTERM),
        "signo=15 \\[Terminated\\] call user_stop_proc.*hook ran on another thread");
}

TEST(StopSignalDeathTest, WithoutHookExitOnStopDecides)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        int signo;
        uint32_t exit_on_stop;
        bool stop_thread;
        exit_check ends;
        const char *stderr_re;
    };
    const row rows[] = {
        {SIGTERM, 1, true, ::testing::ExitedWithCode(253), "signo=15 \\[Terminated\\] now exit!!"},
        {SIGINT, 1, true, ::testing::ExitedWithCode(253), "signo=2 \\[Interrupt\\] now exit!!"},
        {SIGQUIT, 1, true, ::testing::ExitedWithCode(253), "signo=3 \\[Quit\\] now exit!!"},
        // Before the stop thread runs, the handler itself ends the process.
        {SIGTERM, 1, false, ::testing::ExitedWithCode(253), ""},
        // Nothing to do: the process goes on and the next signal ends it.
        {SIGTERM, 0, true, ::testing::KilledBySignal(SIGTERM), "still running"},
        {SIGINT, 0, false, ::testing::KilledBySignal(SIGINT), "still running"},
    };
    for (const auto &r : rows) {
        EXPECT_EXIT(
            {
                log2_set_level(nullptr, LOG2_VERB);
                g_app.user_stop_proc = nullptr;
                g_app.exit_on_stop = r.exit_on_stop;
                os_panic_init();
                if (r.stop_thread && os_panic_start_stop_thread() != 0)
                    _exit(2);
                raise(r.signo);
                os_sleep_ms(1000);
                fprintf(stderr, "still running\n");
                raise(r.signo);
                _exit(3);
            },
            r.ends, r.stderr_re)
            << "signal " << r.signo << " exit_on_stop " << r.exit_on_stop << " thread " << r.stop_thread;
    }
}

TEST(FaultSignalDeathTest, EndsWithStatus254AfterThreeCritMessages)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        int signo;
        void (*fault)(int);
        const char *signal_re;
    };
    const row rows[] = {
        {SIGSEGV, [](int s) { raise(s); }, "signo=11 \\[Segmentation fault\\]"},
        {SIGSEGV, touch_low_page, "signo=11 \\[Segmentation fault\\]"},
        {SIGBUS, [](int s) { raise(s); }, "signo=7 \\[Bus error\\]"},
        {SIGILL, [](int s) { raise(s); }, "signo=4 \\[Illegal instruction\\]"},
        {SIGFPE, [](int s) { raise(s); }, "signo=8 \\[Floating point exception\\]"},
        {SIGABRT, [](int) { abort(); }, "signo=6 \\[Aborted\\]"},
    };
    for (const auto &r : rows) {
        // The real console sink: the crit messages must not end the process
        // themselves (status 1), and the start-up installs the handler.
        const std::string re = std::string(r.signal_re) + ".*info: os=linux arch=" + machine() +
                               " ver=9\\.8\\.7.*panic hook ran";
        EXPECT_EXIT(
            {
                pl_init();
                g_app.app_ver = "9.8.7";
                os_panic_set_hook(panic_hook);
                r.fault(r.signo);
                _exit(3);
            },
            ::testing::ExitedWithCode(254), re)
            << "signal " << r.signo;
    }
}

TEST(FaultSignalDeathTest, CritMessagesCarryTheirFlags)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // 0x200 keeps each crit message from ending the process; the recent lines
    // go only to a binary record (0x800), the signal also to the collector (0x400).
    EXPECT_EXIT(
        {
            pl_init();
            g_app.app_ver = "1.0";
            log2_set_hook(nullptr, stderr_hook);
            raise(SIGSEGV);
            _exit(3);
        },
        ::testing::ExitedWithCode(254),
        "<a02>\\[.*\\]<602>signo=11 \\[Segmentation fault\\]\n<202>info: os=linux arch=[^ ]+ ver=1\\.0\n");
}

TEST(CoreDumpDeathTest, RootWithDirectoryCreatesItAndEndsWithTheSignal)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "core dumps are for root only";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        int signo;
        void (*fault)(int);
        const char *sub;
    };
    // A raised fault signal is not repeated by the processor: the process must
    // still end with it instead of returning into the program.
    const row rows[] = {
        {SIGSEGV, [](int s) { raise(s); }, "segv/a/b"},
        {SIGSEGV, touch_low_page, "real"},
        {SIGFPE, [](int s) { raise(s); }, "fpe"},
        {SIGABRT, [](int) { abort(); }, "abrt/x"},
    };
    const std::filesystem::path base = std::filesystem::path(::testing::TempDir()) / "zorv_panic_dump";
    std::filesystem::remove_all(base);
    for (const auto &r : rows) {
        const std::string dir = (base / r.sub).string();
        EXPECT_EXIT(
            {
                pl_init();
                if (os_painc_set_dump_dir(dir.c_str(), "zorv") != 0)
                    _exit(2);
                rlimit core;
                if (getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != RLIM_INFINITY ||
                    core.rlim_max != RLIM_INFINITY)
                    _exit(4);
                // Keeps the kernel from writing the core into the working directory.
                core.rlim_cur = 0;
                setrlimit(RLIMIT_CORE, &core);
                r.fault(r.signo);
                _exit(3);
            },
            ::testing::KilledBySignal(r.signo), "")
            << "signal " << r.signo;
        EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
    }
    std::filesystem::remove_all(base);
}

TEST(CoreDumpDeathTest, StaysOffWithoutRootOrDirectory)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr uid_t k_nobody = 65534;
    struct row {
        bool as_root;
        bool direct;  // os_panic_init_core_dump instead of os_painc_set_dump_dir
        const char *dir;
        int result;
    };
    // A directory missing from the test's own.
    const std::string missing = ::testing::TempDir() + "zorv_no_dump";
    const row rows[] = {
        {true, false, "", 0},
        {true, false, nullptr, 0},
        {false, false, missing.c_str(), -1},
        // A hard core limit of 0 cannot be raised without root.
        {false, true, missing.c_str(), -1},
    };
    for (const auto &r : rows) {
        if (r.as_root && geteuid() != 0)
            continue;
        EXPECT_EXIT(
            {
                pl_init();
                rlimit none;
                none.rlim_cur = none.rlim_max = 0;
                setrlimit(RLIMIT_CORE, &none);
                if (!r.as_root && geteuid() == 0 && seteuid(k_nobody) != 0)
                    _exit(2);
                const int got = r.direct ? os_panic_init_core_dump(r.dir) : os_painc_set_dump_dir(r.dir, "zorv");
                rlimit core;
                if (got != r.result || getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_max != 0)
                    _exit(4);
                raise(SIGSEGV);
                _exit(3);
            },
            ::testing::ExitedWithCode(254), r.direct ? "setrlimit error: " : "")
            << "root " << r.as_root << " dir " << (r.dir ? r.dir : "(null)");
    }
}

TEST(PanicInit, StartUpInstallsHandlerForItsEightSignalsOnly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            os_init();
            int bad = 0;
            for (int s : {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
                struct sigaction sa;
                sigaction(s, nullptr, &sa);
                bad += sa.sa_handler != panic_handler;
            }
            for (int s : {SIGCHLD, SIGHUP, SIGUSR1}) {
                struct sigaction sa;
                sigaction(s, nullptr, &sa);
                bad += sa.sa_handler != SIG_DFL;
            }
            _exit(bad);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// 0 when, after start-up under a 64 KiB file-size limit, a write below it
// succeeds and one past it fails with EFBIG.
int write_past_limit(const std::string &path)
{
    os_init();
    const rlimit limit{65536, 65536};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 2;
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return 3;
    const char block[4096] = {};
    const ssize_t below = pwrite(fileno(f), block, sizeof(block), 61440);
    errno = 0;
    const ssize_t past = pwrite(fileno(f), block, sizeof(block), 65536);
    const int eno = errno;
    fclose(f);
    unlink(path.c_str());
    return below == 4096 && past == -1 && eno == EFBIG ? 0 : 4;
}

}  // namespace

// Under a file-size limit a write past it fails with EFBIG; the process and
// its other threads go on.
TEST(PanicInit, WritePastTheFileSizeLimitFailsWithoutEndingTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = testing::TempDir() + "fsize-limit.img";
    EXPECT_EXIT(_exit(write_past_limit(path)), ::testing::ExitedWithCode(0), "");
}
