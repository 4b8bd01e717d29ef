// Local files and devices: the "file" table of the file objects.
#include "libpal/os/posix/os_file_local.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_xattr.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr int64_t kProbeBlock = 4096;
// A device that reads whole blocks everywhere has no size to find: the
// doubling gives up after this many reads, or before the offset could overflow.
constexpr int kProbeMaxReads = 102401;
constexpr int64_t kProbeMaxOffset = int64_t{1} << 62;

constexpr uint32_t kDefaultBlockSize = 512;
constexpr uint32_t kLockUnlock = 3;
constexpr uint32_t kLockNoWait = 16;

int fd_of(uint64_t file)
{
    return static_cast<int>(file - 1);
}

int open_flags(uint64_t flags)
{
    int oflags = O_RDONLY;
    if (flags & OS_PF_RDONLY)
        oflags = O_RDONLY;
    else if (flags & OS_PF_WRONLY)
        oflags = O_WRONLY;
    else if (flags & OS_PF_RDWR)
        oflags = O_RDWR;
    if (flags & OS_PF_CREAT)
        oflags |= O_CREAT;
    if (flags & OS_PF_APPEND)
        oflags |= O_APPEND;
    if (flags & OS_PF_TRUNC)
        oflags |= O_TRUNC;
    // Device nodes (terminals, FIFOs) must never block an open or a read.
    return oflags | O_NONBLOCK | O_CLOEXEC;
}

int whence_of(int whence)
{
    switch (whence) {
    case 0:
        return SEEK_SET;
    case 1:
        return SEEK_CUR;
    case 2:
        return SEEK_END;
    default:
        return -1;
    }
}

bool os_local_file_stat(int fd, os_file_stat_info *info)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ZLOG(uint32_t{LOG2_DBG} | LOG2_F_ERRNO, "fstat error: ");
        return false;
    }
    os_stat_to_info(&st, info);
    return true;
}

// The size of a block device from its geometry; 0 when a query fails.
int64_t block_device_size(int fd)
{
    int sector = 0;
    if (ioctl(fd, BLKSSZGET, &sector) != 0) {
        ZLOG_WARN("BLKSSZGET error\n");
        return 0;
    }
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
        ZLOG_WARN("BLKGETSIZE64 error\n");
        return 0;
    }
    int64_t size = static_cast<int64_t>(bytes);
    return size == 0 ? os_local_file_size_probe(fd) : size;
}

// A time whose seconds are 0 is left as it is.
timespec applied(const os_file_time &t)
{
    return {static_cast<time_t>(t.sec), t.sec ? static_cast<long>(t.nsec) : UTIME_OMIT};
}

bool set_times(int fd, const os_file_times *times)
{
    const timespec ts[2] = {applied(times->atime), applied(times->mtime)};
    if (futimens(fd, ts) == 0)
        return true;
    const timeval tv[2] = {
        {static_cast<time_t>(times->atime.sec), static_cast<suseconds_t>(times->atime.nsec / 1000)},
        {static_cast<time_t>(times->mtime.sec), static_cast<suseconds_t>(times->mtime.nsec / 1000)},
    };
    return futimes(fd, tv) == 0;
}

bool get_info(uint64_t file, os_file_info *info)
{
    int fd = fd_of(file);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        info->type = OS_FILE_TYPE_DIR;
        info->block_size = kDefaultBlockSize;
    } else {
        info->type = S_ISBLK(st.st_mode) ? OS_FILE_TYPE_BLOCK : OS_FILE_TYPE_FILE;
        uint32_t bs = os_local_file_block_size(file);
        info->block_size = bs ? bs : kDefaultBlockSize;
    }
    int64_t size = st.st_size;
    if (size == 0) {
        size = os_local_file_size(file);
        if (size < 0)
            size = 0;
    }
    info->size = static_cast<uint64_t>(size);
    off_t pos = lseek(fd, 0, SEEK_CUR);
    info->offset = pos < 0 ? 0 : static_cast<uint64_t>(pos);
    info->name[0] = '\0';
    return true;
}

bool arg_fits(const void *arg, uint64_t arg_size, size_t need)
{
    if (arg && arg_size >= need)
        return true;
    errno = EINVAL;
    return false;
}

}  // namespace

const os_file_ops g_os_local_file_ops = {
    .name = "file",
    .init = os_local_file_init,
    .open_disp = os_local_file_open_disp,
    .open_posix = os_local_file_open_posix,
    .open_named = nullptr,
    .exit = os_local_file_exit,
    .read = os_local_file_read,
    .writ = os_local_file_writ,
    .pread = os_local_file_pread,
    .pwrit = os_local_file_pwrit,
    .readv = os_local_file_readv,
    .writv = os_local_file_writv,
    .preadv = os_local_file_preadv,
    .pwritv = os_local_file_pwritv,
    .sync = os_local_file_sync,
    .truncate = os_local_file_truncate,
    .seek = os_local_file_seek,
    .offset = os_local_file_offset,
    .size = os_local_file_size,
    .ioctl = os_local_file_ioctl,
};

