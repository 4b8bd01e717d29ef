// The "file" driver over file objects.
#define ZLOG_TAG "mblock2"

#include "libblock/bd_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "libblock/bd_held.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_file.h"
#include "libpal/os/posix/os_file_local.h"
#include "libpal/string/path.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/zlog.h"

namespace {

struct file_media {
    os_file_ctx *file;
    os_file_info info;  // taken at open
    bool disk;          // a block device; else a regular file
    bool table;         // a table an open hook chose (a virtual device): no descriptor
};

// The file object's longest time-out; larger texts are cut before they are
// turned into milliseconds so the product cannot overflow.
constexpr int kMaxTimeoutSec = 600;
constexpr int kCodeParam = -2;
constexpr int kCodeDenied = -38;  // what the NBD server answers as EPERM
constexpr int kCodeNotSupported = -37;
// A path as a log line shows it, escaped: room for a whole path (4096 bytes).
constexpr size_t kShownSize = 4 * STR_ESCAPE_LOG_SIZE;

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

// A failure with the errno's text in the device's record (and, for opens, at
// dbg level, the subject escaped: it is a name a client sent).
void fail_code(bd_dev *dev, const char *func, int line, int eno, int code, bool log, const char *what,
               const char *subject = "", const char *tail = "")
{
    if (log) {
        log2_printf(nullptr, LOG2_DBG, ZLOG_TAG, __FILE__, line, func, "%s%s%s%s\n", what,
                    str_log_text<kShownSize>(subject).c_str(), tail, os_errno_text(eno));
    }
    verr_set(&dev->err, __FILE__, line, func, code, "%s%s%s%s", what, subject, tail, os_errno_text(eno));
}

// The file object's failure: the code of the current errno.
void fail_os(bd_dev *dev, const char *func, int line, bool log, const char *what, const char *subject = "",
             const char *tail = "")
{
    int eno = errno;
    fail_code(dev, func, line, eno, os_verr_get(eno), log, what, subject, tail);
}

// A medium that refuses a write refuses it as we do for a read-only device:
// the client is told EPERM, not "invalid argument".
void fail_write(bd_dev *dev, const char *func, int line, const char *what)
{
    int eno = errno;
    fail_code(dev, func, line, eno, eno == EROFS ? kCodeDenied : os_verr_get(eno), false, what);
}

bool refuse_readonly(bd_dev *dev)
{
    if (dev->readonly == 0)
        return false;
    verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeDenied, "%s (device opened read-only)",
             verr2str(kCodeDenied));
    return true;
}

// A table without a descriptor has no zeroing or data-only sync: the block
// layer then writes zeros or syncs fully.
int not_supported(bd_dev *dev)
{
    verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeNotSupported, "%s", verr2str(kCodeNotSupported));
    return -1;
}

int timeout_ms(const char *url, const char *key, int def)
{
    int sec = url_get_query_int(url, key, def);
    return std::clamp(sec, 0, kMaxTimeoutSec) * 1000;
}

// Only media with bytes at fixed positions are served. Opening anything else
// acts by itself: a watchdog arms on open, a tape rewinds on close, a FIFO
// without a writer never finishes its open.
bool servable(mode_t mode)
{
    return S_ISREG(mode) || S_ISBLK(mode);
}

void refuse_kind(bd_dev *dev, const char *path)
{
    ZLOG_DBG("not a regular file or block device: %s\n", str_log_text<kShownSize>(path).c_str());
    verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeParam, "not a regular file or block device: %s", path);
}

// A path held without being opened for I/O: an O_PATH descriptor runs no
// device's open (a watchdog arms, a tape loads, a serial line raises its
// lines) and no FIFO can stall it. The object it holds is judged by fstat,
// then opened for I/O through io_path, its procfs link, so a link swapped
// after the judgement never reaches anything that was not judged.
struct held_path {
    int fd = -1;
    std::array<char, 32> io_path{};  // "/proc/self/fd/N"
    held_path() = default;
    held_path(const held_path &) = delete;
    held_path &operator=(const held_path &) = delete;
    ~held_path()
    {
        if (fd >= 0)
            close(fd);
    }
};

