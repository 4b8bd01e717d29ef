// The handle and the size, information and release slots shared by the kinds
// that have no file beneath.
#define ZLOG_TAG "vdev"

#include <algorithm>
#include <cerrno>
#include <new>

#include "libpal/env/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "libvdev/vdev_kinds.h"

uint64_t vdev_mem_init(const char *path)
{
    vdev_rec_ref rec = vdev_rec_find(path);
    if (!rec) {
        errno = ENOENT;
        return 0;
    }
    auto *h = new (std::nothrow) vdev_mem_handle{0, std::move(rec)};
    if (h == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    return reinterpret_cast<uintptr_t>(h);
}

bool vdev_mem_exit(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    delete vdev_mem_of(file);
    return true;
}

int64_t vdev_mem_size(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", 0);
    return static_cast<int64_t>(vdev_mem_of(file)->rec->vi.size);
}

bool vdev_mem_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    if (code != OS_FILE_GET_INFO || arg == nullptr || arg_size < sizeof(os_file_info))
        return false;
    const vdev_mem_handle *h = vdev_mem_of(file);
    auto *info = static_cast<os_file_info *>(arg);
    *info = os_file_info{};
    info->type = OS_FILE_TYPE_BLOCK;
    info->size = h->rec->vi.size;
    info->offset = h->pos;
    info->block_size = h->rec->vi.sector_bytes;
    str_safecopy2(info->name, sizeof(info->name), h->rec->vi.info);
    return true;
}

size_t vdev_mem_span(const vdev_mem_handle *h, uint64_t offset, size_t count)
{
    uint64_t size = h->rec->vi.size;
    if (offset >= size)
        return 0;
    return static_cast<size_t>(std::min<uint64_t>(count, size - offset));
}

int64_t vdev_fill_read(uint64_t file, void *data, size_t count, vdev_fill_fn fill)
{
    PL_ASSERT_TEXT_RET(file && data, "file && buf", -1);
    if (count == 0)
        return 0;
    fill(data, count);
    return static_cast<int64_t>(count);
}

int64_t vdev_fill_pread(uint64_t file, void *data, size_t count, uint64_t offset, vdev_fill_fn fill)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    // A device of a declared size has no bytes past it.
    size_t n = vdev_mem_span(vdev_mem_of(file), offset, count);
    if (n != 0)
        fill(data, n);
    return static_cast<int64_t>(n);
}

int64_t vdev_mem_discard(uint64_t file, const void *data, size_t count)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    return static_cast<int64_t>(count);
}

bool vdev_mem_sync(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", false);
    return true;
}
