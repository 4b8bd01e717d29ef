// Ring of length-prefixed blocks that never blocks its writer: a full ring
// drops its oldest block and counts the drop. The binary log readers keep
// their newest records here. Any number of writers and readers may share a
// ring; every change happens under its mutex except the pending byte count,
// which is atomic. Reads return the bytes copied, 0 when nothing came, -1
// when refused; messages carry the tag "bsv".
#pragma once

#include <cstdint>

struct rbuf;

struct rbuf_stat {
    uint64_t write_byte;
    uint64_t read_byte;
    uint64_t drop_byte;
    uint64_t write_count;
    uint64_t read_count;  // read calls, not blocks
    uint64_t drop_count;
};

// Called once per stored block by rbuf_read_proc, under the ring's mutex (so
// it must not call into the same ring).
using rbuf_read_cb = void (*)(const void *block, uint32_t len);

// Slots of block_size payload bytes plus header; nullptr when fewer than two
// fit in all_size, block_size is below 3 or memory runs out.
rbuf *rbuf_init(uint32_t all_size, uint32_t block_size);
int rbuf_exit(rbuf *h);
// Empties the ring and zeroes its counters.
// Requires: no thread waits on the ring meanwhile.
int rbuf_clear(rbuf *h);

// A payload slot of size bytes, returned with the ring's mutex held; the
// caller fills it and calls rbuf_unlock, which publishes it. nullptr (mutex
// not held) for a size of 0 or above the largest payload.
void *rbuf_alloc_lock(rbuf *h, uint32_t size);
void rbuf_unlock(rbuf *h);
// 0, or -1 refused (ring untouched).
int rbuf_write(rbuf *h, const void *block, uint32_t size);
// As rbuf_write, after up to two waits of ms for a read while the ring is
// full: -2 or -1 from a wait that timed out or failed, -1 still full.
int rbuf_write_wait(rbuf *h, const void *block, uint32_t size, uint32_t ms);

// Readers. Those with a wait wait up to ms, at most twice, while nothing is
// pending. Requires: len holds the largest block (with its header for
// rbuf_read_blocks).
// Every stored block that fits, each as a header holding the payload length
// (u16, or i32 when the largest payload is 65536 or more; machine byte order)
// followed by the payload.
int rbuf_read_blocks(rbuf *h, void *buf, uint32_t len);
// One block's payload.
int rbuf_read_block(rbuf *h, void *buf, uint32_t len);
int rbuf_read_block_wait(rbuf *h, void *buf, uint32_t len, uint32_t ms);
// Hands every stored block to cb, oldest first; 0.
int rbuf_read_proc(rbuf *h, rbuf_read_cb cb);
// The payloads of every stored block that fits, back to back.
int rbuf_read_data(rbuf *h, void *buf, uint32_t len);
int rbuf_read_data_wait(rbuf *h, void *buf, uint32_t len, uint32_t ms);

// Payload bytes written and neither read nor dropped.
uint32_t rbuf_pending(rbuf *h);
// True one block before a write would drop.
bool rbuf_is_full(rbuf *h);
bool rbuf_is_empty(rbuf *h);
bool rbuf_has_drop(rbuf *h);
uint64_t rbuf_get_drop_count(rbuf *h);
int rbuf_get_stat(rbuf *h, rbuf_stat *stat);

// Walks a buffer filled by rbuf_read_blocks from a ring with 2-byte headers.
struct rbuf_blocks_cursor {
    const void *buf;
    uint32_t total;   // bytes rbuf_read_blocks returned
    uint32_t offset;  // 0 to start
};

// The next payload and its length, or nullptr at the end (or at a header
// that runs past the total).
const void *rbuf_blocks_next(rbuf_blocks_cursor *cur, uint32_t *len);
