#include "liblog/log2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "liblog/log_console.h"
#include "liblog/log_file.h"
#include "libpal/os/posix/os_panic.h"
#include "stderr_capture.h"
#include "log_test_util.h"
#include "../libpal/tool_files.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "libpal/string/str_buf.h"

namespace {

// Lines handed to the user callbacks, in order.
struct cb_line {
    bool high;
    int level;
    std::string tag;
    std::string line;
    int len;
};

std::mutex g_cb_lock;
std::vector<cb_line> g_cb_lines;

void record(bool high, int level, const char *tag, const char *line, int len)
{
    std::lock_guard guard(g_cb_lock);
    g_cb_lines.push_back({high, level, tag, line, len});
}

void hi_cb(int level, const char *tag, const char *line, int len)
{
    record(true, level, tag, line, len);
}

void lo_cb(int level, const char *tag, const char *line, int len)
{
    record(false, level, tag, line, len);
}

std::vector<cb_line> take_cb_lines()
{
    std::lock_guard guard(g_cb_lock);
    return std::exchange(g_cb_lines, {});
}

// The logger's texts, as their getters copy them out.
std::string recent_of(log2_ctx *ctx)
{
    char buf[LOG2_RECENT_SIZE];
    log2_get_recent(ctx, buf, sizeof(buf));
    return buf;
}

std::string file_path_of(log2_ctx *ctx)
{
    char buf[4096];
    log2_get_file_path(ctx, buf, sizeof(buf));
    return buf;
}

template <typename Fn>
const void *fn_arg(Fn fn)
{
    return reinterpret_cast<const void *>(fn);
}

// A private context: console off, both callbacks set, no prefixes.
class LogCtx : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_ = log2_ctx_new();
        ASSERT_NE(ctx_, nullptr);
        log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
        log2_ioctl(ctx_, LOG2_CMD_FLAGS, as_arg(0), 0);
        log2_ioctl(ctx_, LOG2_CMD_HI_CB, fn_arg(hi_cb), 0);
        log2_ioctl(ctx_, LOG2_CMD_LO_CB, fn_arg(lo_cb), 0);
        take_cb_lines();
    }
    void TearDown() override
    {
        log2_exit(ctx_);
        take_cb_lines();
    }
    log2_ctx *ctx_ = nullptr;
};

uint32_t my_tid()
{
    return static_cast<uint32_t>(os_thread_id());
}

std::string with_tid(std::string pattern)
{
    const size_t at = pattern.find("TID");
    if (at != std::string::npos) {
        pattern.replace(at, 3, std::to_string(my_tid()));
    }
    return pattern;
}

TEST_F(LogCtx, LinePrefixFollowsFlagWords)
{
    struct row {
        const char *words;
        const char *file;
        const char *pattern;  // "TID" stands for the calling thread's id
    };
    const row rows[] = {
        {"no_colour", "a.c", "hello 7\n"},
        {"func", "a.c", "fn\\(\\): hello 7\n"},
        {"tid", "a.c", "\\[TID\\] hello 7\n"},
        {"tid_name", "a.c", "\\[TID\\] hello 7\n"},  // unnamed thread: its id alone
        {"time", "a.c", "\\d{2}:\\d{2}:\\d{2} hello 7\n"},
        {"time_ms|tid", "a.c", "\\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\[TID\\] hello 7\n"},
        {"time|time_ms", "a.c", "\\d{2}:\\d{2}:\\d{2}\\.\\d{3} hello 7\n"},
        {"time_ms|time", "a.c", "\\d{2}:\\d{2}:\\d{2} hello 7\n"},
        {"file", "src/lib/liblog/liblog.c", "\\[liblog\\.c:123\\] hello 7\n"},
        {"file", "src\\lib\\liblog.c", "\\[liblog\\.c:123\\] hello 7\n"},
        {"time|tid|func", "a.c", "\\d{2}:\\d{2}:\\d{2} \\[TID\\] fn\\(\\): hello 7\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.words);
        ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FLAGS_STR, r.words, 0), 0);
        log2_printf(ctx_, LOG2_INFO, "t", r.file, 123, "fn", "hello %d\n", 7);
        auto lines = take_cb_lines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string pattern = with_tid(r.pattern);
        EXPECT_TRUE(std::regex_match(lines[0].line, std::regex(pattern))) << lines[0].line;
        EXPECT_EQ(lines[0].len, static_cast<int>(lines[0].line.size()));
    }
}

TEST_F(LogCtx, ThreadNamePrefixShowsRegisteredName)
{
    log2_ioctl(ctx_, LOG2_CMD_FLAGS_STR, "tid_name", 0);
    std::thread([this] {
        log2_set_thread_name("wrk");
        log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "named\n");
        log2_set_thread_name(nullptr);
        log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "unnamed\n");
    }).join();
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0].line, std::regex("\\[wrk_[0-9a-f]{4}_\\d+\\] named\n"))) << lines[0].line;
    EXPECT_TRUE(std::regex_match(lines[1].line, std::regex("\\[\\d+\\] unnamed\n"))) << lines[1].line;
}

TEST_F(LogCtx, MessageWithoutLineEndGetsOneAndEmptyTagIsNamed)
{
    log2_printf(ctx_, LOG2_ERR, "", "a.c", 1, "fn", "no end");
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "no end\n");
    EXPECT_EQ(lines[0].tag, "tag");
}

