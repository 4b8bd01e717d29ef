// The "bad_zero" kind: zeros, except that a read touching any sector of a
// bad range fails with EIO and leaves the buffer as it was. Reads keep a
// position that seek (from the start) moves.
#define ZLOG_TAG "vdev"

#include <cerrno>
#include <cstring>

#include "libpal/env/pl_assert.h"
#include "libvdev/vdev_kinds.h"
#include "liblog/zlog.h"

namespace {

// Whether the sectors [first, last] meet a bad range.
bool vdev_bad_sector_check(const vdev_rec &rec, int64_t first, int64_t last)
{
    for (const bad_range &br : rec.bad) {
        int64_t br_last = br.offset + br.size - 1;
        if (first <= br_last && br.offset <= last)
            return true;
    }
    return false;
}

int64_t vdev_zero_file_pread(uint64_t file, void *data, size_t count, uint64_t offset)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    const vdev_mem_handle *h = vdev_mem_of(file);
    size_t n = vdev_mem_span(h, offset, count);
    if (n == 0)
        return 0;
    // Every sector the bytes touch counts: the first by floor, the last by
    // the request's last byte, so an unaligned read cannot step over a bad
    // sector at its end.
    const uint64_t ss = h->rec->vi.sector_bytes;
    auto first = static_cast<int64_t>(offset / ss);
    auto last = static_cast<int64_t>((offset + n - 1) / ss);
    if (vdev_bad_sector_check(*h->rec, first, last)) {
        ZLOG_DBG(" br.offset=%lld  br.size=%d bad_sectors\n", static_cast<long long>(first),
                 static_cast<int>(last - first + 1));
        errno = EIO;
        return -1;
    }
    memset(data, 0, n);
    return static_cast<int64_t>(n);
}

int64_t vdev_zero_file_read(uint64_t file, void *data, size_t count)
{
    PL_ASSERT_TEXT_RET(file && data, "file && data", -1);
    vdev_mem_handle *h = vdev_mem_of(file);
    int64_t n = vdev_zero_file_pread(file, data, count, h->pos);
    if (n > 0)
        h->pos += static_cast<uint64_t>(n);
    return n;
}

int64_t vdev_zero_file_pwrit(uint64_t file, const void *data, size_t count, uint64_t)
{
    return vdev_mem_discard(file, data, count);
}

int64_t vdev_zero_file_seek(uint64_t file, int64_t offset, int whence)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    if (whence == 0 && offset >= 0)
        vdev_mem_of(file)->pos = static_cast<uint64_t>(offset);
    return 0;
}

int64_t vdev_zero_file_offset(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    return static_cast<int64_t>(vdev_mem_of(file)->pos);
}

uint64_t vdev_zero_file_init(const char *path, uint64_t)
{
    return vdev_mem_init(path);
}

}  // namespace

const os_file_ops g_vdev_bad_zero_ops = {
    .name = "bad_zero", .init = vdev_zero_file_init, .exit = vdev_mem_exit, .read = vdev_zero_file_read,
    .writ = vdev_mem_discard, .pread = vdev_zero_file_pread, .pwrit = vdev_zero_file_pwrit,
    .sync = vdev_mem_sync, .seek = vdev_zero_file_seek, .offset = vdev_zero_file_offset,
    .size = vdev_mem_size, .ioctl = vdev_mem_ioctl,
};
