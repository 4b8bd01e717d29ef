// SHA-1 (FIPS 180-4) with a streaming context that can be written out as text
// and read back; the one-shot form serves the password and key checks. A
// context belongs to its caller and is used by one thread at a time; a final
// ends it until the next init or set_ctx.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PL_SHA1_DIGEST_SIZE = 20;
// The longest context text and its NUL.
constexpr size_t PL_SHA1_CTX_TEXT_SIZE = 255;

struct sha1_ctx {
    uint32_t state[5];
    uint32_t count[2];  // the message length in bits, low word first
    uint8_t buffer[64];  // count / 8 mod 64 bytes waiting; the rest is stale
};

void pl_sha1_init(sha1_ctx *ctx);
void pl_sha1_update(sha1_ctx *ctx, const void *data, size_t len);
// The digest (big-endian words); the context is cleared. Always 0.
int pl_sha1_final(sha1_ctx *ctx, uint8_t digest[PL_SHA1_DIGEST_SIZE]);
// The 71-field text (5 state words, 2 count words, 64 buffer bytes): 0, or -1
// with the text emptied when it does not fit in size.
int pl_sha1_get_ctx(const sha1_ctx *ctx, char *text, size_t size);
// 0, or -1 with the context unchanged for a text with another field count, a
// field that is not hex or wider than its word, or a length in partial bytes.
int pl_sha1_set_ctx(sha1_ctx *ctx, const char *text);
void pl_sha1_buf(const void *data, size_t len, uint8_t digest[PL_SHA1_DIGEST_SIZE]);
// Compresses one 64-byte block into state.
void pl_sha1_transform(uint32_t state[5], const uint8_t block[64]);
