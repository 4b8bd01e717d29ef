// The "zero" kind: reads give zeros, writes are discarded, the position stays 0.
#define ZLOG_TAG "vdev"

#include <cstring>

#include "libpal/env/pl_assert.h"
#include "libpal/memory/random.h"
#include "libvdev/vdev_kinds.h"

namespace {

void zeros(void *data, size_t count)
{
    memset(data, 0, count);
}

uint64_t vdev_zero_file_init(const char *path, uint64_t)
{
    return vdev_mem_init(path);
}

int64_t vdev_zero_file_read(uint64_t file, void *data, size_t count)
{
    return vdev_fill_read(file, data, count, zeros);
}

int64_t vdev_zero_file_pread(uint64_t file, void *data, size_t count, uint64_t offset)
{
    return vdev_fill_pread(file, data, count, offset, zeros);
}

int64_t vdev_zero_file_pwrit(uint64_t file, const void *data, size_t count, uint64_t)
{
    return vdev_mem_discard(file, data, count);
}

int64_t vdev_zero_file_seek(uint64_t file, int64_t, int)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    return 0;
}

int64_t vdev_zero_file_offset(uint64_t file)
{
    PL_ASSERT_TEXT_RET(file, "file", -1);
    return 0;
}

}  // namespace

const os_file_ops g_vdev_zero_ops = {
    .name = "zero", .init = vdev_zero_file_init, .exit = vdev_mem_exit, .read = vdev_zero_file_read,
    .writ = vdev_mem_discard, .pread = vdev_zero_file_pread, .pwrit = vdev_zero_file_pwrit,
    .sync = vdev_mem_sync, .seek = vdev_zero_file_seek, .offset = vdev_zero_file_offset,
    .size = vdev_mem_size, .ioctl = vdev_mem_ioctl,
};

// "random" differs from "zero" only in the bytes its reads give.
namespace {

void random_bytes(void *data, size_t count)
{
    memory_random(data, count);
}

int64_t vdev_random_file_read(uint64_t file, void *data, size_t count)
{
    return vdev_fill_read(file, data, count, random_bytes);
}

int64_t vdev_random_file_pread(uint64_t file, void *data, size_t count, uint64_t offset)
{
    return vdev_fill_pread(file, data, count, offset, random_bytes);
}

}  // namespace

const os_file_ops g_vdev_random_ops = {
    .name = "random", .init = vdev_zero_file_init, .exit = vdev_mem_exit, .read = vdev_random_file_read,
    .writ = vdev_mem_discard, .pread = vdev_random_file_pread, .pwrit = vdev_zero_file_pwrit,
    .sync = vdev_mem_sync, .seek = vdev_zero_file_seek, .offset = vdev_zero_file_offset,
    .size = vdev_mem_size, .ioctl = vdev_mem_ioctl,
};