// What path names, held and judged before anything opens it; seen receives
// its identity, table whether an open hook's table serves it (judged once
// opened, by what it says it is: such a path has no object of its own). 0,
// or -1 with the reason in the device.
int hold_and_check(bd_dev *dev, const char *path, held_path &held, struct stat &seen, bool &table)
{
    std::array<char, PL_MAX_PATH> prepared{};
    os_file_path_normalize(path, prepared.data());
    if (prepared[0] == '\0') {
        errno = ENAMETOOLONG;
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path, "] error: ");
        return -1;
    }
    // The built-in devices ("/dev/zero", "/dev/stdin"...) and hooked tables
    // have no descriptor of their own to check.
    table = os_file_get_ops(prepared.data()) != &g_os_local_file_ops;
    if (table)
        return 0;
    held.fd = open(prepared.data(), O_PATH | O_CLOEXEC);
    if (held.fd < 0 || fstat(held.fd, &seen) != 0) {
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path, "] error: ");
        return -1;
    }
    // A directory has no bytes to serve; its reads would fail one by one.
    if (S_ISDIR(seen.st_mode)) {
        errno = EISDIR;
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path, "] error: ");
        return -1;
    }
    if (!servable(seen.st_mode)) {
        refuse_kind(dev, path);
        return -1;
    }
    // Opening the path again would not keep the promise: a file that exists
    // is refused with what it lacks, never with the ENOENT of a missing /proc.
    if (bd_held_reopen_path(held.fd, held.io_path.data(), held.io_path.size()) != 0) {
        ZLOG_DBG("os_file_open [%s] error: %s\n", str_log_text<kShownSize>(path).c_str(), BD_HELD_NEEDS_PROC);
        verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeNotSupported, "os_file_open [%s] error: %s", path,
                 BD_HELD_NEEDS_PROC);
        return -1;
    }
    return 0;
}

// A path was judged on its held descriptor and opened through it; what
// opened must be that object, or nothing is served. The open always adds
// O_NONBLOCK; a file or disk has no use for it, so it goes.
int check_opened(bd_dev *dev, os_file_ctx *file, const char *path, bool table, const struct stat &seen)
{
    // A table without a descriptor is served only when it says it is a block
    // device (a virtual device); the built-in devices ("/dev/zero",
    // "/dev/stdin") are no media.
    if (table) {
        os_file_info info{};
        if (os_file_ioctl(file, OS_FILE_GET_INFO, &info, sizeof(info)) && info.type == OS_FILE_TYPE_BLOCK)
            return 0;
        refuse_kind(dev, path);
        return -1;
    }
    int fd = os_file_fileno(file);
    if (!bd_held_same(fd, seen)) {
        ZLOG_DBG("os_file_open [%s] error: not the file that was checked\n", str_log_text<kShownSize>(path).c_str());
        verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeParam,
                 "os_file_open [%s] error: not the file that was checked", path);
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1) {
        fail_os(dev, __func__, __LINE__, true, "fcntl error: ");
        return -1;
    }
    return 0;
}

// The file's information, and its position at the window's start.
int info_and_start(bd_dev *dev, os_file_ctx *file, os_file_info &info)
{
    if (!os_file_ioctl(file, OS_FILE_GET_INFO, &info, sizeof(info))) {
        fail_os(dev, __func__, __LINE__, true, "OS_FILE_GET_INFO error: ");
        return -1;
    }
    if (os_file_seek(file, static_cast<int64_t>(dev->vol_start), 0) < 0) {
        std::array<char, 32> at{};
        str_sprintf_s2(at.data(), at.size(), "%llu", static_cast<unsigned long long>(dev->vol_start));
        fail_os(dev, __func__, __LINE__, true, "os_file_seek ", at.data(), " error: ");
        return -1;
    }
    return 0;
}

uint64_t read_only(uint64_t flags)
{
    return (flags & ~(OS_PF_WRONLY | OS_PF_RDWR)) | OS_PF_RDONLY;
}

// A medium that refuses writing (a read-only file system, a file we may only
// read) is served read-only rather than not at all; the device says so, and
// the NBD server tells the client. io_path is what is opened, path what the
// texts name.
os_file_ctx *open_media(bd_dev *dev, const char *io_path, const char *path, uint64_t flags)
{
    if (dev->readonly != 0)
        flags = read_only(flags);
    os_file_ctx *file = os_file_open(io_path, flags);
    if (file == nullptr && dev->readonly == 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
        file = os_file_open(io_path, read_only(flags));
        if (file != nullptr) {
            dev->readonly = 1;
            ZLOG_DBG("[%s] cannot be written: served read-only\n", str_log_text<kShownSize>(path).c_str());
        }
    }
    if (file == nullptr)
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path, "] error: ");
    return file;
}

// What tells this medium from a later one under the same numbers: a disk's
// sequence number (new at each attach of a loop device, each change of
// media); a file's birth time and inode generation (a new file that gets a
// reused inode number gets new ones). What the system cannot tell stays 0.
void medium_generation(bd_dev *dev, int fd, bool disk)
{
    if (disk) {
        uint64_t seq = 0;
        dev->medium_gen = ioctl(fd, BLKGETDISKSEQ, &seq) == 0 ? seq : 0;
        return;
    }
    struct statx stx{};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME) != 0) {
        dev->medium_gen = static_cast<uint64_t>(stx.stx_btime.tv_sec) * 1000000000u + stx.stx_btime.tv_nsec;
    }
    // Declared with a long argument; the file systems store an int in it.
    long igen = 0;
    if (ioctl(fd, FS_IOC_GETVERSION, &igen) == 0)
        dev->medium_igen = static_cast<uint32_t>(igen);
}

