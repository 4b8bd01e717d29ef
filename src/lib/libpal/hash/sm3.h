// SM3 (GB/T 32905-2016) with a streaming context that can be written out as
// text and read back, so that a long hashing job (the file-hash tool) can
// stop and resume. A context belongs to its caller and is used by one thread
// at a time; a final ends it until the next init or set_ctx.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PL_SM3_DIGEST_SIZE = 32;
// The longest context text and its NUL.
constexpr size_t PL_SM3_CTX_TEXT_SIZE = 282;

struct sm3_ctx {
    uint32_t count[2];  // the message length in bytes (not bits), low word first
    uint32_t v[8];
    uint8_t buffer[64];  // count mod 64 bytes waiting; the rest is stale
};

void pl_sm3_init(sm3_ctx *ctx);
// Length 0 does nothing; _imp is the core.
void pl_sm3_update(sm3_ctx *ctx, const void *data, size_t len);
void pl_sm3_update_imp(sm3_ctx *ctx, const void *data, size_t len);
// Pads the message and writes the digest (big-endian words); the context
// keeps its state.
void pl_sm3_final(sm3_ctx *ctx, uint8_t digest[PL_SM3_DIGEST_SIZE]);
// The 74-field text (count low and high, 8 words, 64 buffer bytes): 0, or -1
// with the text emptied when it does not fit in size.
int pl_sm3_get_ctx(const sm3_ctx *ctx, char *text, size_t size);
// 0, or -1 with the context unchanged for a text with another field count, a
// field that is not hex or wider than its word, or a length whose bit count
// needs more than 64 bits.
int pl_sm3_set_ctx(sm3_ctx *ctx, const char *text);
void pl_sm3_buf(const void *data, size_t len, uint8_t digest[PL_SM3_DIGEST_SIZE]);
// Compresses one 64-byte block into v.
void pl_sm3_transform(uint32_t v[8], const uint8_t block[64]);
