// The block layer's tools over an open device: the file-hash and byte-count
// tools read through bd_pread, so an export with a sector offset or a volume
// hashes and counts only its window, and a cipher export its clear text; the
// positioned-write executor writes through bd_pwrite, inside the window. A
// remote driver gets the tool requests as controls 17 to 22 unless the
// request asks for the local tool. Each call returns 0 (the executor's and
// the tools' successes) or -1 with the reason in the device's verr. The tools
// live in the device until it closes, or until the next open replaces them.
#pragma once

#include <cstdint>

#include "libblock/block.h"
#include "libpal/tframe/file_bcount.h"
#include "libpal/tframe/file_hash.h"

// Controls of a remote driver's own tools; the argument is the request below.
enum : uint32_t {
    BD_IOCTL_HASH_OPEN = 17,     // bd_hash_req
    BD_IOCTL_HASH_CAL = 18,      // bd_range_req
    BD_IOCTL_HASH_DIGEST = 19,   // bd_hash_digest_req
    BD_IOCTL_HASH_PRESULT = 20,  // bd_hash_presult_req
    BD_IOCTL_BCOUNT_OPEN = 21,   // bd_bcount_req
    BD_IOCTL_BCOUNT_CAL = 22,    // bd_range_req
};

// A hash job. The device supplies the parameters' handle, read function and
// error callback; a total size of 0 (or one past the window) is the window's.
struct bd_hash_req {
    uint8_t local;  // use this layer's tool even on a remote driver
    file_hash_param param;
};

// A byte-count job; the device supplies handle, read function and callback.
struct bd_bcount_req {
    uint8_t local;
    file_bcount_param param;
};

// A range inside the window.
struct bd_range_req {
    uint64_t offset;
    uint64_t len;
};

struct bd_hash_digest_req {
    uint32_t flag;  // FILE_HASH_*: the first enabled algorithm named
    uint8_t *out;
    uint32_t size;
};

struct bd_hash_presult_req {
    char *out;  // nullptr only forgets the per-block records
    uint32_t size;
};

// Control 23: attaches the executor with a buffer of size bytes of fill.
struct bd_pwritex_init_arg {
    uint32_t fill;  // 0-255, PWRITEX_RANDOM, or a prepared buffer (dev->pwx.buf)
    uint64_t size;
};

// Control 16: writes [offset, offset + len) of the window with the executor.
struct bd_pwritex_arg {
    uint32_t unused;
    uint64_t offset;
    uint64_t len;
};

int bd_hash_open(bd_dev *dev, const bd_hash_req *req);
int bd_hash_cal(bd_dev *dev, const bd_range_req *req);
int bd_hash_digest(bd_dev *dev, const bd_hash_digest_req *req);
int bd_hash_presult(bd_dev *dev, const bd_hash_presult_req *req);
int bd_bcount_open(bd_dev *dev, const bd_bcount_req *req);
int bd_bcount_cal(bd_dev *dev, const bd_range_req *req);
// Controls 23 and 16.
int bd_pwritex_init(bd_dev *dev, uint32_t fill, uint64_t buffer_size);
int bd_pwritex(bd_dev *dev, uint32_t unused, uint64_t len, uint64_t offset);

// bd_ioctl's controls 16 and 23 for a driver that is not remote.
int bd_pwritex_ioctl(bd_dev *dev, uint32_t code, void *arg, uint32_t arg_size);
// Releases the device's tools; bd_close calls it before the driver closes.
void bd_tool_release(bd_dev *dev);
