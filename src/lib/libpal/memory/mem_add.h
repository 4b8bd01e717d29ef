// Record accumulator (the byte-count and file-hash tools' per-block digests):
// keeps up to r_count records of r_len bytes by index, and for every byte
// position the u32 sum of the bytes added there, with text forms of both and
// a CRC-8 per sum that does not depend on the order of the adds.
// mem_add_buf takes the accumulator's mutex and may run on many threads; the
// text forms, set_sum and the resets run while no add is active.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/os_sync.h"

struct mem_add {
    int32_t r_len;    // record length
    int32_t r_count;  // record slots; 0 keeps only the sums
    uint32_t *sum;    // one per byte position
    uint8_t *records; // r_count * r_len bytes, nullptr without slots
    char *hex;        // one record as text: 2 * r_len + 1 bytes
    size_t hex_size;
    size_t sum_size;
    int32_t now_r_count;  // records added since the last reset
    uint64_t total;       // records added since creation
    os_mutex *mutex;
};

// sums (nullptr or empty for zero sums) is a text of mem_add_get_sum; one
// that does not load is reported and leaves the sums zero. nullptr when
// r_len is not positive, r_count negative or memory runs out.
mem_add *mem_add_malloc(int32_t r_len, int32_t r_count, const char *sums);
int mem_add_free(mem_add *ctx);
// Sums and records added to 0.
void mem_add_reset_sum(mem_add *ctx);
// Records added to 0; the sums stay.
void mem_add_reset(mem_add *ctx);

// Adds the r_len bytes at buf to the sums and, with record slots, keeps them
// as record r_idx (0 to r_count - 1): 0, or -1 refused.
int mem_add_buf(mem_add *ctx, const void *buf, int32_t r_idx);
uint64_t mem_add_get_total(mem_add *ctx);

// Text forms: 0, or -1 (text emptied) when they do not fit in size.
// The sums in hexadecimal, comma-separated ("4,6").
int mem_add_get_sum(mem_add *ctx, char *text, size_t size);
// Loads a text of mem_add_get_sum: 0, or -1 with the sums unchanged when it
// does not hold exactly r_len hexadecimal u32 fields. Either way the records
// added drop to 0.
int set_sum(mem_add *ctx, const char *text);
// The records added, each in lower-case hexadecimal, separated by "|".
int mem_add_get_record(mem_add *ctx, char *text, size_t size);
// out[i] = CRC-8 (initial 0) of the four little-endian bytes of sum i: 0, or
// -1 when room is below r_len.
int mem_add_get_crc8(mem_add *ctx, uint8_t *out, size_t room);
