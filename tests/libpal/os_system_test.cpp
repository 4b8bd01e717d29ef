// Command status and values read from a command's output.
#include "libpal/os/posix/os_system.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_popen.h"
#include "str_log_capture.h"

namespace {

TEST(OsSystem, StatusIsDecoded)
{
    log_capture log;
    struct {
        const char *command;
        int result;
        const char *logged;
    } rows[] = {
        {"true", 0, nullptr},
        {"exit 3", 3, "exit with 3"},
        {"kill -TERM $$", SIGTERM, "killed by the 15 signal"},
    };
    for (const auto &row : rows) {
        log.clear();
        EXPECT_EQ(os_system(row.command), row.result) << row.command;
        if (row.logged != nullptr) {
            EXPECT_TRUE(log.has(row.logged)) << row.command;
        }
    }
}

TEST(GetPopenVal, TakesTheValueBeforeTheHashOfTheKeyedLine)
{
    // Both pipes carry data: the error text never mixes into the values.
    const char *tool =
        "echo 'noise # Disk descr.' >&2; "
        "printf '\\t512\\t# sectorsize\\n   Model A  # Disk descr.\\nID42 # Disk ident.\\n'; exit 2";
    char out[64] = "old";
    EXPECT_EQ(get_popen_val(tool, "Disk descr.", out, sizeof(out)), out);
    EXPECT_STREQ(out, "Model A");
    get_popen_val(tool, "Disk ident.", out, sizeof(out));
    EXPECT_STREQ(out, "ID42");
    get_popen_val(tool, "sectorsize", out, sizeof(out));
    EXPECT_STREQ(out, "512");
    get_popen_val(tool, "Disk", out, sizeof(out));
    EXPECT_STREQ(out, "");
    char small[4];
    get_popen_val(tool, "Disk descr.", small, sizeof(small));
    EXPECT_STREQ(small, "") << "a value that does not fit is not cut";
}

TEST(GetPopenVal, CommandThatOutlivesItsTimeoutIsLeftBehind)
{
    log_capture log;
    // The child keeps its output open far beyond the read bound, and tells
    // its process id (sleep runs in the shell's place) so the test ends it.
    const std::string pid_file = "/tmp/zorv_popen_" + std::to_string(getpid()) + ".pid";
    const std::string command = "echo $$ > " + pid_file + "; echo 'v # k'; exec sleep 15";
    char out[64] = "x";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_popen_val(command.c_str(), "k", out, sizeof(out)), out);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_STREQ(out, "");
    EXPECT_LT(took, std::chrono::seconds(25));
    EXPECT_TRUE(log.has("not ended within"));

    pid_t pid = 0;
    std::ifstream(pid_file) >> pid;
    unlink(pid_file.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, SIGKILL), 0) << "left behind, still running";
    waitpid(pid, nullptr, 0);
}

TEST(PopenReadAll, BoundedReadTimesOutAndUnboundedReadsBothPipes)
{
    popen_ctx *ctx = os_popen("echo out; echo err >&2; exit 4", "r");
    ASSERT_NE(ctx, nullptr);
    char *out = nullptr, *err = nullptr;
    ASSERT_EQ(os_popen_read_all_ms(ctx, &out, &err, 5000), 0);
    EXPECT_STREQ(out, "out\n");
    EXPECT_STREQ(err, "err\n");
    EXPECT_EQ(os_perrno_wait(ctx, 5000), 4);
    os_free(out);
    os_free(err);
    os_pclose(ctx);

    ctx = os_popen("sleep 5", "r");
    ASSERT_NE(ctx, nullptr);
    pid_t pid = static_cast<pid_t>(ctx->pid);
    EXPECT_EQ(os_popen_read_all_ms(ctx, &out, &err, 100), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(out, nullptr);
    os_pclose(ctx);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace
