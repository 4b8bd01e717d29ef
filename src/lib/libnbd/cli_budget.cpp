// The process-wide budget of request buffers: the part of a READ's or
// WRITE's buffer above NBD_REQ_BUF_KEEP is granted here before it is
// allocated, so that no number of clients, each within the 32 MiB a request
// may carry, can make the daemon use more memory than it may. Under
// overcommit an allocation never fails: the pages come in during the read or
// receive, and past a memory cgroup's limit the kernel ends the process.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_proto.h"

namespace {

// cgroup v1 writes "no limit" as the largest page-aligned 63-bit value.
constexpr uint64_t k_no_limit = UINT64_C(1) << 62;

// The first line of a file, empty when it cannot be read.
std::string first_line(const std::string &path)
{
    std::string line;
    if (FILE *f = fopen(path.c_str(), "re")) {
        char buf[256];
        if (fgets(buf, sizeof(buf), f) != nullptr) {
            line = buf;
        }
        fclose(f);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// A limit file's value: 0 for "max", an unreadable file or no number.
uint64_t limit_value(const std::string &path)
{
    const std::string text = first_line(path);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
        return 0;
    }
    const uint64_t v = std::stoull(text);
    return v >= k_no_limit ? 0 : v;
}

// The smallest limit named file holds in dir or any directory above it up
// to root: a parent's limit binds its children too. 0 when none is set.
uint64_t smallest_limit(const std::string &root, std::string_view dir, const char *file)
{
    uint64_t best = 0;
    for (;;) {
        const uint64_t v = limit_value(root + std::string(dir) + "/" + file);
        if (v != 0 && (best == 0 || v < best)) {
            best = v;
        }
        const size_t slash = dir.rfind('/');
        if (dir.empty() || slash == std::string_view::npos) {
            return best;
        }
        dir = dir.substr(0, slash);
    }
}

// The memory cgroup's limit of the process, 0 when none: the v2 line
// "0::/path" names a directory of the unified tree, a v1 line "N:...memory...:/path"
// one of the memory controller's tree.
uint64_t cgroup_limit(const char *proc_cgroup, const char *cgroup_root)
{
    FILE *f = fopen(proc_cgroup, "re");
    if (f == nullptr) {
        return 0;
    }
    uint64_t best = 0;
    char buf[4096];
    while (fgets(buf, sizeof(buf), f) != nullptr) {
        std::string_view line(buf, strcspn(buf, "\n"));
        const size_t c1 = line.find(':');
        const size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string_view::npos) {
            continue;
        }
        const std::string_view ctrls = line.substr(c1 + 1, c2 - c1 - 1);
        std::string_view path = line.substr(c2 + 1);
        if (path == "/") {
            path = "";
        }
        uint64_t v = 0;
        if (ctrls.empty()) {
            v = smallest_limit(cgroup_root, path, "memory.max");
        } else if (("," + std::string(ctrls) + ",").find(",memory,") != std::string::npos) {
            v = smallest_limit(std::string(cgroup_root) + "/memory", path, "memory.limit_in_bytes");
        }
        if (v != 0 && (best == 0 || v < best)) {
            best = v;
        }
    }
    fclose(f);
    return best;
}

uint64_t machine_memory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}

// Waiters are served in the order they came, so a large request is not
// passed over for ever by smaller ones that keep fitting.
struct budget_state {
    std::mutex lock;
    std::condition_variable room;
    uint64_t limit = 0;  // 0 until first used
    uint64_t used = 0;
    uint64_t peak = 0;
    uint64_t next_ticket = 0;
    std::deque<uint64_t> queue;
};

// Never destroyed: a session thread left running by the stop may still give back.
budget_state &g_budget = *new budget_state;

// Requires: g_budget.lock held.
void ensure_limit()
{
    if (g_budget.limit == 0) {
        g_budget.limit = cli_buf_budget_of(cli_mem_limit("/proc/self/cgroup", "/sys/fs/cgroup", nullptr));
    }
}

// Requires: g_budget.lock held.
void grant(uint64_t bytes)
{
    g_budget.used += bytes;
    g_budget.peak = std::max(g_budget.peak, g_budget.used);
}

}  // namespace

uint64_t cli_mem_limit(const char *proc_cgroup, const char *cgroup_root, bool *from_cgroup)
{
    const uint64_t machine = machine_memory();
    const uint64_t group = cgroup_limit(proc_cgroup, cgroup_root);
    const bool use_group = group != 0 && (machine == 0 || group < machine);
    if (from_cgroup != nullptr) {
        *from_cgroup = use_group;
    }
    return use_group ? group : machine;
}

uint64_t cli_buf_budget_of(uint64_t mem_limit)
{
    // Half: the rest is the daemon's own (threads, receive buffers, the
    // kernel's socket buffers, which a memory cgroup charges too). A
    // machine whose size cannot be read still serves one request at a time.
    return mem_limit != 0 ? mem_limit / CLI_BUF_BUDGET_DIVISOR : NBD_REQ_BUF_MAX;
}

void cli_buf_budget_set(uint64_t bytes)
{
    const std::lock_guard guard(g_budget.lock);
    g_budget.limit = bytes;
    g_budget.peak = g_budget.used;
    ensure_limit();
    g_budget.room.notify_all();
}

uint64_t cli_buf_budget()
{
    const std::lock_guard guard(g_budget.lock);
    ensure_limit();
    return g_budget.limit;
}

uint64_t cli_buf_budget_used(uint64_t *peak)
{
    const std::lock_guard guard(g_budget.lock);
    if (peak != nullptr) {
        *peak = g_budget.peak;
    }
    return g_budget.used;
}

bool cli_buf_budget_take(uint64_t bytes, int32_t wait_ms, const std::atomic<uint32_t> *stop)
{
    std::unique_lock lk(g_budget.lock);
    ensure_limit();
    if (bytes > g_budget.limit) {
        return false;  // no wait can make room for it
    }
    if (g_budget.queue.empty() && g_budget.used + bytes <= g_budget.limit) {
        grant(bytes);
        return true;
    }
    if (wait_ms == 0) {
        return false;
    }
    const uint64_t ticket = g_budget.next_ticket++;
    g_budget.queue.push_back(ticket);
    const auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
    const auto fits = [&] { return g_budget.queue.front() == ticket && g_budget.used + bytes <= g_budget.limit; };
    const auto ready = [&] { return stopped() || fits(); };
    if (wait_ms < 0) {
        g_budget.room.wait(lk, ready);
    } else {
        g_budget.room.wait_until(lk, std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms), ready);
    }
    const bool granted = !stopped() && fits();
    g_budget.queue.erase(std::find(g_budget.queue.begin(), g_budget.queue.end(), ticket));
    if (granted) {
        grant(bytes);
    }
    // The next in line may fit now, or be first now.
    g_budget.room.notify_all();
    return granted;
}

void cli_buf_budget_give(uint64_t bytes)
{
    const std::lock_guard guard(g_budget.lock);
    g_budget.used -= std::min(bytes, g_budget.used);
    g_budget.room.notify_all();
}

void cli_buf_budget_wake()
{
    // Under the lock: a waiter looks at its stop state and goes to sleep in
    // one step, so this cannot fall between the two.
    const std::lock_guard guard(g_budget.lock);
    g_budget.room.notify_all();
}
