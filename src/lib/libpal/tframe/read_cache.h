// Read-ahead cache of the hashing tools: small sequential reads of a file or
// device are served from one buffer refilled from the current position, so a
// run of block-sized reads costs one read per buffer. Reads of a buffer or
// more go straight to the read function. One owner at a time; nothing locks.
#pragma once

#include <cstddef>
#include <cstdint>

// A positioned read: bytes read, 0 at the end, negative on failure (with
// errno set by the default one, os_file_pread).
using file_read_proc = int64_t (*)(void *handle, void *buf, size_t count, uint64_t offset);

struct read_cache_param {
    uint32_t block_size;  // the buffer's size; 0: 0x200000
    uint64_t limit;       // the data's size: nothing is read at or beyond it; 0: none
    void *handle;         // handed to read
    file_read_proc read;
};

struct read_cache {
    uint32_t block_size;
    uint8_t *buf;
    uint32_t consumed;  // bytes of buf already handed out
    uint32_t valid;     // bytes of buf read; 0: empty
    uint64_t limit;
    uint64_t pos;  // the file position of buf[0]
    void *handle;
    file_read_proc read;
};

constexpr uint32_t READ_CACHE_DEFAULT_SIZE = 0x200000;

// nullptr when the read function is missing or memory runs out.
// Requires: read_cache_close.
read_cache *read_cache_open(const read_cache_param *param);
// Copies count bytes at offset into buf: the bytes copied (fewer at the limit
// or the end of the data), or -1 when the read function fails.
int64_t read_cache_pread(read_cache *cache, void *buf, size_t count, uint64_t offset);
// Forgets the buffered bytes (the data under them changed).
void read_cache_reset(read_cache *cache);
void read_cache_close(read_cache *cache);