uint64_t os_local_file_init(const char *path, uint64_t flags)
{
    PL_ASSERT_RET(path, 0);
    int oflags = open_flags(flags);
    mode_t mode = (flags & OS_PF_CREAT) ? 0644 : 0;
    int fd = open(path, oflags, mode);
    if (fd >= 0)
        return static_cast<uint64_t>(fd) + 1;
    if (!(flags & OS_PF_CREAT) || errno == EPERM || errno == EACCES)
        return 0;
    os_mkdirs_parent(path);
    fd = open(path, oflags, mode);
    return fd >= 0 ? static_cast<uint64_t>(fd) + 1 : 0;
}

uint64_t os_local_file_open_disp(const char *path, uint32_t access, uint32_t, uint32_t disposition, uint32_t)
{
    PL_ASSERT_RET(path, 0);
    if (disposition == OS_CREATE_NEW && os_file_exist(path) >= 0) {
        errno = EEXIST;
        return 0;
    }
    return os_local_file_init(path, os_winflag2pf(access, disposition));
}

uint64_t os_local_file_open_posix(const char *path, uint32_t sysflags, uint32_t mode)
{
    PL_ASSERT_RET(path, 0);
    int fd = open(path, static_cast<int>(sysflags) | O_CLOEXEC, static_cast<mode_t>(mode));
    return fd >= 0 ? static_cast<uint64_t>(fd) + 1 : 0;
}

bool os_local_file_exit(uint64_t file)
{
    PL_ASSERT_RET(file, false);
    return close(fd_of(file)) == 0;
}

int64_t os_local_file_read(uint64_t file, void *data, size_t count)
{
    PL_ASSERT_RET(file && data, -1);
    return ::read(fd_of(file), data, count);
}

int64_t os_local_file_writ(uint64_t file, const void *data, size_t count)
{
    PL_ASSERT_RET(file && data, -1);
    return ::write(fd_of(file), data, count);
}

int64_t os_local_file_pread(uint64_t file, void *data, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(file, -1);
    return ::pread(fd_of(file), data, count, static_cast<off_t>(offset));
}

int64_t os_local_file_pwrit(uint64_t file, const void *data, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(file, -1);
    return ::pwrite(fd_of(file), data, count, static_cast<off_t>(offset));
}

int64_t os_local_file_readv(uint64_t file, const iovec *list, int size)
{
    PL_ASSERT_RET(file && list && size, -1);
    return ::readv(fd_of(file), list, size);
}

int64_t os_local_file_writv(uint64_t file, const iovec *list, int size)
{
    PL_ASSERT_RET(file && list && size, -1);
    return ::writev(fd_of(file), list, size);
}

// The system's positioned vector calls: the shared position never moves, so
// other users of the descriptor are not disturbed.
int64_t os_local_file_preadv(uint64_t file, const iovec *list, int size, uint64_t offset)
{
    PL_ASSERT_RET(file && list && size, -1);
    return ::preadv(fd_of(file), list, size, static_cast<off_t>(offset));
}

int64_t os_local_file_pwritv(uint64_t file, const iovec *list, int size, uint64_t offset)
{
    PL_ASSERT_RET(file && list && size, -1);
    return ::pwritev(fd_of(file), list, size, static_cast<off_t>(offset));
}

bool os_local_file_sync(uint64_t file)
{
    PL_ASSERT_RET(file, false);
    return fsync(fd_of(file)) == 0;
}

bool os_local_file_truncate(uint64_t file, uint64_t length)
{
    PL_ASSERT_RET(file, false);
    return ftruncate(fd_of(file), static_cast<off_t>(length)) == 0;
}

int64_t os_local_file_seek(uint64_t file, int64_t offset, int whence)
{
    PL_ASSERT_RET(file, -1);
    int w = whence_of(whence);
    if (w < 0) {
        errno = EINVAL;
        return -1;
    }
    return lseek(fd_of(file), static_cast<off_t>(offset), w);
}

int64_t os_local_file_offset(uint64_t file)
{
    PL_ASSERT_RET(file, -1);
    return lseek(fd_of(file), 0, SEEK_CUR);
}

