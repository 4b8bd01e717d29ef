// RC4 stream cipher for the binary-log packets and the web tool's key checks.
// Each message is enciphered from a fresh key schedule: rc4_crypt restarts
// its indices at 0 on every call, so callers run rc4_init before each one.
// Enciphering and deciphering are the same operation. No locks: one context
// per thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

struct rc4_ctx {
    uint8_t s[256];  // the permutation; the key itself is not kept
};

// The standard key schedule. 0, or -1 for a missing or empty key (the
// context untouched, an error logged).
int rc4_init(rc4_ctx *ctx, const uint8_t *key, size_t key_len);
// in and out may be the same buffer; len 0 does nothing. The permutation
// left behind is where the next call starts, with its indices at 0 again.
void rc4_crypt(rc4_ctx *ctx, const uint8_t *in, uint8_t *out, size_t len);
