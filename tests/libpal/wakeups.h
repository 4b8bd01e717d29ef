// Test helper: how often a thread has gone to sleep and been woken again, read
// from the kernel's count of its voluntary context switches. A waiter that
// blocks on its event adds one per wake-up; one that polls adds one per slice.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

inline uint64_t thread_wakeups(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stoull(line.substr(key.size()));
    }
    return 0;
}

// True while the thread sleeps in the futex call, as a condition or lock wait
// does: its state is 'S' and the kernel shows the call it is blocked in.
inline bool thread_waits_on_futex(pid_t tid)
{
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream stat_in(task + "/stat");
    std::string stat;
    std::getline(stat_in, stat);
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'S')
        return false;
    std::ifstream call_in(task + "/syscall");
    long call = -1;
    return static_cast<bool>(call_in >> call) && call == SYS_futex;
}