TEST(LogFlags, WordsToBits)
{
    struct row {
        const char *words;
        uint32_t flags;
        const char *err;
    };
    const row rows[] = {
        {"", 0x20, ""},
        {"no_colour", 0x00, ""},
        {"time|tid|func", 0x27, ""},
        {"time_ms|tid", 0x61, ""},
        {"time|time_ms", 0x60, ""},
        {"file", 0x38, ""},
        {"tid_name|no_colour", 0x80, ""},
        {"bogus|tid", 0x21, "Invalid tags: [bogus]\n"},
        {"Time", 0x20, "Invalid tags: [Time]\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.words);
        stderr_capture cap;
        EXPECT_EQ(log_flags_2_int(r.words), r.flags);
        EXPECT_EQ(cap.take(), r.err);
    }
}

TEST_F(LogCtx, LevelAboveThresholdReachesNothing)
{
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_LEVEL_STR, "info", 0), 0);
    log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(1), 0);
    stderr_capture cap;
    log2_printf(ctx_, LOG2_DBG, "t", "a.c", 1, "fn", "hidden\n");
    log2_printf(ctx_, LOG2_VERB, "t", "a.c", 1, "fn", "hidden\n");
    EXPECT_EQ(cap.take(), "");
    EXPECT_TRUE(take_cb_lines().empty());
    EXPECT_EQ(recent_of(ctx_), "");

    log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "shown\n");
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "shown\n");
}

TEST_F(LogCtx, CallbacksSplitAtWarnAndNeedBoth)
{
    log2_printf(ctx_, LOG2_WARN, "t", "a.c", 1, "fn", "w\n");
    log2_printf(ctx_, LOG2_NOTI, "t", "a.c", 1, "fn", "n\n");
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].high);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_TRUE(lines[1].high);
    EXPECT_EQ(lines[1].level, 5);

    log2_ioctl(ctx_, LOG2_CMD_LO_CB, nullptr, 0);
    log2_printf(ctx_, LOG2_NOTI, "t", "a.c", 1, "fn", "n\n");
    EXPECT_TRUE(take_cb_lines().empty());
    EXPECT_EQ(recent_of(ctx_), "w\nn\nn\n");
}

TEST_F(LogCtx, ErrnoTextAppendedAndErrnoKept)
{
    errno = ENOENT;
    log2_printf(ctx_, LOG2_ERR | LOG2_F_ERRNO, "t", "a.c", 1, "fn", "open x: ");
    EXPECT_EQ(errno, ENOENT);
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, std::string("open x: ") + strerror(ENOENT) + "\n");

    // Every path leaves errno alone: filtered, hooked, plain.
    log2_ioctl(ctx_, LOG2_CMD_LEVEL, as_arg(LOG2_ERR), 0);
    errno = EAGAIN;
    log2_printf(ctx_, LOG2_DBG, "t", "a.c", 1, "fn", "filtered\n");
    EXPECT_EQ(errno, EAGAIN);
    log2_printf(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "plain\n");
    EXPECT_EQ(errno, EAGAIN);
    log2_puts(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "puts\n");
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(LogCtx, RecordOnlyMessageReachesNoTextSink)
{
    log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(1), 0);
    stderr_capture cap;
    log2_printf(ctx_, LOG2_ERR | LOG2_F_BSVONLY, "t", "a.c", 1, "fn", "record only\n");
    // A crit record-only message does not end the process either.
    log2_printf(ctx_, LOG2_CRIT | LOG2_F_BSVONLY, "t", "a.c", 1, "fn", "crit record only\n");
    EXPECT_EQ(cap.take(), "");
    EXPECT_TRUE(take_cb_lines().empty());
    EXPECT_EQ(recent_of(ctx_), "");
}

TEST_F(LogCtx, CritWithNoExitFlagContinues)
{
    log2_printf(ctx_, LOG2_CRIT | LOG2_F_NOEXIT, "t", "a.c", 1, "fn", "survived\n");
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "survived\n");
    EXPECT_EQ(recent_of(ctx_), "survived\n");
}

void stderr_cb(int level, const char *tag, const char *line, int len)
{
    (void)level;
    (void)tag;
    fprintf(stderr, "cb[%.*s]", len, line);
}

// The panic hook puts back what the process changed (a raw terminal).
void hook_on_stderr()
{
    fprintf(stderr, "hook\n");
}

TEST(LogCrit, CritMessageEndsProcessWithStatusOneAfterSinksAndTheHook)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            os_panic_set_hook(hook_on_stderr);
            log2_ctx *ctx = log2_ctx_new();
            log2_ioctl(ctx, LOG2_CMD_FLAGS, as_arg(0), 0);
            log2_ioctl(ctx, LOG2_CMD_HI_CB, fn_arg(stderr_cb), 0);
            log2_ioctl(ctx, LOG2_CMD_LO_CB, fn_arg(stderr_cb), 0);
            log2_printf(ctx, LOG2_CRIT, "t", "a.c", 1, "fn", "fatal %d\n", 42);
            fprintf(stderr, "still running\n");
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "^cb\\[fatal 42\n\\]fatal 42\nhook\n$");
}

// Logs on its own context from inside the logger.
log2_ctx *g_reenter_ctx = nullptr;
int g_reenter_calls = 0;

void reenter_cb(int level, const char *tag, const char *line, int len)
{
    g_reenter_calls++;
    log2_printf(g_reenter_ctx, LOG2_ERR, "t", "a.c", 1, "fn", "from callback\n");
    record(level > 4, level, tag, line, len);
}

void reenter_hook(uint32_t level, const char *tag, const char *file, int line, const char *func, int eno,
                  const char *fmt, va_list ap)
{
    (void)level; (void)file; (void)line; (void)func; (void)eno; (void)ap;
    g_reenter_calls++;
    log2_printf(g_reenter_ctx, LOG2_ERR, tag, "a.c", 1, "fn", "from hook: %s", fmt);
}