// A write-protected disk opens for writing and refuses every write.
bool disk_write_protected(os_file_ctx *file)
{
    int ro = 0;
    return ioctl(os_file_fileno(file), BLKROGET, &ro) == 0 && ro != 0;
}

// In place: a file's range becomes zeros through the file system, a disk's
// through the device. -1 with code -37 when neither can, so the block layer
// writes zeros instead.
int zero_range(bd_dev *dev, const file_media *h, const bd_zero_range &r)
{
    if (refuse_readonly(dev))
        return -1;
    if (h->table)
        return not_supported(dev);
    int fd = os_file_fileno(h->file);
    uint64_t at = dev->vol_start + r.offset;
    if (h->disk) {
        uint64_t range[2] = {at, r.len};
        // Refused for ranges off the device's logical blocks, among others.
        if (ioctl(fd, BLKZEROOUT, range) == 0)
            return 0;
    } else {
        if (fallocate(fd, FALLOC_FL_ZERO_RANGE, static_cast<off_t>(at), static_cast<off_t>(r.len)) == 0)
            return 0;
        if (errno != EOPNOTSUPP && errno != ENOSYS) {
            fail_write(dev, __func__, __LINE__, "fallocate error: ");
            return -1;
        }
    }
    verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeNotSupported, "%s", verr2str(kCodeNotSupported));
    return -1;
}

}  // namespace

const bd_drv *bd_drv_file()
{
    static bd_drv table;
    table = bd_drv{};
    table.type = BD_DRV_TYPE_FILE;
    table.name = "file";
    table.probe = bdrv_file_probe;
    table.open = bdrv_file_open;
    table.close = bdrv_file_close;
    table.read = bdrv_file_read;
    table.write = bdrv_file_write;
    table.size = bdrv_file_size;
    table.ioctl = bdrv_file_ioctl;
    return &table;
}

int bdrv_file_exit()
{
    return 0;
}

int bdrv_file_probe(const char *, uint64_t, void *)
{
    return 0;
}

void *bdrv_file_open(const char *url, bd_open_param *param)
{
    if (param == nullptr || param->dev == nullptr)
        return nullptr;
    bd_dev *dev = param->dev;
    std::array<char, PL_MAX_PATH> path{};
    if (url == nullptr || url_get_path(url, path.data()) != 0 || path[0] == '\0') {
        verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeParam, "%s", verr2str(kCodeParam));
        return nullptr;
    }
    struct stat seen{};
    bool table = false;
    held_path held;
    if (hold_and_check(dev, path.data(), held, seen, table) != 0)
        return nullptr;
    os_file_ctx *file = open_media(dev, table ? path.data() : held.io_path.data(), path.data(), param->flags);
    if (file == nullptr)
        return nullptr;
    os_file_info info{};
    if (check_opened(dev, file, path.data(), table, seen) != 0 || info_and_start(dev, file, info) != 0) {
        os_file_close(file);
        return nullptr;
    }
    auto *h = static_cast<file_media *>(os_zalloc(sizeof(file_media)));
    if (h == nullptr) {
        os_file_close(file);
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -8, "%s", verr2str(-8));
        return nullptr;
    }
    os_file_read_timeout(file, timeout_ms(url, "read_timeout", 15));
    os_file_write_timeout(file, timeout_ms(url, "write_timeout", 8));
    h->file = file;
    h->info = info;
    h->disk = !table && S_ISBLK(seen.st_mode);
    h->table = table;
    if (!table) {
        // Every device open on this medium shares what its syncs lose.
        dev->medium_kind = h->disk ? BD_MEDIUM_DISK : BD_MEDIUM_FILE;
        dev->medium_dev = h->disk ? seen.st_rdev : seen.st_dev;
        dev->medium_ino = h->disk ? 0 : seen.st_ino;
        medium_generation(dev, os_file_fileno(file), h->disk);
    }
    if (h->disk && disk_write_protected(file))
        dev->readonly = 1;
    if (dev->sector_size == 0)
        dev->sector_size = info.block_size;
    dev->fsize = info.size;
    return h;
}

int bdrv_file_close(void *handle)
{
    auto *h = static_cast<file_media *>(handle);
    if (h == nullptr)
        return 0;
    os_file_close(h->file);
    os_free(h);
    return 0;
}

