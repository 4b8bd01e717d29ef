// The "file" driver over file objects.
#define ZLOG_TAG "mblock2"

#include "libblock/bd_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_file.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/zlog.h"

namespace {

struct file_handle {
    os_file_ctx *file;
    os_file_info info;  // taken at open
    bool writable;
};

// The file object's longest time-out; larger texts are cut before they are
// turned into milliseconds so the product cannot overflow.
constexpr int kMaxTimeoutSec = 600;

bool access_writable(uint64_t flags)
{
    // The first access bit set wins, as in os_file_open: read-only first.
    if (flags & OS_PF_RDONLY)
        return false;
    return (flags & (OS_PF_WRONLY | OS_PF_RDWR)) != 0;
}

// The file object's failure: the errno's code and text in the device's record
// (and, for opens, at dbg level).
void fail_os(bd_dev *dev, const char *func, int line, bool log, const char *what, const char *subject = "",
             const char *tail = "")
{
    int eno = errno;
    if (log)
        log2_printf(nullptr, LOG2_DBG, ZLOG_TAG, __FILE__, line, func, "%s%s%s%s\n", what, subject, tail,
                    os_errno_text(eno));
    verr_set(&dev->err, __FILE__, line, func, os_verr_get(eno), "%s%s%s%s", what, subject, tail, os_errno_text(eno));
}

int timeout_ms(const char *url, const char *key, int def)
{
    int sec = url_get_query_int(url, key, def);
    return std::clamp(sec, 0, kMaxTimeoutSec) * 1000;
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
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -2, "%s", verr2str(-2));
        return nullptr;
    }
    os_file_ctx *file = os_file_open(path.data(), param->flags);
    if (file == nullptr) {
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path.data(), "] error: ");
        return nullptr;
    }
    os_file_info info{};
    if (!os_file_ioctl(file, OS_FILE_GET_INFO, &info, sizeof(info))) {
        fail_os(dev, __func__, __LINE__, true, "OS_FILE_GET_INFO error: ");
        os_file_close(file);
        return nullptr;
    }
    // A directory has no bytes to serve; its reads would fail one by one.
    if (info.type == OS_FILE_TYPE_DIR) {
        errno = EISDIR;
        fail_os(dev, __func__, __LINE__, true, "os_file_open [", path.data(), "] error: ");
        os_file_close(file);
        return nullptr;
    }
    if (os_file_seek(file, static_cast<int64_t>(dev->vol_start), 0) < 0) {
        std::array<char, 32> at{};
        str_sprintf_s2(at.data(), at.size(), "%llu", static_cast<unsigned long long>(dev->vol_start));
        fail_os(dev, __func__, __LINE__, true, "os_file_seek ", at.data(), " error: ");
        os_file_close(file);
        return nullptr;
    }
    os_file_read_timeout(file, timeout_ms(url, "read_timeout", 15));
    os_file_write_timeout(file, timeout_ms(url, "write_timeout", 8));
    auto *h = static_cast<file_handle *>(os_zalloc(sizeof(file_handle)));
    if (h == nullptr) {
        os_file_close(file);
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -8, "%s", verr2str(-8));
        return nullptr;
    }
    h->file = file;
    h->info = info;
    h->writable = access_writable(param->flags);
    if (dev->sector_size == 0)
        dev->sector_size = info.block_size;
    dev->fsize = info.size;
    return h;
}

int bdrv_file_close(void *handle)
{
    auto *h = static_cast<file_handle *>(handle);
    if (h == nullptr)
        return 0;
    os_file_close(h->file);
    os_free(h);
    return 0;
}

int64_t bdrv_file_read(bd_dev *dev, void *handle, uint64_t offset, void *buf, uint32_t len)
{
    auto *h = static_cast<file_handle *>(handle);
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
    auto *h = static_cast<file_handle *>(handle);
    if (!h->writable) {
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -38, "%s (device opened read-only)", verr2str(-38));
        return -1;
    }
    const auto *p = static_cast<const uint8_t *>(buf);
    uint32_t done = 0;
    while (done < len) {
        int64_t n = offset == BD_OFFSET_CUR
                        ? os_file_write(h->file, p + done, len - done)
                        : os_file_pwrit(h->file, p + done, len - done, dev->vol_start + offset + done);
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            fail_os(dev, __func__, __LINE__, false, "write error: ");
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
    int64_t size = os_file_size(static_cast<file_handle *>(handle)->file);
    if (size < 0) {
        fail_os(dev, __func__, __LINE__, false, "size error: ");
        return -1;
    }
    return size;
}

int bdrv_file_ioctl(bd_dev *dev, void *handle, uint32_t code, void *arg, uint32_t arg_size)
{
    auto *h = static_cast<file_handle *>(handle);
    auto need = [&](size_t size) {
        if (arg != nullptr && arg_size >= size)
            return true;
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -2, "%s", verr2str(-2));
        return false;
    };
    switch (code) {
    case BD_IOCTL_SYNC:
        if (!os_file_fsync(h->file)) {
            fail_os(dev, __func__, __LINE__, false, "fsync error: ");
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
        verr_set(&dev->err, __FILE__, __LINE__, __func__, -37, "%s", verr2str(-37));
        return -1;
    }
}
