// Local files and devices: the "file" operation table of the file objects.
// The handle is the system descriptor + 1. Slots are thin system calls on the
// descriptor; the decisions are in the open flags (always non-blocking and
// close-on-exec, one retry after making missing parent directories), the size
// of devices that report none, the block size, and the controls.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "libpal/os/os_file.h"

extern const os_file_ops g_os_local_file_ops;

uint64_t os_local_file_init(const char *path, uint64_t flags);
// Disposition 1 (create new) on an existing path fails with EEXIST.
uint64_t os_local_file_open_disp(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                                 uint32_t attributes);
uint64_t os_local_file_open_posix(const char *path, uint32_t sysflags, uint32_t mode);
bool os_local_file_exit(uint64_t file);
int64_t os_local_file_read(uint64_t file, void *data, size_t count);
int64_t os_local_file_writ(uint64_t file, const void *data, size_t count);
int64_t os_local_file_pread(uint64_t file, void *data, size_t count, uint64_t offset);
int64_t os_local_file_pwrit(uint64_t file, const void *data, size_t count, uint64_t offset);
int64_t os_local_file_readv(uint64_t file, const iovec *list, int size);
int64_t os_local_file_writv(uint64_t file, const iovec *list, int size);
// Positioned vector I/O; the descriptor's position does not move.
int64_t os_local_file_preadv(uint64_t file, const iovec *list, int size, uint64_t offset);
int64_t os_local_file_pwritv(uint64_t file, const iovec *list, int size, uint64_t offset);
bool os_local_file_sync(uint64_t file);
bool os_local_file_truncate(uint64_t file, uint64_t length);
int64_t os_local_file_seek(uint64_t file, int64_t offset, int whence);
int64_t os_local_file_offset(uint64_t file);
// Seek-end size, else fstat, device geometry or the read probe; -1 only when
// fstat fails.
int64_t os_local_file_size(uint64_t file);
bool os_local_file_ioctl(uint64_t file, uint32_t code, void *arg, uint64_t arg_size);

// A block device's logical sector size, else the first of 512..4096 bytes
// that reads whole from the start; 0 when none does.
uint32_t os_local_file_block_size(uint64_t file);
// The readable size found by reading 4096-byte blocks (whole blocks only); 0
// for a device that reads everywhere. The position is restored.
int64_t os_local_file_size_probe(int fd);
// Record locks over [offset, offset + length); see os_file_lock_info.
int os_fd_lock(int fd, uint32_t type, uint64_t offset, uint64_t length);
int os_fd_unlock(int fd, uint32_t type, uint64_t offset, uint64_t length);