int64_t bdrv_file_read(bd_dev *dev, void *handle, uint64_t offset, void *buf, uint32_t len)
{
    auto *h = static_cast<file_media *>(handle);
    auto *p = static_cast<uint8_t *>(buf);
    uint32_t done = 0;
    // A short count is not the end of the request: only end of file is.
    while (done < len) {
        int64_t n = offset == BD_OFFSET_CUR
                        ? os_file_read(h->file, p + done, len - done)
                        : os_file_pread(h->file, p + done, len - done, dev->vol_start + offset + done);
        if (n < 0) {
            fail_os(dev, __func__, __LINE__, false, "read error: ");
            return n;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

int64_t bdrv_file_write(bd_dev *dev, void *handle, uint64_t offset, const void *buf, uint32_t len)
{
    auto *h = static_cast<file_media *>(handle);
    if (refuse_readonly(dev))
        return -1;
    const auto *p = static_cast<const uint8_t *>(buf);
    uint32_t done = 0;
    while (done < len) {
        int64_t n = offset == BD_OFFSET_CUR
                        ? os_file_write(h->file, p + done, len - done)
                        : os_file_pwrit(h->file, p + done, len - done, dev->vol_start + offset + done);
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            fail_write(dev, __func__, __LINE__, "write error: ");
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

int64_t bdrv_file_size(bd_dev *dev, void *handle)
{
    if (dev->vol_size != 0)
        return static_cast<int64_t>(dev->vol_size);
    int64_t size = os_file_size(static_cast<file_media *>(handle)->file);
    if (size < 0) {
        fail_os(dev, __func__, __LINE__, false, "size error: ");
        return -1;
    }
    return size;
}

int bdrv_file_ioctl(bd_dev *dev, void *handle, uint32_t code, void *arg, uint32_t arg_size)
{
    auto *h = static_cast<file_media *>(handle);
    auto need = [&](size_t size) {
        if (arg != nullptr && arg_size >= size)
            return true;
        verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeParam, "%s", verr2str(kCodeParam));
        return false;
    };
    switch (code) {
    case BD_IOCTL_SYNC:
        if (!os_file_fsync(h->file)) {
            fail_os(dev, __func__, __LINE__, false, "fsync error: ");
            return -1;
        }
        return 0;
    case BD_IOCTL_DATASYNC:
        if (h->table)
            return not_supported(dev);
        if (fdatasync(os_file_fileno(h->file)) != 0) {
            fail_os(dev, __func__, __LINE__, false, "fdatasync error: ");
            return -1;
        }
        return 0;
    case BD_IOCTL_SEEK: {
        if (!need(sizeof(uint64_t)))
            return -1;
        uint64_t at;
        memcpy(&at, arg, sizeof(at));
        if (at > INT64_MAX - dev->vol_start || os_file_seek(h->file, static_cast<int64_t>(dev->vol_start + at), 0) < 0) {
            fail_os(dev, __func__, __LINE__, false, "seek error: ");
            return -1;
        }
        return 0;
    }
    case BD_IOCTL_TRUNCATE: {
        if (!need(sizeof(uint64_t)))
            return -1;
        uint64_t length;
        memcpy(&length, arg, sizeof(length));
        if (!os_file_ftruncate(h->file, length)) {
            fail_os(dev, __func__, __LINE__, false, "truncate error: ");
            return -1;
        }
        return 0;
    }
    case BD_IOCTL_FLUSH_CACHE:
        return 0;
    case BD_IOCTL_ZERO_ID: {
        if (!need(sizeof(uint32_t)))
            return -1;
        uint32_t zero = 0;
        memcpy(arg, &zero, sizeof(zero));
        return 0;
    }
    case BD_IOCTL_VOLUME: {
        if (!need(sizeof(bd_volume)))
            return -1;
        bd_volume vol{dev->vol_start, dev->vol_size};
        memcpy(arg, &vol, sizeof(vol));
        return 0;
    }
    case BD_IOCTL_ZERO_RANGE: {
        if (!need(sizeof(bd_zero_range)))
            return -1;
        bd_zero_range range;
        memcpy(&range, arg, sizeof(range));
        return zero_range(dev, h, range);
    }
    case BD_IOCTL_DRV_INFO: {
        if (!need(sizeof(bd_drv_info)))
            return -1;
        int64_t size = bdrv_file_size(dev, handle);
        int64_t pos = os_file_offset(h->file);
        if (size < 0 || pos < 0) {
            if (pos < 0)
                fail_os(dev, __func__, __LINE__, false, "offset error: ");
            return -1;
        }
        bd_drv_info info{};
        info.type = h->info.type;
        info.size = static_cast<uint64_t>(size);
        info.offset = static_cast<uint64_t>(pos) > dev->vol_start ? static_cast<uint64_t>(pos) - dev->vol_start : 0;
        info.sector_size = dev->sector_size;
        str_safecopy2(info.name, sizeof(info.name), h->info.name);
        memcpy(arg, &info, sizeof(info));
        return 0;
    }
    default:
        verr_set(&dev->err, __FILE__, __LINE__, __func__, kCodeNotSupported, "%s", verr2str(kCodeNotSupported));
        return -1;
    }
}
