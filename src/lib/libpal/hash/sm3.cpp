// SM3: update through the shared block buffering; the final feeds the
// padding and the bit length through the update itself.
#include "libpal/hash/sm3.h"

#include <bit>
#include <cstddef>

#include "libpal/hash/hash_block.h"
#include "libpal/hash/hash_ctx_text.h"
#include "libpal/os/os_byte_order.h"

namespace {

constexpr hash_text_field k_sm3_fields[] = {
    {offsetof(sm3_ctx, count), 4, 2},
    {offsetof(sm3_ctx, v), 4, 8},
    {offsetof(sm3_ctx, buffer), 1, 64},
};

inline uint32_t p0(uint32_t x)
{
    return x ^ std::rotl(x, 9) ^ std::rotl(x, 17);
}

inline uint32_t p1(uint32_t x)
{
    return x ^ std::rotl(x, 15) ^ std::rotl(x, 23);
}

void sm3_blocks(uint32_t v[8], const uint8_t *p, size_t n)
{
    for (; n != 0; n--, p += 64)
        pl_sm3_transform(v, p);
}

// The length in bits is taken from the byte count at the final: it must fit
// in 64 bits.
bool sm3_valid(const sm3_ctx &c)
{
    return (c.count[1] >> 29) == 0;
}

}  // namespace

void pl_sm3_init(sm3_ctx *ctx)
{
    *ctx = sm3_ctx{{0, 0},
                   {0x7380166fu, 0x4914b2b9u, 0x172442d7u, 0xda8a0600u, 0xa96f30bcu, 0x163138aau, 0xe38dee4du,
                    0xb0fb0e4eu},
                   {}};
}

void pl_sm3_transform(uint32_t v[8], const uint8_t block[64])
{
    uint32_t w[68];
    for (int j = 0; j < 16; j++)
        w[j] = be32_load(block + 4 * j);
    for (int j = 16; j < 68; j++)
        w[j] = p1(w[j - 16] ^ w[j - 9] ^ std::rotl(w[j - 3], 15)) ^ std::rotl(w[j - 13], 7) ^ w[j - 6];
    uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
#pragma GCC unroll 64
    for (int j = 0; j < 64; j++) {
        const uint32_t t = j < 16 ? 0x79cc4519u : 0x7a879d8au;
        const uint32_t a12 = std::rotl(a, 12);
        const uint32_t ss1 = std::rotl(a12 + e + std::rotl(t, j % 32), 7);
        const uint32_t ss2 = ss1 ^ a12;
        const uint32_t ff = j < 16 ? a ^ b ^ c : (a & b) | (a & c) | (b & c);
        const uint32_t gg = j < 16 ? e ^ f ^ g : (e & f) | (~e & g);
        const uint32_t tt1 = ff + d + ss2 + (w[j] ^ w[j + 4]);
        const uint32_t tt2 = gg + h + ss1 + w[j];
        d = c;
        c = std::rotl(b, 9);
        b = a;
        a = tt1;
        h = g;
        g = std::rotl(f, 19);
        f = e;
        e = p0(tt2);
    }
    v[0] ^= a;
    v[1] ^= b;
    v[2] ^= c;
    v[3] ^= d;
    v[4] ^= e;
    v[5] ^= f;
    v[6] ^= g;
    v[7] ^= h;
}

void pl_sm3_update_imp(sm3_ctx *ctx, const void *data, size_t len)
{
    const size_t used = ctx->count[0] & 63;
    const uint64_t total = ((uint64_t{ctx->count[1]} << 32) | ctx->count[0]) + len;
    ctx->count[0] = static_cast<uint32_t>(total);
    ctx->count[1] = static_cast<uint32_t>(total >> 32);
    hash_block_feed<64>(ctx->buffer, used, static_cast<const uint8_t *>(data), len,
                        [ctx](const uint8_t *p, size_t n) { sm3_blocks(ctx->v, p, n); });
}

void pl_sm3_update(sm3_ctx *ctx, const void *data, size_t len)
{
    if (len != 0)
        pl_sm3_update_imp(ctx, data, len);
}

void pl_sm3_final(sm3_ctx *ctx, uint8_t digest[PL_SM3_DIGEST_SIZE])
{
    uint8_t length[8];
    be32_store(length, (ctx->count[1] << 3) | (ctx->count[0] >> 29));
    be32_store(length + 4, ctx->count[0] << 3);
    const size_t used = ctx->count[0] & 63;
    pl_sm3_update_imp(ctx, k_hash_pad, used < 56 ? 56 - used : 120 - used);
    pl_sm3_update_imp(ctx, length, sizeof(length));
    for (int i = 0; i < 8; i++)
        be32_store(digest + 4 * i, ctx->v[i]);
}

int pl_sm3_get_ctx(const sm3_ctx *ctx, char *text, size_t size)
{
    return hash_ctx_text_get(ctx, k_sm3_fields, text, size);
}

int pl_sm3_set_ctx(sm3_ctx *ctx, const char *text)
{
    return hash_ctx_text_set(ctx, text, k_sm3_fields, sm3_valid);
}

void pl_sm3_buf(const void *data, size_t len, uint8_t digest[PL_SM3_DIGEST_SIZE])
{
    sm3_ctx ctx;
    pl_sm3_init(&ctx);
    pl_sm3_update(&ctx, data, len);
    pl_sm3_final(&ctx, digest);
}
