// Block pool (the hashing tools' pool mode): hands out fixed-size blocks one
// after another, each with a 32-byte descriptor whose first word is the
// block's address and whose other bytes are the caller's (zeroed once at
// creation, not on reuse). No lock: one owner.
#pragma once

#include <cstdint>

struct mbuf2_desc {
    void *block;
    uint8_t user[24];
};
static_assert(sizeof(mbuf2_desc) == 32);

struct mbuf2 {
    uint32_t block_size;
    uint32_t max_idx;    // whole blocks in all_size
    uint32_t alloc_idx;  // next block handed out
    uint8_t *data;       // all_size rounded up to whole blocks
    mbuf2_desc *desc;
};

// nullptr when memory runs out.
mbuf2 *mbuf2_init(uint32_t all_size, uint32_t block_size);
int mbuf2_exit(mbuf2 *h);
// The next mbuf2_get_block starts again from the first block.
void mbuf2_reset(mbuf2 *h);
// The next block's descriptor, or nullptr once max_idx blocks are out.
mbuf2_desc *mbuf2_get_block(mbuf2 *h);
