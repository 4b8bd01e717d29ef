// Positioned-write executor: writes a range of a file or device with one byte
// value, with fresh random bytes, or with a prepared buffer, in chunks of its
// buffer's size. The block layer embeds one per device. One caller thread at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/tframe/file_tool.h"

// fill values besides the byte values 0 to 255.
constexpr uint32_t PWRITEX_RANDOM = 256;  // new random bytes for every chunk
// Any value above PWRITEX_RANDOM writes the buffer as the caller prepared it.
constexpr uint32_t PWRITEX_BUFFER = 257;
// The largest buffer an executor allocates.
constexpr uint64_t PWRITEX_MAX_SIZE = 64u << 20;

struct pwritex_ctx {
    uint32_t fill;
    void *handle;
    uint8_t *buf;
    uint64_t size;  // the largest chunk written at once
    file_write_proc write;  // nullptr: os_file_pwrit on an os_file_ctx handle
    file_error_proc on_error;  // optional
    verr *err;  // where failures go; optional
    uint32_t buf_fill;  // the fill the buffer holds now (pwritex_write)
};

// A buffer of size bytes (1 to PWRITEX_MAX_SIZE) holding fill, zeroed for a
// prepared buffer that the caller then fills: 0, or -1 with -2 (size) or -8
// (memory) in err. The old buffer is released.
int pwritex_init(pwritex_ctx *ctx, void *handle, uint32_t fill, uint64_t size);
// Writes [offset, offset + len) chunk by chunk: len, or -1 when there is no
// buffer or any chunk cannot be written whole (the reason in err).
int64_t pwritex_exec(pwritex_ctx *ctx, uint64_t len, uint64_t offset);
int pwritex_free(pwritex_ctx *ctx);
// One write of count bytes at offset through handle, reusing (and growing)
// the buffer and refilling it only when the fill changes: the write's result,
// or -1 for a count of 0 or above PWRITEX_MAX_SIZE, or no memory. Nothing is
// recorded.
int64_t pwritex_write(pwritex_ctx *ctx, void *handle, uint32_t fill, size_t count, uint64_t offset);
