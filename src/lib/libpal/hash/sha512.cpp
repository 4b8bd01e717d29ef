// SHA-512: update through the shared block buffering; the final writes the
// padding into the buffer.
#include "libpal/hash/sha512.h"

#include <cstddef>
#include <cstring>

#include "libpal/hash/hash_block.h"
#include "libpal/hash/hash_ctx_text.h"
#include "libpal/hash/sha2_rounds.h"
#include "libpal/os/os_byte_order.h"

namespace {

constexpr uint64_t k_k[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

constexpr hash_text_field k_sha512_fields[] = {
    {offsetof(sha512_ctx, h), 8, 8},
    {offsetof(sha512_ctx, count), 8, 2},
    {offsetof(sha512_ctx, buffer), 1, 128},
};

void sha512_blocks(uint64_t h[8], const uint8_t *p, size_t n)
{
    for (; n != 0; n--, p += 128)
        pl_sha512_transform(h, p);
}

// Updates add whole bytes only.
bool sha512_valid(const sha512_ctx &c)
{
    return (c.count[0] & 7) == 0;
}

constexpr sha2_spec<uint64_t, 80> k_spec = {k_k, {28, 34, 39}, {14, 18, 41}, {1, 8, 7}, {19, 61, 6}};

}  // namespace

void pl_sha512_init_imp(sha512_ctx *ctx)
{
    *ctx = sha512_ctx{{0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
                       0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull},
                      {0, 0},
                      {}};
}

void pl_sha512_init(sha512_ctx *ctx)
{
    if (ctx != nullptr)
        pl_sha512_init_imp(ctx);
}

void pl_sha512_transform(uint64_t h[8], const uint8_t block[128])
{
    sha2_compress(k_spec, h, block);
}

void pl_sha512_update(sha512_ctx *ctx, const void *data, size_t len)
{
    const size_t used = (ctx->count[0] >> 3) & 127;
    const uint64_t bits = uint64_t{len} << 3;
    ctx->count[0] += bits;
    ctx->count[1] += (ctx->count[0] < bits ? 1 : 0) + (uint64_t{len} >> 61);
    hash_block_feed<128>(ctx->buffer, used, static_cast<const uint8_t *>(data), len,
                         [ctx](const uint8_t *p, size_t n) { sha512_blocks(ctx->h, p, n); });
}

void pl_sha512_final(sha512_ctx *ctx, uint8_t *digest)
{
    if (digest == nullptr)
        return;
    size_t used = (ctx->count[0] >> 3) & 127;
    ctx->buffer[used++] = 0x80;
    if (used > 112) {
        memset(ctx->buffer + used, 0, 128 - used);
        pl_sha512_transform(ctx->h, ctx->buffer);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 112 - used);
    be64_store(ctx->buffer + 112, ctx->count[1]);
    be64_store(ctx->buffer + 120, ctx->count[0]);
    pl_sha512_transform(ctx->h, ctx->buffer);
    for (uint64_t &word : ctx->h)
        be64_store(reinterpret_cast<uint8_t *>(&word), word);
    memcpy(digest, ctx->h, PL_SHA512_DIGEST_SIZE);
}

int pl_sha512_get_ctx(const sha512_ctx *ctx, char *text, size_t size)
{
    return hash_ctx_text_get(ctx, k_sha512_fields, text, size);
}

int pl_sha512_set_ctx(sha512_ctx *ctx, const char *text)
{
    return hash_ctx_text_set(ctx, text, k_sha512_fields, sha512_valid);
}

void pl_sha512_buf(const void *data, size_t len, uint8_t digest[PL_SHA512_DIGEST_SIZE])
{
    sha512_ctx ctx;
    pl_sha512_init_imp(&ctx);
    pl_sha512_update(&ctx, data, len);
    pl_sha512_final(&ctx, digest);
}
