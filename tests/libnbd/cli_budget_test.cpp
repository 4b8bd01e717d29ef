#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_proto.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr uint64_t MiB = 1 << 20;

uint64_t machine_memory()
{
    return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE));
}

// A fake /proc/self/cgroup and cgroup tree under a directory of its own.
struct cgroup_tree {
    fs::path dir;
    cgroup_tree()
    {
        const char *tmp = getenv("TEST_TMPDIR");
        dir = fs::path(tmp != nullptr ? tmp : "/tmp") / ("cli_budget_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "root");
    }
    ~cgroup_tree() { fs::remove_all(dir); }
    void put(const std::string &rel, const std::string &text) const
    {
        const fs::path p = dir / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    std::string proc() const { return (dir / "proc_cgroup").string(); }
    std::string root() const { return (dir / "root").string(); }
};

uint64_t ms_since(clock_type::time_point t0)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count());
}

// Sets the budget for one test and gives it back to the memory limit after.
struct budget_scope {
    explicit budget_scope(uint64_t bytes) { cli_buf_budget_set(bytes); }
    ~budget_scope() { cli_buf_budget_set(0); }
};

}  // namespace

// The memory the daemon may use: the tightest memory cgroup limit from its
// own cgroup up to the root, in either cgroup version, never more than the
// machine has; the machine's memory where no limit is set.
TEST(MemLimit, TightestCgroupLimitOnTheWayUpElseTheMachine)
{
    const uint64_t machine = machine_memory();
    const struct row {
        const char *what;
        const char *proc;  // /proc/self/cgroup; nullptr: no such file
        std::vector<std::pair<std::string, std::string>> files;  // below the cgroup root
        uint64_t limit;  // 0: the machine's memory
    } rows[] = {
        {"v2 leaf", "0::/svc/zorv\n", {{"svc/zorv/memory.max", "100663296\n"}, {"svc/memory.max", "max\n"}}, 96 * MiB},
        {"v2 parent tighter", "0::/svc/zorv\n",
         {{"svc/zorv/memory.max", "100663296\n"}, {"svc/memory.max", "67108864\n"}}, 64 * MiB},
        {"v2 no limit", "0::/svc/zorv\n", {{"svc/zorv/memory.max", "max\n"}}, 0},
        {"v2 root cgroup", "0::/\n", {}, 0},
        {"v1 memory controller", "7:cpu,cpuacct:/a\n4:memory:/b\n",
         {{"memory/b/memory.limit_in_bytes", "52428800\n"}, {"a/memory.max", "1048576\n"}}, 50 * MiB},
        {"v1 without limit", "4:memory:/b\n", {{"memory/b/memory.limit_in_bytes", "9223372036854771712\n"}}, 0},
        {"v1 other controllers only", "5:cpu,cpuacct:/y\n", {{"cpu,cpuacct/y/memory.limit_in_bytes", "1048576\n"}}, 0},
        {"limit above the machine", "0::/big\n", {{"big/memory.max", std::to_string(machine * 4) + "\n"}}, 0},
        {"garbage in the limit", "0::/g\n", {{"g/memory.max", "12abc\n"}}, 0},
        {"no cgroup file", nullptr, {}, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        cgroup_tree t;
        if (r.proc != nullptr) {
            t.put("proc_cgroup", r.proc);
        }
        for (const auto &[rel, text] : r.files) {
            t.put("root/" + rel, text);
        }
        bool from_cgroup = true;
        EXPECT_EQ(cli_mem_limit(t.proc().c_str(), t.root().c_str(), &from_cgroup), r.limit != 0 ? r.limit : machine);
        EXPECT_EQ(from_cgroup, r.limit != 0);
    }
}

// Half of it for request buffers: in 96 MiB, one 32 MiB request at a time
// beside the daemon's own memory.
TEST(BufBudget, HalfTheMemoryLimitAndOneLargestRequestWhenUnknown)
{
    EXPECT_EQ(cli_buf_budget_of(96 * MiB), 48 * MiB);
    EXPECT_EQ(cli_buf_budget_of(64 * MiB), 32 * MiB);
    EXPECT_EQ(cli_buf_budget_of(0), uint64_t{NBD_REQ_BUF_MAX});
}

// What no wait can make room for is refused at once; what must wait for
// room is refused when its time-out passes, granting nothing.
TEST(BufBudget, RefusesAtOnceWhatNeverFitsAndAfterTheWaitWhatDoesNotFitNow)
{
    budget_scope scope(10 * MiB);
    ASSERT_TRUE(cli_buf_budget_take(6 * MiB, 0, nullptr));
    EXPECT_FALSE(cli_buf_budget_take(6 * MiB, 0, nullptr));
    auto t0 = clock_type::now();
    // Waiting the 5 s would be the fault.
    EXPECT_FALSE(cli_buf_budget_take(11 * MiB, 5000, nullptr));
    EXPECT_LT(ms_since(t0), 2500u);
    t0 = clock_type::now();
    EXPECT_FALSE(cli_buf_budget_take(6 * MiB, 300, nullptr));
    EXPECT_GE(ms_since(t0), 290u);
    EXPECT_EQ(cli_buf_budget_used(nullptr), 6 * MiB);
    ASSERT_TRUE(cli_buf_budget_take(4 * MiB, 0, nullptr));
    cli_buf_budget_give(10 * MiB);
    EXPECT_EQ(cli_buf_budget_used(nullptr), 0u);
}

// Waiters are granted in the order they came: a small request that would fit
// now does not pass a large one that waits for room before it.
TEST(BufBudget, WaitersAreGrantedInTheOrderTheyCame)
{
    budget_scope scope(10 * MiB);
    ASSERT_TRUE(cli_buf_budget_take(6 * MiB, 0, nullptr));
    std::mutex lock;
    std::vector<int> order;
    std::thread large([&] {
        if (cli_buf_budget_take(6 * MiB, 10000, nullptr)) {
            const std::lock_guard g(lock);
            order.push_back(6);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // in line first
    std::thread small([&] {
        if (cli_buf_budget_take(2 * MiB, 10000, nullptr)) {
            const std::lock_guard g(lock);
            order.push_back(2);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        const std::lock_guard g(lock);
        EXPECT_TRUE(order.empty());  // 2 MiB would fit, but it came second
    }
    // Room for the large one only: granted first, it leaves none for the
    // small one, which goes on waiting. (Given room for both at once, the
    // order the two threads wake in would say nothing of the grants.)
    cli_buf_budget_give(2 * MiB);
    large.join();
    {
        const std::lock_guard g(lock);
        EXPECT_EQ(order, (std::vector<int>{6}));
    }
    cli_buf_budget_give(6 * MiB);
    small.join();
    EXPECT_EQ(order, (std::vector<int>{6, 2}));
    EXPECT_EQ(cli_buf_budget_used(nullptr), 6 * MiB);
    cli_buf_budget_give(6 * MiB);
}

// A waiter whose stop state is set leaves the wait when the stop wakes it,
// not at the end of its time-out.
TEST(BufBudget, StopWakesAWaiterAtOnce)
{
    budget_scope scope(10 * MiB);
    ASSERT_TRUE(cli_buf_budget_take(6 * MiB, 0, nullptr));
    std::atomic<uint32_t> stop{0};
    std::atomic<bool> granted{true};
    const auto t0 = clock_type::now();
    std::thread waiter([&] { granted = cli_buf_budget_take(6 * MiB, 10000, &stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.store(2);
    cli_buf_budget_wake();
    waiter.join();
    EXPECT_FALSE(granted.load());
    EXPECT_LT(ms_since(t0), 5000u);  // the time-out is 10 s
    EXPECT_EQ(cli_buf_budget_used(nullptr), 6 * MiB);
    cli_buf_budget_give(6 * MiB);
}
