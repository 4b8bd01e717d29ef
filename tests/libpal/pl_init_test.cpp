#include "libpal/env/pl_init.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/memory/mem_init.h"
#include "libpal/os/os_hostid.h"
#include "libpal/tframe/app_desc.h"
#include "libpal/vfile/vfile.h"
#include "liblog/log2.h"

namespace {

// Start-up and shut-down change process-wide state (signal dispositions,
// limits, the default log context, which cannot come back once closed), so
// each lifecycle test runs in a child. The child prints its failed checks on
// standard error and ends with k_child_ok only when there were none.
constexpr int k_child_ok = 42;

struct child_checks {
    std::string faults;
    void expect(bool ok, const std::string &what)
    {
        if (!ok) {
            faults += what + "; ";
        }
    }
};

[[noreturn]] void run_child(const std::function<void(child_checks &)> &body)
{
    child_checks c;
    body(c);
    fflush(stdout);
    if (!c.faults.empty()) {
        fprintf(stderr, "%s\n", c.faults.c_str());
        _exit(1);
    }
    _exit(k_child_ok);
}

#define EXPECT_IN_CHILD(body) EXPECT_EXIT(run_child(body), ::testing::ExitedWithCode(k_child_ok), "")

// Lines that reach the sinks (after the threshold), kept by the line callbacks.
std::vector<std::pair<int, std::string>> &seen_lines()
{
    static std::vector<std::pair<int, std::string>> v;
    return v;
}

void keep_line(int level, const char *tag, const char *line, int len)
{
    seen_lines().emplace_back(level, std::string(tag) + "|" + std::string(line, static_cast<size_t>(len)));
}

void watch_log(int threshold)
{
    log2_set_level(nullptr, threshold);
    log2_ioctl(nullptr, LOG2_CMD_HI_CB, reinterpret_cast<const void *>(&keep_line), 0);
    log2_ioctl(nullptr, LOG2_CMD_LO_CB, reinterpret_cast<const void *>(&keep_line), 0);
    seen_lines().clear();
}

int count_entry_lines()
{
    int n = 0;
    for (const auto &[level, text] : seen_lines()) {
        const bool pal = text.rfind("pal|", 0) == 0;
        if (level == static_cast<int>(LOG2_VERB) && pal && text.find("==>") != std::string::npos) {
            n++;
        }
    }
    return n;
}

uint64_t wall_seconds()
{
    os_time t;
    os_time_now(&t);
    return t.sec;
}

}  // namespace

TEST(IdentifierTables, RowsAsListed)
{
    EXPECT_EQ(std::size(pl_arch_tab), 7u);
    EXPECT_EQ(std::size(pl_os_tab), 5u);
    EXPECT_EQ(std::size(pl_app_tab), 10u);
}

TEST(IdentifierTables, ApplicationNameToId)
{
    struct row {
        const char *name;
        int id;
    };
    const row rows[] = {
        {"zorv", 2}, {"pelo", 1}, {"qdpplug", 10}, {"miraw-setup", 6},
        {"ZORV", 0}, {"zorv ", 0}, {"", 0}, {nullptr, 0}, {"nosuch", 0},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(pl_app_name_2_id(r.name), r.id) << (r.name != nullptr ? r.name : "(null)");
    }
}

TEST(IdentifierTables, IdTextToName)
{
    struct row {
        const char *(*lookup)(const char *);
        const char *text;
        const char *name;
    };
    const row rows[] = {
        {pl_arch_id_2_name, "2", "x64"},
        {pl_arch_id_2_name, "25", "loongarch64"},
        {pl_arch_id_2_name, "99", "unkown(99)"},
        {pl_os_id_2_name, "5", "freebsd"},
        {pl_os_id_2_name, "2", "linux"},
        {pl_os_id_2_name, "0", "unkown(0)"},
        {pl_app_id_2_name, "2", "zorv"},
        {pl_app_id_2_name, "10", "qdpplug"},
        {pl_app_id_2_name, "-1", "unkown(-1)"},
    };
    for (const auto &r : rows) {
        EXPECT_STREQ(r.lookup(r.text), r.name) << r.text;
    }
}

