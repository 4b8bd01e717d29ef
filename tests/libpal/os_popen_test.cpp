// Command runner: output and error pipes, result codes, bounded waits.
#include "libpal/os/os_popen.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#define FAIL_INJECT_DEFINE
#include "fail_inject.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/posix/os_system.h"
#include "str_log_capture.h"
#include "tool_files.h"

namespace {

std::string take(char *text)
{
    std::string s = text != nullptr ? text : "(null)";
    os_free(text);
    return s;
}

}  // namespace

TEST(OsPopen, ModeMustBeReadOrWrite)
{
    for (const char *mode : {"rw", "", "x", "rb"}) {
        errno = 0;
        EXPECT_EQ(os_popen("true", mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
}

TEST(OsPopen, ChildThatCannotTakeItsPipesDoesNotRunTheCommand)
{
    char *out = nullptr;
    char *err = nullptr;
    int rc = 0;
    {
        fail_inject::armed fail(fail_inject::dup2_errno, EBADF);
        rc = os_popen_exec("echo escaped", nullptr, &out, &err);
    }
    EXPECT_EQ(rc, EBADF) << "the child ends with the errno of its failed dup2";
    EXPECT_EQ(take(out), "");
    EXPECT_EQ(take(err), "");
}

TEST(OsPopen, OutputErrorAndExitCodeAreSeparate)
{
    log_capture log;
    popen_ctx  *ctx = os_popen("printf a; printf b >&2; exit 3", "r");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(take(os_popen_stdout(ctx)), "a");
    EXPECT_EQ(take(os_popen_stderr(ctx)), "b");
    EXPECT_EQ(os_perrno_wait(ctx, 2000), 3);
    EXPECT_TRUE(log.has("exit with 3"));
    EXPECT_EQ(os_perrno_get(ctx), 3);
    EXPECT_EQ(os_pclose(ctx), 0);
}

TEST(OsPopen, ResultCodes)
{
    struct row {
        const char *cmd;
        bool shell;
        int code;
        const char *logged;
    };
    const tool_dir dir;
    const std::string missing = dir.path() + "/missing/program arg";
    const row rows[] = {
        {"exit 0", true, 0, nullptr},
        {"kill -9 $$", true, 9, "killed by the 9 signal"},
        // A program that cannot be started ends its child with the errno.
        {missing.c_str(), false, ENOENT, nullptr},
        {"sh -c \"exit 7\"", false, 7, "exit with 7"},
    };
    for (const row &r : rows) {
        log_capture log;
        char       *out = nullptr;
        char       *err = nullptr;
        int         code = r.shell ? os_popen_exec(r.cmd, nullptr, &out, &err)
                                   : os_popen_exec_argv(r.cmd, nullptr, &out, &err);
        EXPECT_EQ(code, r.code) << r.cmd;
        if (r.logged != nullptr) {
            EXPECT_TRUE(log.has(r.logged)) << r.cmd;
        }
        os_free(out);
        os_free(err);
    }
}

// The daemon ignores SIGXFSZ; a command it starts, by any of the ways to
// start one, must still be ended by a write past its file-size limit, as it
// would be from a shell. Checked with the signal ignored and with it blocked:
// both survive exec.
TEST(OsPopen, EveryWayOfStartingAChildGivesTheDefaultFileSizeSignal)
{
    const char *tmp = getenv("TEST_TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/popen-fsize-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string file = dir + "/big";
    const std::string cmd = "ulimit -f 1; exec head -c 4096 /dev/zero > " + file;
    const auto popen_shell = [](const std::string &c) { return os_popen_exec(c.c_str(), nullptr, nullptr, nullptr); };
    const auto popen_argv = [](const std::string &c) {
        return os_popen_exec_argv(("sh -c \"" + c + "\"").c_str(), nullptr, nullptr, nullptr);
    };
    const auto system_way = [](const std::string &c) { return os_system(c.c_str()); };
    const struct {
        const char *way;
        int (*run)(const std::string &);
    } ways[] = {{"os_popen", popen_shell}, {"os_popen_argv", popen_argv}, {"os_system", system_way}};

    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    sigset_t xfsz;
    sigset_t mask_before;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    for (const bool blocked : {false, true}) {
        if (blocked)
            ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &xfsz, &mask_before), 0);
        else
            ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &before), 0);
        for (const auto &w : ways)
            EXPECT_EQ(w.run(cmd), SIGXFSZ) << w.way << (blocked ? ", signal blocked" : ", signal ignored");
        if (blocked)
            pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
        else
            sigaction(SIGXFSZ, &before, nullptr);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());
}

TEST(OsPopen, ArgvFormKeepsQuotedWords)
{
    char *out = nullptr;
    EXPECT_EQ(os_popen_exec_argv("printf \"%s|%s\" \"a b\" c", nullptr, &out, nullptr), 0);
    EXPECT_EQ(take(out), "a b|c");
    EXPECT_EQ(os_popen_argv("", "r"), nullptr);
}

TEST(OsPopen, WriteModeFeedsTheChild)
{
    popen_ctx *ctx = os_popen("tr a-z A-Z >&2", "w");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(write(static_cast<int>(ctx->fd), "hello", 5), 5);
    close(static_cast<int>(ctx->fd));
    ctx->fd = static_cast<uint32_t>(open("/dev/null", O_RDONLY));
    EXPECT_EQ(take(os_popen_stderr(ctx)), "HELLO");
    EXPECT_EQ(os_pclose(ctx), 0);
}

TEST(OsPopen, BothPipesAreDrainedTogether)
{
    // Far more than a pipe holds on each side: reading one pipe to its end
    // before the other would leave the child blocked on the other.
    char *out = nullptr;
    char *err = nullptr;
    int code = os_popen_exec("head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o",
                             nullptr, &out, &err);
    EXPECT_EQ(code, 0);
    std::string o = take(out);
    std::string e = take(err);
    EXPECT_EQ(o.size(), 300000u);
    EXPECT_EQ(e.size(), 300000u);
    EXPECT_EQ(o.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(e.find_first_not_of('e'), std::string::npos);
}

TEST(OsPopen, WaitsAreBounded)
{
    log_capture log;
    popen_ctx  *ctx = os_popen("sleep 60", "r");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(os_perrno_get(ctx), 0);
    EXPECT_EQ(os_perrno_wait(ctx, 50), -1);
    EXPECT_TRUE(log.has("timeout_ms=50"));
    auto start = std::chrono::steady_clock::now();
    pid_t pid  = static_cast<pid_t>(ctx->pid);
    EXPECT_EQ(os_pclose(ctx), 0);
    // The close waits for the child a thousand sleeps of 1 ms, much longer on
    // a loaded machine; one that waited for its end would take its 60 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(OsPopen, ExitStatusTranslation)
{
    log_capture log;
    EXPECT_EQ(os_waitpid_status_2_eno(1, 0, nullptr), 0);
    EXPECT_EQ(os_waitpid_status_2_eno(1, 5 << 8, "job"), 5);
    EXPECT_TRUE(log.has("[job] pid=1 exit with 5"));
    EXPECT_EQ(os_waitpid_status_2_eno(1, 0x137f, "job"), SIGSTOP);
    EXPECT_TRUE(log.has("stop by the 19 signal"));
    EXPECT_EQ(os_waitpid_status_2_eno(1, SIGTERM, nullptr), SIGTERM);
    EXPECT_TRUE(log.has("[] pid=1 killed by the 15 signal"));
    EXPECT_EQ(os_waitpid_status_2_eno(1, 0xffff, "job"), -1);
    EXPECT_TRUE(log.has("wait_ret status=0xffff"));
}
