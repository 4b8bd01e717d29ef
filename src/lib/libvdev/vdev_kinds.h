// Inside the virtual devices: the registry's records and the four kinds'
// operation tables. A handle holds its record by reference count, so a
// device that is open when vdev_exit runs keeps what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libpal/os/os_file.h"
#include "libvdev/vdev.h"

struct vdev_rec {
    vdev_info vi{};
    std::string name;  // normalised
    std::vector<bad_range> bad;
    vdev_args args{};
};
using vdev_rec_ref = std::shared_ptr<const vdev_rec>;

// The record registered under path (normalised here), or an empty reference.
vdev_rec_ref vdev_rec_find(const char *path);

extern const os_file_ops g_vdev_local_file_ops;  // "file"
extern const os_file_ops g_vdev_zero_ops;        // "zero"
extern const os_file_ops g_vdev_random_ops;      // "random"
extern const os_file_ops g_vdev_bad_zero_ops;    // "bad_zero"

// The handle of the kinds without a file beneath: "zero", "bad_zero", "random".
struct vdev_mem_handle {
    uint64_t pos;
    vdev_rec_ref rec;
};

// Their common slots. init: 0 (errno ENOENT) when path names no device.
uint64_t vdev_mem_init(const char *path);
bool vdev_mem_exit(uint64_t file);
int64_t vdev_mem_size(uint64_t file);
bool vdev_mem_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size);
inline vdev_mem_handle *vdev_mem_of(uint64_t file)
{
    return reinterpret_cast<vdev_mem_handle *>(static_cast<uintptr_t>(file));
}
// How many of count bytes at offset lie inside the device (0 at or past its end).
size_t vdev_mem_span(const vdev_mem_handle *h, uint64_t offset, size_t count);

// The data slots of "zero" and "random": fill writes count bytes. Reads fill
// the buffer (positioned ones only up to the device's end); writes discard.
using vdev_fill_fn = void (*)(void *data, size_t count);
int64_t vdev_fill_read(uint64_t file, void *data, size_t count, vdev_fill_fn fill);
int64_t vdev_fill_pread(uint64_t file, void *data, size_t count, uint64_t offset, vdev_fill_fn fill);
int64_t vdev_mem_discard(uint64_t file, const void *data, size_t count);
bool vdev_mem_sync(uint64_t file);