TEST(PlainOutput, WritesAndFlushesStandardOutput)
{
    testing::internal::CaptureStdout();
    pl_printf("%s=%d\n", "pagesize", 4096);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pagesize=4096\n");
}

TEST(PlainOutput, LongTextIsCutAt8191Characters)
{
    const std::string big(10000, 'a');
    testing::internal::CaptureStdout();
    pl_printf("%s", big.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), big.substr(0, 8191));
}

TEST(HostName, EmptyAndNoneBecomeNone)
{
    struct row {
        const char *given;
        const char *recorded;
    };
    const row rows[] = {
        {"(none)", "none"}, {"", "none"}, {"build-7", "build-7"}, {"(none)x", "(none)x"}, {"none", "none"},
    };
    for (const auto &r : rows) {
        char buf[128];
        snprintf(buf, sizeof(buf), "%s", r.given);
        EXPECT_EQ(os_hostname_normalize(buf, sizeof(buf)), buf);
        EXPECT_STREQ(buf, r.recorded) << "[" << r.given << "]";
    }
}

TEST(HostName, MachineNameOrNone)
{
    char expected[256] = {};
    ASSERT_EQ(gethostname(expected, sizeof(expected) - 1), 0);
    if (expected[0] == '\0' || strcmp(expected, "(none)") == 0) {
        snprintf(expected, sizeof(expected), "none");
    }
    char buf[128] = "stale";
    EXPECT_STREQ(os_get_hostname(buf, sizeof(buf)), expected);
}

TEST(HostName, NameThatDoesNotFitLeavesTheBuffer)
{
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof(name) - 1), 0);
    const size_t len = strlen(name);
    if (len < 2) {
        GTEST_SKIP() << "host name too short to overflow a buffer";
    }
    std::vector<char> small(len, 'x');
    small[0] = 'k';
    small[1] = '\0';
    os_get_hostname(small.data(), small.size());
    EXPECT_STREQ(small.data(), "k") << "a failed query keeps the old text";
}

TEST(BootTime, KernelBootTimeInWholeSeconds)
{
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    ASSERT_GT(uptime, 0);
    const uint64_t boot = os_boot_time_ms();
    ASSERT_NE(boot, 0u);
    EXPECT_EQ(boot % 1000, 0u);
    const double expected_ms = (static_cast<double>(wall_seconds()) - uptime) * 1000;
    EXPECT_NEAR(static_cast<double>(boot), expected_ms, 5000);
    EXPECT_EQ(os_boot_id(), 0u);
}

TEST(ZeroValue, StoresZero)
{
    uint64_t v = 77;
    EXPECT_EQ(pl_get_u64_zero(&v), 0);
    EXPECT_EQ(v, 0u);
}

TEST(PageFacts, RecordedByMemInit)
{
    EXPECT_EQ(mem_init(), 0);
    EXPECT_EQ(mem_page_size(), static_cast<int>(sysconf(_SC_PAGESIZE)));
    const uint64_t pages = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES));
    EXPECT_EQ(mem_total(), pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(os_get_mem_total(), mem_total());
}

TEST(PlatformLifecycle, ExitBeforeInitChangesNothing)
{
    EXPECT_IN_CHILD([](child_checks &c) {
        c.expect(pl_exit() == 0, "pl_exit result");
        c.expect(log2_get_ctx(nullptr) != nullptr, "default log context still open");
        c.expect(g_app.stime == 0 && g_app.os == nullptr, "identity untouched");
        c.expect(pl_init() == 0, "pl_init after the early pl_exit");
        c.expect(g_app.os != nullptr, "pl_init still runs its work");
    });
}

