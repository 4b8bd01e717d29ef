// Test helper: stands in for the C library's fsync in the test binary and
// records each call as 'f' (a file) or 'd' (a directory) before doing it, so a
// test can see that a save made its content and its new name durable.
// Include it in exactly one test file of a binary.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace fsync_log {

inline std::mutex mu;
inline std::string kinds;

inline void clear()
{
    std::lock_guard<std::mutex> lk(mu);
    kinds.clear();
}

inline std::string taken()
{
    std::lock_guard<std::mutex> lk(mu);
    return kinds;
}

}  // namespace fsync_log

extern "C" int fsync(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0) {
        std::lock_guard<std::mutex> lk(fsync_log::mu);
        fsync_log::kinds += S_ISDIR(st.st_mode) ? 'd' : 'f';
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}
