// SHA-512 (FIPS 180-4) with a streaming context that can be written out as
// text and read back, so that a long hashing job (the file-hash tool) can
// stop and resume. A context belongs to its caller and is used by one thread
// at a time; a final ends it until the next init or set_ctx.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PL_SHA512_DIGEST_SIZE = 64;
// The longest context text and its NUL.
constexpr size_t PL_SHA512_CTX_TEXT_SIZE = 554;

struct sha512_ctx {
    uint64_t h[8];
    uint64_t count[2];  // the message length in bits, low word first
    uint8_t buffer[128];  // count / 8 mod 128 bytes waiting; the rest is stale
};

// Does nothing without a context; _imp is the same without that check.
void pl_sha512_init(sha512_ctx *ctx);
void pl_sha512_init_imp(sha512_ctx *ctx);
void pl_sha512_update(sha512_ctx *ctx, const void *data, size_t len);
// Writes the digest (big-endian words), leaving the context's words in that
// byte order; without a digest buffer it does nothing.
void pl_sha512_final(sha512_ctx *ctx, uint8_t *digest);
// The 138-field text (8 words, count low and high, 128 buffer bytes): 0, or
// -1 with the text emptied when it does not fit in size.
int pl_sha512_get_ctx(const sha512_ctx *ctx, char *text, size_t size);
// 0, or -1 with the context unchanged for a text with another field count, a
// field that is not hex or wider than its word, or a length in partial bytes.
int pl_sha512_set_ctx(sha512_ctx *ctx, const char *text);
void pl_sha512_buf(const void *data, size_t len, uint8_t digest[PL_SHA512_DIGEST_SIZE]);
// Compresses one 128-byte block into h.
void pl_sha512_transform(uint64_t h[8], const uint8_t block[128]);