TEST_F(LogCtx, LogCallFromInsideLoggerIsDropped)
{
    g_reenter_ctx = ctx_;
    g_reenter_calls = 0;
    log2_ioctl(ctx_, LOG2_CMD_HI_CB, fn_arg(reenter_cb), 0);
    log2_ioctl(ctx_, LOG2_CMD_LO_CB, fn_arg(reenter_cb), 0);
    log2_printf(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "outer\n");
    EXPECT_EQ(g_reenter_calls, 1);
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "outer\n");
    EXPECT_EQ(log2_get_busy(ctx_), 0u);

    // The hook runs without the lock; a hook that logs on its own context is
    // still not entered again.
    g_reenter_calls = 0;
    log2_set_hook(ctx_, reenter_hook);
    log2_printf(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "via hook\n");
    EXPECT_EQ(g_reenter_calls, 1);
    EXPECT_TRUE(take_cb_lines().empty());
}

// What the hook saw.
struct hook_call {
    uint32_t level;
    std::string tag;
    int eno;
    std::string text;
};
std::vector<hook_call> g_hook_calls;

[[gnu::format(printf, 7, 0)]] void keep_hook(uint32_t level, const char *tag, const char *file, int line,
                                             const char *func, int eno, const char *fmt, va_list ap)
{
    (void)file; (void)line; (void)func;
    char buf[256];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    g_hook_calls.push_back({level, tag, eno, buf});
    errno = 0;  // the log call still leaves the caller's errno
}

TEST_F(LogCtx, HookTakesTheCallOver)
{
    g_hook_calls.clear();
    log2_ioctl(ctx_, LOG2_CMD_LEVEL_STR, "err", 0);
    log2_set_hook(ctx_, keep_hook);
    errno = EBADF;
    log2_printf(ctx_, LOG2_DBG | LOG2_F_ERRNO, "", "a.c", 1, "fn", "x=%d", 5);
    EXPECT_EQ(errno, EBADF);
    log2_puts(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "puts skips the hook\n");
    ASSERT_EQ(g_hook_calls.size(), 1u);
    EXPECT_EQ(g_hook_calls[0].level, LOG2_DBG | LOG2_F_ERRNO);
    EXPECT_EQ(g_hook_calls[0].tag, "tag");
    EXPECT_EQ(g_hook_calls[0].eno, EBADF);
    EXPECT_EQ(g_hook_calls[0].text, "x=5");
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "puts skips the hook\n");

    log2_set_hook(ctx_, nullptr);
    log2_printf(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "direct\n");
    EXPECT_EQ(take_cb_lines().size(), 1u);
}

TEST_F(LogCtx, PutsAndWriteLineTakeTextAsGiven)
{
    log2_puts(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "100%d done");
    log2_write_line(ctx_, LOG2_WARN, "w", "ready line\nrest", 11);
    auto lines = take_cb_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, "100%d done\n");
    EXPECT_EQ(lines[1].line, "ready line\n");
    EXPECT_EQ(lines[1].tag, "w");
    EXPECT_FALSE(lines[1].high);
}

TEST_F(LogCtx, ConcurrentLinesStayWhole)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    log2_ioctl(ctx_, LOG2_CMD_HI_CB, nullptr, 0);
    log2_ioctl(ctx_, LOG2_CMD_LO_CB, nullptr, 0);
    log2_ioctl(ctx_, LOG2_CMD_FLAGS_STR, "tid|no_colour", 0);
    log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(1), 0);
    const std::string payload(200, 'p');
    stderr_capture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; i++) {
                log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "thread %d line %d %s\n", t, i, payload.c_str());
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    const std::string out = cap.take();
    const std::regex whole("\\[\\d+\\] thread (\\d) line (\\d+) p{200}");
    std::vector<int> next(kThreads, 0);
    size_t start = 0;
    int count = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(start, end - start);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines in order
        start = end + 1;
        count++;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LogCtx, RecentLinesKeepWholeNewestLines)
{
    std::string all;
    for (int i = 0; i < 200; i++) {
        const std::string text = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x') + "\n";
        log2_puts(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", text.c_str());
        all += text;
        const std::string recent = recent_of(ctx_);
        ASSERT_LE(recent.size(), 1023u);
        ASSERT_GE(all.size(), recent.size());
        ASSERT_EQ(all.compare(all.size() - recent.size(), recent.size(), recent), 0);
        const size_t cut = all.size() - recent.size();
        ASSERT_TRUE(cut == 0 || all[cut - 1] == '\n') << "cut inside a line at " << cut;
        ASSERT_FALSE(recent.empty());
    }
}

// Printable text and line ends only, within the recent buffer: a copy taken
// while another thread rewrites the buffer would show torn or stray bytes.
static bool whole_text(const std::string &text, size_t cap)
{
    if (text.size() >= cap)
        return false;
    for (const char c : text) {
        if (c != '\n' && (c < 0x20 || c > 0x7e))
            return false;
    }
    return true;
}

// Three readers copy the logger's texts while six threads log at verb level
// and one re-opens the log file under alternating names.
TEST_F(LogCtx, TextsAreCopiedWholeWhileOthersLog)
{
    const std::string dir = ::testing::TempDir();
    const std::string names[] = {dir + "zorv_copy_a.log", dir + "zorv_copy_bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.log"};
    log2_ioctl(ctx_, LOG2_CMD_LEVEL, as_arg(LOG2_VERB), 0);
    log2_ioctl(ctx_, LOG2_CMD_HI_CB, nullptr, 0);
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, names[0].c_str(), -1), 0);
    log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(1), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; i++)
                log2_printf(ctx_, LOG2_VERB, "t", "a.c", 1, "fn", "writer %d line %d %s\n", t, i,
                            std::string(static_cast<size_t>(i % 97), 'x').c_str());
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); i++)
            log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, names[i % 2].c_str(), -1);
    });
    for (int r = 0; r < 3; r++) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                const std::string recent = recent_of(ctx_);
                const std::string path = file_path_of(ctx_);
                log2_info info{};
                log2_get_info(ctx_, &info);
                if (!whole_text(recent, LOG2_RECENT_SIZE) || (path != names[0] && path != names[1]) ||
                    (info.file_path != names[0] && info.file_path != names[1]))
                    bad++;
            }
        });
    }
    for (size_t i = 0; i < 6; i++)
        threads[i].join();
    stop.store(true);
    for (size_t i = 6; i < threads.size(); i++)
        threads[i].join();
    EXPECT_EQ(bad.load(), 0);
    log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(0), 0);
    for (const auto &name : names)
        unlink(name.c_str());
}

