// MD5 (RFC 1321) with a streaming context that can be written out as text and
// read back, so that a long hashing job (the file-hash tool) can stop and
// resume; the one-shot, text and file forms. A context belongs to its caller
// and is used by one thread at a time; a final ends it until the next init or
// set_ctx.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PL_MD5_DIGEST_SIZE = 16;
// The longest context text and its NUL.
constexpr size_t PL_MD5_CTX_TEXT_SIZE = 246;

struct md5_ctx {
    uint32_t state[4];
    uint32_t count[2];  // the message length in bits, low word first
    uint8_t buffer[64];  // count / 8 mod 64 bytes waiting; the rest is stale
};

void pl_md5_init(md5_ctx *ctx);
void pl_md5_update(md5_ctx *ctx, const void *data, size_t len);
// The digest (little-endian words); the context is cleared. Always 0.
int pl_md5_final(md5_ctx *ctx, uint8_t digest[PL_MD5_DIGEST_SIZE]);
// The 70-field text (4 state words, 2 count words, 64 buffer bytes): 0, or -1
// with the text emptied when it does not fit in size.
int pl_md5_get_ctx(const md5_ctx *ctx, char *text, size_t size);
// 0, or -1 with the context unchanged for a text with another field count, a
// field that is not hex or wider than its word, or a length in partial bytes.
int pl_md5_set_ctx(md5_ctx *ctx, const char *text);
void pl_md5_buf(const void *data, size_t len, uint8_t digest[PL_MD5_DIGEST_SIZE]);
// Compresses one 64-byte block into state.
void pl_md5_transform(uint32_t state[4], const uint8_t block[64]);

// The MD5 of a NUL-terminated text as 32 lower-case hex digits into out (33
// bytes); an empty text gives an empty out. Returns out.
char *pl_md5_str(const char *text, char *out);
// The MD5 of a file: 0, or -1 when the path cannot be opened (digest
// untouched) or a read fails (no digest).
int pl_md5_file(const char *path, uint8_t digest[PL_MD5_DIGEST_SIZE]);
// As pl_md5_file, as hex into out (33 bytes), which starts empty.
int pl_md5_file_hex(const char *path, char *out);