int64_t os_local_file_size(uint64_t file)
{
    int fd = fd_of(file);
    off_t cur = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (cur >= 0)
        lseek(fd, cur, SEEK_SET);
    if (end != 0 && end != -1)
        return end;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ZLOG(uint32_t{LOG2_DBG} | LOG2_F_ERRNO, "fstat error: ");
        return -1;
    }
    if (S_ISBLK(st.st_mode))
        return block_device_size(fd);
    return st.st_size != 0 ? st.st_size : os_local_file_size_probe(fd);
}

bool os_local_file_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size)
{
    int saved = errno;
    PL_ASSERT_RET(file, false);
    int fd = fd_of(file);
    switch (code) {
    case OS_FILE_GET_INFO:
        return arg_fits(arg, arg_size, sizeof(os_file_info)) && get_info(file, static_cast<os_file_info *>(arg));
    case OS_FILE_GET_ERR_CLASS:
        if (!arg_fits(arg, arg_size, sizeof(uint64_t)))
            return false;
        *static_cast<uint64_t *>(arg) = static_cast<uint64_t>(os_file_error_class(2, saved));
        return true;
    case OS_FILE_GET_STAT:
        return arg_fits(arg, arg_size, sizeof(os_file_stat_info)) &&
               os_local_file_stat(fd, static_cast<os_file_stat_info *>(arg));
    case OS_FILE_SET_TIMES:
        return arg_fits(arg, arg_size, sizeof(os_file_times)) && set_times(fd, static_cast<os_file_times *>(arg));
    case OS_FILE_LOCK: {
        if (!arg_fits(arg, arg_size, sizeof(os_file_lock_info)))
            return false;
        auto *lock = static_cast<os_file_lock_info *>(arg);
        if (lock->type == kLockUnlock)
            return os_fd_unlock(fd, lock->type, lock->offset, lock->length) == 0;
        return os_fd_lock(fd, lock->type, lock->offset, lock->length) == 0;
    }
    case OS_FILE_SET_READ_TIMEOUT:
    case OS_FILE_SET_WRITE_TIMEOUT:
        // Local I/O has no time-out.
        return true;
    case OS_FILE_SET_MODE:
        return fchmod(fd, static_cast<mode_t>(reinterpret_cast<uintptr_t>(arg) & 0xffff)) == 0;
    case OS_FILE_SET_OWNER: {
        if (!arg_fits(arg, arg_size, sizeof(os_file_owner)))
            return false;
        auto *owner = static_cast<os_file_owner *>(arg);
        return fchown(fd, owner->uid, owner->gid) == 0;
    }
    default:
        errno = EPERM;
        return false;
    }
}

uint32_t os_local_file_block_size(uint64_t file)
{
    int fd = fd_of(file);
    // Reads of a block device go through the page cache and come back whole at
    // any size, so the read probe alone would report 512 for a disk of
    // 4096-byte sectors: the device's own logical sector size is asked first.
    struct stat st;
    int sector = 0;
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0)
        return static_cast<uint32_t>(sector);
    std::array<char, 4096> buf;
    for (size_t size = 512; size <= buf.size(); size *= 2) {
        if (::pread(fd, buf.data(), size, 0) == static_cast<ssize_t>(size))
            return static_cast<uint32_t>(size);
    }
    return 0;
}

int64_t os_local_file_size_probe(int fd)
{
    std::array<char, kProbeBlock> buf;
    auto whole = [&](int64_t at) { return ::pread(fd, buf.data(), buf.size(), at) == kProbeBlock; };

    int64_t low = 0;
    int64_t p = kProbeBlock;
    int64_t high = 0;
    for (int reads = 1;; reads++) {
        if (!whole(p)) {
            high = p;
            break;
        }
        low = p;
        if (reads == kProbeMaxReads || p > kProbeMaxOffset / 2)
            return 0;
        p *= 2;
    }
    while (low <= high) {
        int64_t mid = (low + high) / (2 * kProbeBlock) * kProbeBlock;
        if (whole(mid)) {
            low = mid + kProbeBlock;
        } else {
            if (mid < kProbeBlock)
                break;
            high = mid - kProbeBlock;
        }
    }
    if (whole(low))
        low += kProbeBlock;
    return low;
}

int os_fd_lock(int fd, uint32_t type, uint64_t offset, uint64_t length)
{
    struct flock fl = {};
    fl.l_type = (type & 0xf) == 1 ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    int cmd = (type & kLockNoWait) ? F_SETLK : F_SETLKW;
    int rc;
    do {
        rc = fcntl(fd, cmd, &fl);
    } while (rc == -1 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int os_fd_unlock(int fd, uint32_t, uint64_t offset, uint64_t length)
{
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    int rc;
    do {
        rc = fcntl(fd, F_SETLKW, &fl);
    } while (rc == -1 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}