TEST_F(LogCtx, LongMessageCutOnConsole)
{
    log2_ioctl(ctx_, LOG2_CMD_HI_CB, nullptr, 0);
    log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(1), 0);
    const std::string big(9000, 'm');
    stderr_capture cap;
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "%s", big.c_str());
    const std::string out = cap.take();
    EXPECT_EQ(out.size(), 8191u);
    EXPECT_EQ(out, std::string(8190, 'm') + "\n");
    // The whole message, line end added, stays in the builder for the log file.
    ASSERT_NE(ctx_->msg, nullptr);
    EXPECT_EQ(std::string(ctx_->msg->text, ctx_->msg->len), big + "\n");
}

TEST_F(LogCtx, CommandsApplyOrAnswerTheirError)
{
    struct row {
        int cmd;
        const void *arg;
        int len;
        int rc;
        const char *err;       // the whole of standard error
        const char *contains;  // when err is nullptr: a part of it
    };
    const row rows[] = {
        {LOG2_CMD_LEVEL, as_arg(4), 0, 0, "", nullptr},
        {LOG2_CMD_LEVEL_STR, "debug", 0, -1, "error: invalid level [debug]\n", nullptr},
        {LOG2_CMD_LEVEL_STR, "INFO", 0, -1, "error: invalid level [INFO]\n", nullptr},
        {99, nullptr, 0, -1, "Invalid command code=99\n", nullptr},
        {LOG2_CMD_FILE_OPEN, "/dev/null/x.log", 0, -1, "log file /dev/null/x.log cannot be opened: Not a directory\n",
         nullptr},
        {LOG2_CMD_FILE_OPEN, "/dev/null/x.pcap", 0, -1, nullptr,
         "log file /dev/null/x.pcap cannot be opened: Not a directory\n"},
        {LOG2_CMD_FILE_SIZE, as_arg(4096), 0, 0, "", nullptr},
        {LOG2_CMD_SYSLOG_URL, "udp://127.0.0.1", 0, 0, "", nullptr},
        {LOG2_CMD_BSV_URL, "udp://127.0.0.1", 0, 0, "", nullptr},
        {LOG2_CMD_BSV_URL, "tcp://127.0.0.1:5140", 0, -1, nullptr, "unknown scheme [tcp]"},
        {LOG2_CMD_BSV_URL, "udp://127.0.0.1:70000", 0, -1, nullptr, "does not parse"},
        {LOG2_CMD_FILE_ON, as_arg(1), 0, 0, "", nullptr},
        {LOG2_CMD_SYSLOG_ON, as_arg(1), 0, 0, "", nullptr},
    };
    pl_init();  // the log file's stream layer
    for (const auto &r : rows) {
        SCOPED_TRACE(r.cmd);
        stderr_capture cap;
        EXPECT_EQ(log2_ioctl(ctx_, r.cmd, r.arg, r.len), r.rc);
        const std::string err = cap.take();
        if (r.err != nullptr) {
            EXPECT_EQ(err, r.err);
        } else {
            EXPECT_NE(err.find(r.contains), std::string::npos) << err;
        }
        EXPECT_EQ(log2_get_level(ctx_), 4);  // only the first row changes it
    }

    uint32_t level = 0xdead;
    EXPECT_EQ(log2_ioctl(ctx_, LOG2_CMD_GET_LEVEL, &level, 2), -1);
    EXPECT_EQ(level, 0xdeadu);
    EXPECT_EQ(log2_ioctl(ctx_, LOG2_CMD_GET_LEVEL, &level, 4), 0);
    EXPECT_EQ(level, 4u);

    EXPECT_EQ(log2_set_level_str(ctx_, "verb"), 0);
    EXPECT_STREQ(log2_get_level_str(ctx_), "verb");
    stderr_capture cap;
    EXPECT_EQ(log2_set_level_str(ctx_, "verbose"), -1);
    cap.take();
    EXPECT_EQ(log2_get_level(ctx_), 8);
    EXPECT_EQ(log2_set_level(ctx_, 3), 3);
    EXPECT_EQ(log2_get_level(ctx_), 3);
}

