// The "file" driver: the block layer's built-in and default driver. It takes
// every name and opens the name's path as a file object (a local file, a
// device node, a built-in device), adding the device's vol_start to every
// positioned access so the layer above sees offsets inside its window.
#pragma once

#include <cstdint>

#include "libblock/block.h"

// The one static table, filled on each call.
const bd_drv *bd_drv_file();
int bdrv_file_exit();

int bdrv_file_probe(const char *name, uint64_t flags, void *priv);
// Opens only a regular file or a block device, or a table an open hook chose
// that says it is a block device (a virtual device). The path is held with
// O_PATH, judged by fstat on that descriptor and opened for I/O through it
// (its /proc/self/fd link): nothing else is ever opened, whatever a link
// names meanwhile, and what opened must have the judged device and inode.
// Where /proc is not procfs the open is refused, saying it "needs /proc
// mounted". A directory fails with EISDIR's text. A medium that cannot be written opens read-only
// and sets param->dev->readonly. The device's medium_* fields name the medium
// and its generation. Failure: nullptr with the reason in param->dev->err.
void *bdrv_file_open(const char *url, bd_open_param *param);
int bdrv_file_close(void *handle);
// offset BD_OFFSET_CUR: at the file's current position.
int64_t bdrv_file_read(bd_dev *dev, void *handle, uint64_t offset, void *buf, uint32_t len);
// A read-only device refuses every write with code -38, as does a medium
// that answers EROFS.
int64_t bdrv_file_write(bd_dev *dev, void *handle, uint64_t offset, const void *buf, uint32_t len);
// The window size, or the file's size while the window is empty.
int64_t bdrv_file_size(bd_dev *dev, void *handle);
int bdrv_file_ioctl(bd_dev *dev, void *handle, uint32_t code, void *arg, uint32_t arg_size);
