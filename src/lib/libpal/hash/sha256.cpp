// SHA-256: update through the shared block buffering into whichever block
// routine was selected; the final feeds the padding and the length through
// the update itself.
#include "libpal/hash/sha256.h"

#include <atomic>
#include <cstddef>

#include "libpal/hash/hash_block.h"
#include "libpal/hash/hash_cpu.h"
#include "libpal/hash/hash_ctx_text.h"
#include "libpal/hash/sha2_rounds.h"
#include "libpal/hash/sha256_ni.h"
#include "libpal/os/os_byte_order.h"

const uint32_t sha256_round_k[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

namespace {

constexpr hash_text_field k_sha256_fields[] = {
    {offsetof(sha256_ctx, count), 8, 1},
    {offsetof(sha256_ctx, h), 4, 8},
    {offsetof(sha256_ctx, buffered), 4, 1},
    {offsetof(sha256_ctx, buffer), 1, 64},
};

using blocks_fn = void (*)(uint32_t h[8], const uint8_t *p, size_t n);

void blocks_portable(uint32_t h[8], const uint8_t *p, size_t n)
{
    for (; n != 0; n--, p += 64)
        pl_sha256_transform(h, p);
}

constexpr blocks_fn k_routines[] = {blocks_portable, sha256_blocks_ni};

bool routine_runs(int impl)
{
    return impl == PL_SHA256_PORTABLE || (impl == PL_SHA256_SHA_NI && hash_cpu_sha_ni());
}

// The selected routine, chosen by the probe on first use.
std::atomic<int> &selected()
{
    static std::atomic<int> impl{routine_runs(PL_SHA256_SHA_NI) ? PL_SHA256_SHA_NI : PL_SHA256_PORTABLE};
    return impl;
}

// The buffered count must be a count of bytes waiting, the one the length implies.
bool sha256_valid(const sha256_ctx &c)
{
    return c.buffered < 64 && (c.count & 7) == 0 && ((c.count >> 3) & 63) == c.buffered;
}

constexpr sha2_spec<uint32_t, 64> k_spec = {sha256_round_k, {2, 13, 22}, {6, 11, 25}, {7, 18, 3}, {17, 19, 10}};

}  // namespace

int pl_sha256_select(int impl)
{
    if (!routine_runs(impl))
        return -1;
    selected().store(impl, std::memory_order_relaxed);
    return 0;
}

int pl_sha256_selected()
{
    return selected().load(std::memory_order_relaxed);
}

void pl_sha256_init(sha256_ctx *ctx)
{
    *ctx = sha256_ctx{0,
                      {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu,
                       0x1f83d9abu, 0x5be0cd19u},
                      0,
                      {}};
}

void pl_sha256_transform(uint32_t h[8], const uint8_t block[64])
{
    sha2_compress(k_spec, h, block);
}

void pl_sha256_update(sha256_ctx *ctx, const void *data, size_t len)
{
    const blocks_fn blocks = k_routines[pl_sha256_selected()];
    const size_t used = ctx->buffered;
    ctx->count += uint64_t{len} << 3;
    ctx->buffered = static_cast<uint32_t>((used + len) & 63);
    hash_block_feed<64>(ctx->buffer, used, static_cast<const uint8_t *>(data), len,
                        [ctx, blocks](const uint8_t *p, size_t n) { blocks(ctx->h, p, n); });
}

void pl_sha256_final(sha256_ctx *ctx, uint8_t *digest)
{
    uint8_t length[8];
    be64_store(length, ctx->count);
    const size_t used = ctx->buffered;
    pl_sha256_update(ctx, k_hash_pad, used < 56 ? 56 - used : 120 - used);
    pl_sha256_update(ctx, length, sizeof(length));
    if (digest == nullptr)
        return;
    for (int i = 0; i < 8; i++)
        be32_store(digest + 4 * i, ctx->h[i]);
}

int pl_sha256_get_ctx(const sha256_ctx *ctx, char *text, size_t size)
{
    return hash_ctx_text_get(ctx, k_sha256_fields, text, size);
}

int pl_sha256_set_ctx(sha256_ctx *ctx, const char *text)
{
    return hash_ctx_text_set(ctx, text, k_sha256_fields, sha256_valid);
}

void pl_sha256_buf(const void *data, size_t len, uint8_t digest[PL_SHA256_DIGEST_SIZE])
{
    sha256_ctx ctx;
    pl_sha256_init(&ctx);
    pl_sha256_update(&ctx, data, len);
    pl_sha256_final(&ctx, digest);
}