TEST(PlatformLifecycle, SecondInitOnlyLogsItsEntry)
{
    EXPECT_IN_CHILD([](child_checks &c) {
        watch_log(LOG2_VERB);
        c.expect(pl_init() == 0, "first pl_init");
        c.expect(count_entry_lines() == 1, "one entry line after the first call");
        // A second run of the work would overwrite these.
        g_app.stime = 1;
        snprintf(g_app.hostname, sizeof(g_app.hostname), "marker");
        c.expect(pl_init() == 0, "second pl_init");
        c.expect(count_entry_lines() == 2, "entry line logged at verb on every call");
        c.expect(g_app.stime == 1 && strcmp(g_app.hostname, "marker") == 0, "second call did no work");
    });
}

TEST(PlatformLifecycle, EntryLineIsBelowDebug)
{
    EXPECT_IN_CHILD([](child_checks &c) {
        watch_log(LOG2_DBG);
        pl_init();
        c.expect(count_entry_lines() == 0, "no entry line at dbg threshold");
    });
}

TEST(PlatformLifecycle, EnvironmentLevelApplied)
{
    struct row {
        const char *env;
        int before;
        int after;
    };
    const row rows[] = {
        {"err", LOG2_INFO, LOG2_ERR},
        {"verb", LOG2_WARN, LOG2_VERB},
        {"loud", LOG2_WARN, LOG2_WARN},  // unknown name: threshold unchanged
    };
    for (const auto &r : rows) {
        EXPECT_IN_CHILD([&r](child_checks &c) {
            log2_set_level(nullptr, r.before);
            setenv("QD_ENV_LOG_LEVEL", r.env, 1);
            pl_init();
            c.expect(log2_get_level(nullptr) == r.after, std::string("threshold after QD_ENV_LOG_LEVEL=") + r.env);
        }) << r.env;
    }
}

TEST(PlatformLifecycle, IdentityFilled)
{
    EXPECT_IN_CHILD([](child_checks &c) {
        utsname u;
        uname(&u);
        const uint64_t before = wall_seconds();
        const uint64_t tick_before = os_tick_ms();
        pl_init();
        c.expect(g_app.os != nullptr && strcmp(g_app.os, "linux") == 0, "os linux");
        c.expect(g_app.os_id == 2, "os_id 2");
        c.expect(g_app.arch != nullptr && strcmp(g_app.arch, u.machine) == 0, "arch from uname");
#if defined(__x86_64__)
        c.expect(strcmp(g_app.arch, "x86_64") == 0, "arch x86_64");
        c.expect(g_app.arch_id == 2, "arch_id 2 (x64)");
#endif
        c.expect(g_app.stime >= before && g_app.stime <= wall_seconds(), "stime is start-up time");
        c.expect(g_app.start_tick >= tick_before && g_app.start_tick <= os_tick_ms(), "start_tick");
        c.expect(g_app.hostname[0] != '\0' && strcmp(g_app.hostname, "(none)") != 0, "hostname");
        c.expect(g_app.sid == os_host_id(), "sid is the host identifier");
        c.expect(g_app.bid == 0, "bid 0");
        c.expect(g_app.exit_on_stop == 1, "exit-on-stop flag");
        c.expect(g_app.app_id == 0, "app_id left for the packet writer");
        c.expect(mem_page_size() == static_cast<int>(sysconf(_SC_PAGESIZE)), "page size recorded");
        c.expect(qdfile_stdout != nullptr, "stream layer up");
        struct sigaction sa;
        sigaction(SIGPIPE, nullptr, &sa);
        c.expect(sa.sa_handler == SIG_IGN, "SIGPIPE ignored");
    });
}

TEST(PlatformLifecycle, ExitTakesLayersDownAndInitRunsAgain)
{
    EXPECT_IN_CHILD([](child_checks &c) {
        pl_init();
        c.expect(pl_exit() == 0, "pl_exit");
        c.expect(qdfile_stdout == nullptr, "stream layer down");
        c.expect(log2_get_ctx(nullptr) == nullptr, "default log context closed");
        c.expect(pl_exit() == 0, "second pl_exit");
        g_app.stime = 0;
        g_app.exit_on_stop = 0;
        pl_init();
        c.expect(g_app.stime != 0 && g_app.exit_on_stop == 1, "the whole sequence ran again");
        c.expect(qdfile_stdout != nullptr, "stream layer up again");
        pl_exit();
    });
}
