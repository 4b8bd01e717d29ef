// Block sequence between one producer and one consumer thread (the file-hash
// and byte-count tools): blocks of a fixed size laid out one after another,
// the last one written may be short. The indices do not wrap: between two
// mbuf_reset calls at most all_size / block_size blocks pass. The mutex
// guards the count and indices; the producer waits on the release event, the
// consumer on the commit event.
#pragma once

#include <cstdint>

struct mbuf;

// nullptr when not even one block fits in all_size, or memory runs out.
mbuf *mbuf_init(uint32_t all_size, uint32_t block_size);
int mbuf_exit(mbuf *h);
// Requires: called by the producer once the sequence is empty; the consumer
// may meanwhile poll for the next block.
void mbuf_reset(mbuf *h);

// Producer side.
// The next block to fill, or nullptr when none is free.
void *mbuf_alloc(mbuf *h);
// Commits the block from mbuf_alloc with its length (1 to block_size): 0, or
// -1 refused (nothing committed).
int mbuf_alloc_unref(mbuf *h, uint32_t size);
// mbuf_alloc, copy, mbuf_alloc_unref: 0 or -1.
int mbuf_write(mbuf *h, const void *block, uint32_t size);
// As mbuf_write, after up to two waits of ms for a release while full: the
// result of a wait that timed out (-2) or failed (-1), or -1 still full.
int mbuf_write_wait(mbuf *h, const void *block, uint32_t size, uint32_t ms);
bool mbuf_is_full(mbuf *h);
bool mbuf_is_empty(mbuf *h);
// Waits up to ms for the consumer to drain the sequence; true when empty.
bool mbuf_wait_empty(mbuf *h, uint32_t ms);

// Consumer side.
// The oldest unread block and its length, or nullptr when none is committed.
void *mbuf_read_get(mbuf *h, uint32_t *len);
// As mbuf_read_get, after waiting up to ms for a commit when none is there.
void *mbuf_read_get_wait(mbuf *h, uint32_t *len, uint32_t ms);
// Releases the block from mbuf_read_get: 0, or -1 when none was unread.
int mbuf_read_unref(mbuf *h);
// Get (waiting up to ms), copy, release: the bytes copied, 0 when nothing
// came, -1 refused. Requires: len holds a whole block.
int mbuf_read_wait(mbuf *h, void *buf, uint32_t len, uint32_t ms);
