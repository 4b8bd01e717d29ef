// Test helper: stands in for the C library's fsync and fdatasync in the test
// binary. Armed for one file, the next sync of it fails with EIO and later
// ones succeed: Linux reports a writeback error once and then drops the pages
// it could not write. Include it in exactly one test file of a binary.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace sync_seam {

inline std::atomic<dev_t> dev{0};
inline std::atomic<ino_t> ino{0};

inline bool fail_now(int fd)
{
    struct stat st;
    ino_t want = ino.load();
    if (want == 0 || fstat(fd, &st) != 0 || st.st_ino != want || st.st_dev != dev.load())
        return false;
    return ino.compare_exchange_strong(want, 0);
}

}  // namespace sync_seam

extern "C" int fsync(int fd)
{
    if (sync_seam::fail_now(fd)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd)
{
    if (sync_seam::fail_now(fd)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}