TEST_F(LogCtx, InfoDumpListsSettings)
{
    log2_ioctl(ctx_, LOG2_CMD_LEVEL_STR, "noti", 0);
    log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(1), 0);
    log2_info info{};
    ASSERT_EQ(log2_get_info(ctx_, &info), 0);
    EXPECT_EQ(info.level, 5u);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.console_on, 0);
    EXPECT_EQ(info.file_on, 1);
    char *dump = log2_info_dump(ctx_);
    ASSERT_NE(dump, nullptr);
    EXPECT_STREQ(dump,
                 "log_level=noti\nlog_shell_enale_out=0\nlog_file_enale_out=1\nlog_file_name=''\n"
                 "log_file_max_size=2097152\nlog_syslog_enale_out=0\nlog_syslog_url=''\nlog_bsvlog_url=''\n");
    os_free(dump);
    EXPECT_EQ(file_path_of(ctx_), "");
    EXPECT_EQ(log2_get_file_fd(ctx_), -1);

    // An open log file and a syslog URL show in the settings; texts with
    // blanks are single-quoted.
    pl_init();  // the log file's stream layer
    const std::string dir = ::testing::TempDir() + "zorv info dump";
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/x.log";
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, path.c_str(), 0), 0);
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_SYSLOG_URL, "tcp://127.0.0.1:1514", 0), 0);
    log2_ioctl(ctx_, LOG2_CMD_FILE_SIZE, as_arg(8192), 0);
    char real[4096];
    ASSERT_NE(realpath(path.c_str(), real), nullptr);
    EXPECT_EQ(file_path_of(ctx_), real);
    EXPECT_GE(log2_get_file_fd(ctx_), 0);
    dump = log2_info_dump(ctx_);
    ASSERT_NE(dump, nullptr);
    const std::string text = dump;
    os_free(dump);
    EXPECT_NE(text.find(std::string("log_file_name='") + real + "'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("log_file_max_size=8192\n"), std::string::npos) << text;
    EXPECT_NE(text.find("log_syslog_url=tcp://127.0.0.1:1514\n"), std::string::npos) << text;
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(LogConsole, ColourByLevel)
{
    struct row {
        int level;
        const char *seq;  // nullptr: plain
    };
    const row rows[] = {
        {2, "\033[01;07;31m"}, {3, "\033[01;31m"}, {4, "\033[01;33m"}, {5, "\033[07;37m"},
        {6, nullptr},          {7, "\033[36m"},    {8, "\033[32m"},    {9, nullptr},
    };
    log2_ctx *ctx = log2_ctx_new();
    ASSERT_NE(ctx, nullptr);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.level);
        stderr_capture cap;
        log_console_write(ctx, r.level, "t", "msg\n", 4);
        const std::string expected = r.seq == nullptr ? "msg\n" : std::string(r.seq) + "msg\n\033[0m";
        EXPECT_EQ(cap.take(), expected);
    }
    log2_ioctl(ctx, LOG2_CMD_FLAGS_STR, "no_colour", 0);
    stderr_capture cap;
    log_console_write(ctx, 5, "t", "msg\n", 4);
    EXPECT_EQ(cap.take(), "msg\n");
    log2_exit(ctx);
}

TEST(LogConsole, NotiLineThroughLogCallIsColoured)
{
    log2_ctx *ctx = log2_ctx_new();
    ASSERT_NE(ctx, nullptr);
    log2_ioctl(ctx, LOG2_CMD_FLAGS_STR, "func", 0);
    stderr_capture cap;
    log2_printf(ctx, LOG2_NOTI, "t", "a.c", 1, "fn", "note\n");
    EXPECT_EQ(cap.take(), "\033[07;37mfn(): note\n\033[0m");
    log2_exit(ctx);
}

TEST(LogLevels, EachLevelHasItsShortLongAndSyslogName)
{
    struct row {
        int level;
        const char *name;
        const char *prefix;
        const char *web;
    };
    const row rows[] = {
        {8, "verb", "VERB", "debug"},   {7, "dbg", "DEBUG", "debug"}, {6, "info", "INFO", "info"},
        {5, "noti", "NOTI", "warning"}, {4, "warn", "WARN", "warning"}, {3, "err", "ERROR", "error"},
        {2, "crit", "CRIT", "error"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(log2_level_name(r.level), r.name);
        EXPECT_STREQ(log2_level_prefix(r.level), r.prefix);
        EXPECT_STREQ(log2_level_2_web_name(r.level), r.web);
        EXPECT_EQ(log2_level_from_name(r.name), r.level);
        EXPECT_EQ(log2_level_from_prefix(r.prefix), r.level);
    }
    EXPECT_STREQ(log2_level_name(9), "unkown(9)");
    stderr_capture cap;
    EXPECT_EQ(log2_level_from_name("DBG"), -1);
    EXPECT_EQ(log2_level_from_prefix("debug"), -1);
    EXPECT_EQ(cap.take(), "error: invalid level [DBG]\nerror: invalid prefix [debug]\n");
    EXPECT_STREQ(log2_level_names(), "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(log2_level_help(), "log.verb=8\nlog.dbg=7\nlog.info=6\nlog.noti=5\nlog.warn=4\nlog.err=3\nlog.crit=2");
}

// The default context is process-wide: its shutdown is checked in a child.
TEST(LogDefault, ExitDropsLaterCallsWithoutNewContext)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log2_printf(nullptr, LOG2_ERR | LOG2_F_NOEXIT, "t", "a.c", 1, nullptr, "before\n");
            log2_ctx *def = log2_get_ctx(nullptr);
            int bad = def == nullptr ? 1 : 0;
            bad |= log2_exit(nullptr) != 0 ? 2 : 0;
            bad |= log2_get_ctx(nullptr) != nullptr ? 4 : 0;
            log2_printf(nullptr, LOG2_ERR | LOG2_F_NOEXIT, "t", "a.c", 1, nullptr, "after\n");
            bad |= log2_ioctl(nullptr, LOG2_CMD_LEVEL, as_arg(3), 0) != -1 ? 8 : 0;
            bad |= log2_exit(nullptr) != 0 ? 16 : 0;
            bad |= log2_get_ctx(nullptr) != nullptr ? 32 : 0;
            bad |= log2_get_level(nullptr) != 0 ? 64 : 0;
            // Named by its pointer the default still acts once: it stays
            // whole for a thread that read the pointer before the exit.
            bad |= log2_exit(def) != 0 ? 128 : 0;
            log2_printf(def, LOG2_ERR | LOG2_F_NOEXIT, "t", "a.c", 1, nullptr, "named\n");
            bad |= log2_get_level(def) != 7 ? 256 : 0;
            fprintf(stderr, "done\n");
            _exit(bad);
        },
        ::testing::ExitedWithCode(0), "before\n(.|\n)*done\n$");
}

