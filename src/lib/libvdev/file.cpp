// The "file" kind: a local file served with a declared sector size and
// description; sequential reads may wait an artificial, cycling delay.
#define ZLOG_TAG "vdev"

#include <cerrno>
#include <new>

#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/posix/os_file_local.h"
#include "libpal/string/str_safe.h"
#include "libvdev/vdev_kinds.h"

namespace {

struct local_handle {
    vdev_rec_ref rec;
    int32_t delay;  // seconds the next sequential read waits
    uint64_t local;
};

local_handle *of(uint64_t file)
{
    return reinterpret_cast<local_handle *>(static_cast<uintptr_t>(file));
}

uint64_t vdev_local_file_init(const char *path, uint64_t flags)
{
    vdev_rec_ref rec = vdev_rec_find(path);
    if (!rec) {
        errno = ENOENT;
        return 0;
    }
    uint64_t local = g_os_local_file_ops.init(path, flags);
    if (local == 0)
        return 0;
    auto *h = new (std::nothrow) local_handle{std::move(rec), 0, local};
    if (h == nullptr) {
        g_os_local_file_ops.exit(local);
        errno = ENOMEM;
        return 0;
    }
    return reinterpret_cast<uintptr_t>(h);
}

bool vdev_local_file_exit(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    bool ok = g_os_local_file_ops.exit(of(file)->local);
    delete of(file);
    return ok;
}

int64_t vdev_local_file_read(uint64_t file, void *data, size_t count)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    local_handle *h = of(file);
    if (h->rec->vi.args != nullptr) {
        if (h->delay > 0)
            os_sleep_s(static_cast<uint64_t>(h->delay));
        if (++h->delay > h->rec->vi.args->read_random_delay_max_second)
            h->delay = 0;
    }
    return g_os_local_file_ops.read(h->local, data, count);
}

int64_t vdev_local_file_writ(uint64_t file, const void *data, size_t count)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    return g_os_local_file_ops.writ(of(file)->local, data, count);
}

int64_t vdev_local_file_pread(uint64_t file, void *data, size_t count, uint64_t offset)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    return g_os_local_file_ops.pread(of(file)->local, data, count, offset);
}

int64_t vdev_local_file_pwrit(uint64_t file, const void *data, size_t count, uint64_t offset)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    return g_os_local_file_ops.pwrit(of(file)->local, data, count, offset);
}

bool vdev_local_file_sync(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    return g_os_local_file_ops.sync(of(file)->local);
}

int64_t vdev_local_file_seek(uint64_t file, int64_t offset, int whence)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    return g_os_local_file_ops.seek(of(file)->local, offset, whence);
}

int64_t vdev_local_file_offset(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    return g_os_local_file_ops.offset(of(file)->local);
}

int64_t vdev_local_file_size(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", 0);
    return g_os_local_file_ops.size(of(file)->local);
}

bool vdev_local_file_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    if (code != OS_FILE_GET_INFO || arg == nullptr || arg_size < sizeof(os_file_info))
        return false;
    local_handle *h = of(file);
    if (!g_os_local_file_ops.ioctl(h->local, code, arg, arg_size))
        return false;
    auto *info = static_cast<os_file_info *>(arg);
    info->type = OS_FILE_TYPE_BLOCK;
    info->block_size = h->rec->vi.sector_bytes;
    str_safecopy2(info->name, sizeof(info->name), h->rec->vi.info);
    return true;
}

}  // namespace

const os_file_ops g_vdev_local_file_ops = {
    .name = "file", .init = vdev_local_file_init, .exit = vdev_local_file_exit, .read = vdev_local_file_read,
    .writ = vdev_local_file_writ, .pread = vdev_local_file_pread, .pwrit = vdev_local_file_pwrit,
    .sync = vdev_local_file_sync, .seek = vdev_local_file_seek, .offset = vdev_local_file_offset,
    .size = vdev_local_file_size, .ioctl = vdev_local_file_ioctl,
};
