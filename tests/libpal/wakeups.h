// Test helper: how often a thread has gone to sleep and been woken again, read
// from the kernel's count of its voluntary context switches. A waiter that
// blocks on its event adds one per wake-up; one that polls adds one per slice.
#pragma once

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