TEST(LogDefault, DefaultLinesCarryDefaultPrefixesAndForwardHookFeedsIt)
{
    log2_ctx *other = log2_ctx_new();
    ASSERT_NE(other, nullptr);
    log2_set_hook(other, log2_hook_forward);
    log2_ioctl(nullptr, LOG2_CMD_FLAGS_STR, "no_colour", 0);
    stderr_capture cap;
    errno = ENOENT;
    log2_printf(other, LOG2_ERR | LOG2_F_ERRNO, "t", "a.c", 1, "fn", "forwarded: ");
    EXPECT_EQ(errno, ENOENT);
    log2_printf_cb(LOG2_ERR, "t", "a.c", 1, "fn", EIO, "plugin %d\n", 3);
    EXPECT_EQ(cap.take(), std::string("forwarded: ") + strerror(ENOENT) + "\nplugin 3\n");
    log2_ioctl(nullptr, LOG2_CMD_FLAGS, as_arg(LOG2_DEFAULT_FLAGS), 0);
    log2_exit(other);
}

// The diagnostics switch is process-wide and stays on: tests that turn it
// on run in a child.
TEST(LogDefault, InitTakesOverTheDefaultOnceAndReportsEachKey)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A default made by a first log call waits for its configuration.
    EXPECT_EXIT(
        {
            setenv("QDDBGLOG", "1", 1);
            log2_ctx *def = log2_get_ctx(nullptr);
            log2_ctx *first =
                log2_init_str("[log]\ndebug=1\nlevel=err\nflags=no_colour\nfile_mode=a\nfile_size=4k\n", nullptr);
            int bad = first == nullptr || first != def ? 1 : 0;
            bad |= log2_get_level(def) != 3 || def->flags.load() != 0 || strcmp(def->file.mode, "a") != 0 ? 2 : 0;
            // A context made after the takeover does not hand the default over again.
            log2_exit(log2_ctx_new());
            log2_ctx *second = log2_init_str("[log]\nlevel=warn\n", nullptr);
            bad |= second == nullptr || second == def || log2_get_level(second) != 4 ? 4 : 0;
            bad |= log2_get_level(def) != 3 ? 8 : 0;
            log2_ctx *bare = log2_init_imp("ini_str", nullptr, nullptr);
            bad |= bare == nullptr || bare == def || bare == second ? 16 : 0;
            _exit(bad);
        },
        ::testing::ExitedWithCode(0),
        "^conf=\\[\\[log\\]\ndebug=1\nlevel=err\nflags=no_colour\nfile_mode=a\nfile_size=4k\n\\]\n"
        "log\\.debug=1\nlog\\.level=err\nlog\\.flags=no_colour\nlog_flags_2_int=no_colour 0x0\n"
        "log\\.syslog=\nlog\\.bsvlog=\nlog\\.file_dir=\nlog\\.file_size=4k\nlog2_ioctl log\\.file_size=4096\n"
        "log\\.file=\nlog\\.max_num_file=\n"
        "conf=\\[\\[log\\]\nlevel=warn\n\\]\nlog\\.debug=\nlog\\.level=warn\n");
    // Without a default the first configuration makes it.
    EXPECT_EXIT(
        {
            log2_ctx *first = log2_init_str("[log]\nlevel=noti\n", nullptr);
            int bad = first == nullptr || first != log2_get_ctx(nullptr) ? 1 : 0;
            bad |= log2_get_level(nullptr) != 5 ? 2 : 0;
            _exit(bad);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LogDefault, UnreadableConfigurationIsReportedAndChangesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child makes its own directory (the death test runs the test again
    // in a new process) and removes it before it ends.
    EXPECT_EXIT(
        {
            setenv("QDDBGLOG", "1", 1);
            int bad = 0;
            {
                const tool_dir dir;
                log2_ctx *def = log2_init_file((dir.path() + "/missing/zorv.ini").c_str(), nullptr);
                bad = def == nullptr || def != log2_get_ctx(nullptr) || log2_get_level(def) != 7 ? 1 : 0;
                log2_ctx *other = log2_init_imp("json", "{}", nullptr);
                bad |= other == nullptr || other == def || log2_get_level(other) != 7 ? 2 : 0;
            }
            _exit(bad);
        },
        ::testing::ExitedWithCode(0),
        "conf_load \\[/[^]]*/missing/zorv\\.ini\\] failed\n(.|\n)*type \\[json\\] error\n");
}

// A context configured from INI text, never the default one: the first
// configuration of the process has already taken the default over.
log2_ctx *conf_ctx(const char *type, const char *text, const char *name)
{
    static const bool taken = [] {
        log2_ctx *c = log2_init_imp("ini_str", nullptr, nullptr);
        if (c != log2_get_ctx(nullptr)) {
            log2_exit(c);
        }
        return true;
    }();
    (void)taken;
    return log2_init_imp(type, text, name);
}

TEST(LogConf, KeysOfTheSectionTakeEffect)
{
    struct row {
        const char *type;
        const char *text;
        const char *name;
        int level;
        uint32_t flags;
        const char *mode;
    };
    const tool_dir dir;
    const std::string missing = dir.path() + "/missing/zorv.ini";
    const row rows[] = {
        {"ini_str", "[log]\nlevel=warn\nflags=time|tid\n", nullptr, 4, 0x23, "w"},
        {"ini_str", "[log]\nlevel=warn\n[log_disk]\nlevel=noti\nflags=no_colour\n", "disk", 5, 0x00, "w"},
        {"ini_str", "[log]\nlevel=warn\n", "disk", 7, 0x27, "w"},          // no section log_disk
        {"ini_str", "[log]\nlevel=\nflags=\nfile_mode=\n", nullptr, 7, 0x27, "w"},  // empty: unchanged
        {"ini_str", "[log]\nlevel=debug\n", nullptr, 7, 0x27, "w"},         // unknown level name
        {"ini_str", "[log]\nfile_mode=a\n", nullptr, 7, 0x27, "a"},
        {"ini_str", "[log]\nfile_mode=append\n", nullptr, 7, 0x27, "w"},
        {"ini_file", missing.c_str(), nullptr, 7, 0x27, "w"},
        {"json", "{}", nullptr, 7, 0x27, "w"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        stderr_capture cap;
        log2_ctx *ctx = conf_ctx(r.type, r.text, r.name);
        cap.take();
        ASSERT_NE(ctx, nullptr);
        ASSERT_NE(ctx, log2_get_ctx(nullptr));
        EXPECT_EQ(log2_get_level(ctx), r.level);
        EXPECT_EQ(ctx->flags.load(), r.flags);
        EXPECT_STREQ(ctx->file.mode, r.mode);
        log2_exit(ctx);
    }
}

// A value the section refuses is said once, at warn level through the
// logger (so in every sink of the context), naming the key and the value as
// written; nothing else reaches standard error, and the setting is unchanged.
TEST(LogConf, RefusedValueIsSaidOnceNamingTheLineAsWritten)
{
    struct row {
        const char *line;
        const char *why;
    };
    const row rows[] = {
        {"level=verbose", "not a log level (verb, dbg, info, warn, err); the level is unchanged"},
        {"file_mode=append", "not a mode (a, w); the mode is unchanged"},
        {"max_num_file=many", "not a number; no old file is removed"},
        {"file_size=1k", "not a size of at least 2048 bytes; the cap is unchanged"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.line);
        const std::string text = std::string("[log]\nflags=no_colour\n") + r.line + "\n";
        stderr_capture cap;
        log2_ctx *ctx = conf_ctx("ini_str", text.c_str(), nullptr);
        const std::string err = cap.take();
        ASSERT_NE(ctx, nullptr);
        // The line's prefix depends on whether "flags" was applied before the key.
        const std::string said = std::string("config [log] ") + r.line + " refused: " + r.why + "\n";
        const std::string recent = recent_of(ctx);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(said), std::string::npos) << err;
        EXPECT_EQ(std::count(recent.begin(), recent.end(), '\n'), 1) << recent;
        EXPECT_TRUE(recent.ends_with(said)) << recent;
        EXPECT_EQ(log2_get_level(ctx), LOG2_DBG);
        EXPECT_STREQ(ctx->file.mode, "w");
        EXPECT_EQ(ctx->file.cap, LOG_FILE_DEFAULT_CAP);
        log2_exit(ctx);
    }
}

// The default context writes what was logged before its file opened as soon
// as the file opens: the file's cap and mode are in force by then, so an
// append-mode log under its configured cap is kept whole, and one over it is
// cut to half that cap, not to half the default one.
TEST(LogConf, AppendModeLogIsJudgedByItsConfiguredCapAtItsOpen)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr uint64_t kMiB = 1024 * 1024;
    struct row {
        uint64_t existing;
        uint64_t min_after;
        uint64_t max_after;
    };
    // Configured cap 8 MiB; the default cap is 2 MiB (cut to 1 MiB).
    const row rows[] = {
        {3 * kMiB, 3 * kMiB, 3 * kMiB + 64 * 1024},
        {9 * kMiB, 4 * kMiB - 64 * 1024, 4 * kMiB + 64 * 1024},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.existing);
        EXPECT_EXIT(
            {
                const tool_dir dir;
                const std::string path = dir.path() + "/x.log";
                {
                    std::ofstream f(path, std::ios::binary);
                    const std::string line(99, 'o');
                    for (uint64_t n = 0; n < r.existing; n += 100)
                        f << line << '\n';
                }
                log2_printf(nullptr, LOG2_WARN, "t", "a.c", 1, "fn", "before the file opened\n");
                log2_init_str(("[log]\nfile_mode=a\nfile=" + path + "\nfile_size=8M\n").c_str(), nullptr);
                log2_exit(nullptr);
                struct stat st {};
                const bool ok = stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= r.min_after &&
                                static_cast<uint64_t>(st.st_size) <= r.max_after;
                if (!ok)
                    fprintf(stderr, "size after the open: %lld\n", static_cast<long long>(st.st_size));
                _exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST(LogConf, FileSizeBelowMinimumWarnsAndKeepsTheCap)
{
    struct row {
        const char *size;
        const char *warning;  // nullptr: applied through the size command
        uint32_t cap;
    };
    const row rows[] = {
        {"1k", "config [log] file_size=1k refused: not a size of at least 2048 bytes; the cap is unchanged\n",
         LOG_FILE_DEFAULT_CAP},
        {"2047", "config [log] file_size=2047 refused: not a size of at least 2048 bytes; the cap is unchanged\n",
         LOG_FILE_DEFAULT_CAP},
        {"2048", nullptr, 2048},
        {"4k", nullptr, 4096},
        {"8g", nullptr, UINT32_MAX},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.size);
        const std::string text = std::string("[log]\nflags=no_colour\nfile_size=") + r.size + "\n";
        stderr_capture cap;
        log2_ctx *ctx = conf_ctx("ini_str", text.c_str(), nullptr);
        const std::string err = cap.take();
        ASSERT_NE(ctx, nullptr);
        if (r.warning != nullptr) {
            EXPECT_EQ(err, r.warning);
            EXPECT_EQ(recent_of(ctx), r.warning);
        } else {
            EXPECT_EQ(err.find("refused"), std::string::npos) << err;
        }
        EXPECT_EQ(ctx->file.cap, r.cap);
        log2_exit(ctx);
    }
}

TEST(LogConf, SinkKeysGoThroughTheirCommands)
{
    // Absolute paths, so that file_dir does not land beside the test binary.
    const std::string dir = ::testing::TempDir() + "zorv_conf_sinks";
    const std::string logs = dir + "/logs";
    mkdir(dir.c_str(), 0755);
    mkdir(logs.c_str(), 0755);
    pl_init();
    for (const char *old : {"/a_1.log", "/a_2.log", "/a_3.log"}) {
        FILE *f = fopen((logs + old).c_str(), "w");
        if (f != nullptr) {
            fclose(f);
        }
    }
    setenv("ZORV_CONF_RUN", "4", 1);
    const std::string text = "[log]\nsyslog=tcp://127.0.0.1:1514\nbsvlog=udp://127.0.0.1:5140\nfile_dir=" + logs +
                             "\nfile=a_${ZORV_CONF_RUN}.log\nmax_num_file=2\n";
    stderr_capture cap;
    log2_ctx *ctx = conf_ctx("ini_str", text.c_str(), nullptr);
    const std::string err = cap.take();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(err, "");
    EXPECT_EQ(ctx->bsv.port, 5140u);
    EXPECT_STREQ(ctx->bsv.host, "127.0.0.1");
    EXPECT_EQ(log2_bsv_join(ctx, 5000), 0);
    EXPECT_GE(log2_get_bsv_fd(ctx), 0);
    log2_info info{};
    ASSERT_EQ(log2_get_info(ctx, &info), 0);
    EXPECT_STREQ(info.bsv_url, "udp://127.0.0.1:5140");
    EXPECT_EQ(ctx->syslog_on.load(), 1);
    EXPECT_EQ(ctx->net.state, 1u);
    EXPECT_EQ(ctx->net.kind, LOG_NET_TCP);
    EXPECT_EQ(ctx->net.port, 1514u);
    EXPECT_EQ(ctx->file_on.load(), 1);
    EXPECT_STREQ(ctx->file.dir, logs.c_str());
    EXPECT_STREQ(ctx->file.pattern, "a_?*.log");
    EXPECT_EQ(file_path_of(ctx), logs + "/a_4.log");
    // max_num_file runs after the file is opened: the two names that sort
    // last are kept, the new file among them.
    for (const char *name : {"/a_1.log", "/a_2.log", "/a_3.log", "/a_4.log"}) {
        const bool kept = strcmp(name, "/a_3.log") == 0 || strcmp(name, "/a_4.log") == 0;
        EXPECT_EQ(access((logs + name).c_str(), F_OK) == 0, kept) << name;
    }
    log2_exit(ctx);
    unsetenv("ZORV_CONF_RUN");
    for (const char *name : {"/a_3.log", "/a_4.log"}) {
        unlink((logs + name).c_str());
    }
    rmdir(logs.c_str());
    rmdir(dir.c_str());
}

TEST(LogDiag, SilentUnlessSwitchedOn)
{
    stderr_capture cap;
    log2_diag_printf("diag %d\n", 1);
    EXPECT_EQ(cap.take(), "");
}

}  // namespace

namespace {

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// What is logged before the sinks open (the warnings of reading the
// configuration) reaches each sink once it is switched on, once, and only
// until the sinks are declared open; the levels that count are those in
// force when the sink opens. A pcap file takes its records as it opens, with
// the call's file, line and function.
TEST(LogEarly, LinesBeforeTheSinksOpenReachEachSinkOnce)
{
    pl_init();
    const std::string dir = ::testing::TempDir() + "zorv_log_early_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    struct row {
        const char *name;
        std::string marker;  // before each message in the file
    };
    for (const row &r : {row{"early.log", ""}, row{"early.pcap", std::string("a.c\0" "1\0" "fn\0", 9)}}) {
        SCOPED_TRACE(r.name);
        const std::string path = dir + "/" + r.name;
        const int peer = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr *>(&a), &len), 0);

        log2_ctx *ctx = log2_ctx_new();
        log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(intptr_t{0}), 0);
        log2_printf(ctx, LOG2_WARN, "t", "a.c", 1, "fn", "configuration warning\n");
        log2_printf(ctx, LOG2_DBG, "t", "a.c", 1, "fn", "below the level set later\n");
        log2_ioctl(ctx, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{LOG2_INFO}), 0);
        ASSERT_EQ(log2_ioctl(ctx, LOG2_CMD_FILE_OPEN, path.c_str(), -1), 0);
        log2_ioctl(ctx, LOG2_CMD_FILE_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        log2_printf(ctx, LOG2_WARN, "t", "a.c", 1, "fn", "between the two\n");
        log2_ioctl(ctx, LOG2_CMD_FILE_ON, reinterpret_cast<const void *>(intptr_t{0}), 0);
        log2_ioctl(ctx, LOG2_CMD_FILE_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        // Opened again, appending: what the file had is not written twice.
        ASSERT_EQ(log_file_set_mode(&ctx->file, "a"), 0);
        ASSERT_EQ(log2_ioctl(ctx, LOG2_CMD_FILE_OPEN, path.c_str(), -1), 0);
        log2_ioctl(ctx, LOG2_CMD_FILE_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        const std::string url = "udp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, url.c_str(), -1);
        log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        log2_ioctl(ctx, LOG2_CMD_EARLY_END, nullptr, 0);
        log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        log2_printf(ctx, LOG2_WARN, "t", "a.c", 1, "fn", "the end\n");

        const std::string file = slurp(path);
        EXPECT_EQ(count_of(file, r.marker + "configuration warning"), 1u) << file;
        EXPECT_EQ(count_of(file, r.marker + "between the two"), 1u) << file;
        EXPECT_EQ(count_of(file, r.marker + "the end"), 1u) << file;
        EXPECT_EQ(count_of(file, "below the level"), 0u) << file;
        std::string packets;
        char buf[4096];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
            packets.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(count_of(packets, "configuration warning"), 1u) << packets;
        EXPECT_EQ(count_of(packets, "between the two"), 1u) << packets;
        EXPECT_EQ(count_of(packets, "the end"), 1u) << packets;
        EXPECT_EQ(count_of(packets, "below the level"), 0u) << packets;
        log2_exit(ctx);
        close(peer);
        unlink(path.c_str());
    }
    rmdir(dir.c_str());
}

}  // namespace
