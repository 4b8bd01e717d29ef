// SHA-1: update through the shared block buffering; the final feeds the
// padding and the length through the update itself.
#include "libpal/hash/sha1.h"

#include <bit>
#include <cstddef>

#include "libpal/hash/hash_block.h"
#include "libpal/hash/hash_ctx_text.h"
#include "libpal/os/os_byte_order.h"

namespace {

constexpr hash_text_field k_sha1_fields[] = {
    {offsetof(sha1_ctx, state), 4, 5},
    {offsetof(sha1_ctx, count), 4, 2},
    {offsetof(sha1_ctx, buffer), 1, 64},
};

void sha1_blocks(uint32_t state[5], const uint8_t *p, size_t n)
{
    for (; n != 0; n--, p += 64)
        pl_sha1_transform(state, p);
}

// Updates add whole bytes only.
bool sha1_valid(const sha1_ctx &c)
{
    return (c.count[0] & 7) == 0;
}

}  // namespace

void pl_sha1_init(sha1_ctx *ctx)
{
    *ctx = sha1_ctx{{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u}, {0, 0}, {}};
}

void pl_sha1_transform(uint32_t state[5], const uint8_t block[64])
{
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
        w[i] = be32_load(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
#pragma GCC unroll 80
    for (int i = 0; i < 80; i++) {
        if (i >= 16) {
            const uint32_t x = w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15];
            w[i & 15] = std::rotl(x, 1);
        }
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdcu;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6u;
        }
        const uint32_t t = std::rotl(a, 5) + f + e + k + w[i & 15];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void pl_sha1_update(sha1_ctx *ctx, const void *data, size_t len)
{
    const size_t used = (ctx->count[0] >> 3) & 63;
    hash_count_add_bits(ctx->count, len);
    hash_block_feed<64>(ctx->buffer, used, static_cast<const uint8_t *>(data), len,
                        [ctx](const uint8_t *p, size_t n) { sha1_blocks(ctx->state, p, n); });
}

int pl_sha1_final(sha1_ctx *ctx, uint8_t digest[PL_SHA1_DIGEST_SIZE])
{
    uint8_t length[8];
    be32_store(length, ctx->count[1]);
    be32_store(length + 4, ctx->count[0]);
    const size_t used = (ctx->count[0] >> 3) & 63;
    pl_sha1_update(ctx, k_hash_pad, used < 56 ? 56 - used : 120 - used);
    pl_sha1_update(ctx, length, sizeof(length));
    for (int i = 0; i < 5; i++)
        be32_store(digest + 4 * i, ctx->state[i]);
    *ctx = sha1_ctx{};
    return 0;
}

int pl_sha1_get_ctx(const sha1_ctx *ctx, char *text, size_t size)
{
    return hash_ctx_text_get(ctx, k_sha1_fields, text, size);
}

int pl_sha1_set_ctx(sha1_ctx *ctx, const char *text)
{
    return hash_ctx_text_set(ctx, text, k_sha1_fields, sha1_valid);
}

void pl_sha1_buf(const void *data, size_t len, uint8_t digest[PL_SHA1_DIGEST_SIZE])
{
    sha1_ctx ctx;
    pl_sha1_init(&ctx);
    pl_sha1_update(&ctx, data, len);
    pl_sha1_final(&ctx, digest);
}
