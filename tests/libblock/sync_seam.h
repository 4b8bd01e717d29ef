// Test helper: stands in for the C library's fsync, fdatasync and statx in
// the test binary. Armed for one file, the next sync of it fails with EIO and
// later ones succeed: Linux reports a writeback error once and then drops the
// pages it could not write. Given a file and a birth time, statx reports that
// birth time for it: the file's generation, as a new file that reused its
// inode would show. Given a file to count, every sync of it is counted.
// Include it in exactly one test file of a binary.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace sync_seam {

inline std::atomic<dev_t> dev{0};
inline std::atomic<ino_t> ino{0};

inline std::atomic<dev_t> born_dev{0};
inline std::atomic<ino_t> born_ino{0};  // 0: statx reports what the file system does
inline std::atomic<int64_t> born_sec{0};

inline std::atomic<dev_t> counted_dev{0};
inline std::atomic<ino_t> counted_ino{0};  // 0: none counted
inline std::atomic<int> syncs{0};

inline bool fail_now(int fd)
{
    struct stat st;
    const ino_t counted = counted_ino.load();
    ino_t want = ino.load();
    if ((counted == 0 && want == 0) || fstat(fd, &st) != 0)
        return false;
    if (counted != 0 && st.st_ino == counted && st.st_dev == counted_dev.load())
        syncs++;
    if (want == 0 || st.st_ino != want || st.st_dev != dev.load())
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

extern "C" int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf)
{
    const long rc = syscall(SYS_statx, dirfd, path, flags, mask, buf);
    const ino_t want = sync_seam::born_ino.load();
    if (rc == 0 && want != 0 && buf->stx_ino == want &&
        makedev(buf->stx_dev_major, buf->stx_dev_minor) == sync_seam::born_dev.load()) {
        buf->stx_mask |= STATX_BTIME;
        buf->stx_btime.tv_sec = sync_seam::born_sec.load();
        buf->stx_btime.tv_nsec = 0;
    }
    return static_cast<int>(rc);
}
