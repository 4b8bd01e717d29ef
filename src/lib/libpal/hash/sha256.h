// SHA-256 (FIPS 180-4) with a streaming context that can be written out as
// text and read back, so that a long hashing job (the file-hash tool) can
// stop and resume. Blocks are compressed with the processor's SHA extensions
// where it has them, with portable code otherwise; both give the same bytes.
// A context belongs to its caller and is used by one thread at a time; a
// final ends it until the next init or set_ctx.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PL_SHA256_DIGEST_SIZE = 32;
// The longest context text and its NUL.
constexpr size_t PL_SHA256_CTX_TEXT_SIZE = 290;

struct sha256_ctx {
    uint64_t count;  // the message length in bits
    uint32_t h[8];
    uint32_t buffered;  // bytes waiting in buffer, below 64
    uint8_t buffer[64];
};

void pl_sha256_init(sha256_ctx *ctx);
void pl_sha256_update(sha256_ctx *ctx, const void *data, size_t len);
// Pads the message and writes the digest (big-endian words); without a
// digest buffer it pads and writes nothing. The context keeps its state.
void pl_sha256_final(sha256_ctx *ctx, uint8_t *digest);
// The 74-field text (count, 8 words, buffered, 64 buffer bytes): 0, or -1
// with the text emptied when it does not fit in size.
int pl_sha256_get_ctx(const sha256_ctx *ctx, char *text, size_t size);
// 0, or -1 with the context unchanged for a text with another field count, a
// field that is not hex or wider than its word, a buffered count of 64 or
// more, or a buffered count that disagrees with the length.
int pl_sha256_set_ctx(sha256_ctx *ctx, const char *text);
void pl_sha256_buf(const void *data, size_t len, uint8_t digest[PL_SHA256_DIGEST_SIZE]);
// Compresses one 64-byte block into h.
void pl_sha256_transform(uint32_t h[8], const uint8_t block[64]);

// The block routines. The first use picks the fastest one the processor runs;
// tests and benchmarks select each in turn.
enum : int {
    PL_SHA256_PORTABLE = 0,
    PL_SHA256_SHA_NI   = 1,  // x86 SHA extensions
};
// 0, or -1 (nothing changed) when this processor lacks the routine.
int pl_sha256_select(int impl);
int pl_sha256_selected();
