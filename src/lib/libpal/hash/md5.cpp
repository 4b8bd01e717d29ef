// MD5: update through the shared block buffering, the padding written into
// the buffer at the final, and the text and file forms.
#include "libpal/hash/md5.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "libpal/hash/hash_block.h"
#include "libpal/hash/hash_ctx_text.h"
#include "libpal/hash/hash_file.h"
#include "libpal/os/os_byte_order.h"
#include "libpal/string/str_hex.h"

namespace {

constexpr uint32_t k_md5_k[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
};

// Rotation of each round's four steps.
constexpr int k_md5_rot[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr hash_text_field k_md5_fields[] = {
    {offsetof(md5_ctx, state), 4, 4},
    {offsetof(md5_ctx, count), 4, 2},
    {offsetof(md5_ctx, buffer), 1, 64},
};

void md5_blocks(uint32_t state[4], const uint8_t *p, size_t n)
{
    for (; n != 0; n--, p += 64)
        pl_md5_transform(state, p);
}

// Updates add whole bytes only.
bool md5_valid(const md5_ctx &c)
{
    return (c.count[0] & 7) == 0;
}

}  // namespace

void pl_md5_init(md5_ctx *ctx)
{
    *ctx = md5_ctx{{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, {0, 0}, {}};
}

void pl_md5_transform(uint32_t state[4], const uint8_t block[64])
{
    uint32_t m[16];
    for (int i = 0; i < 16; i++)
        m[i] = le32_load(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
#pragma GCC unroll 64
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        f += a + k_md5_k[i] + m[g];
        a = d;
        d = c;
        c = b;
        b += std::rotl(f, k_md5_rot[i / 16][i % 4]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void pl_md5_update(md5_ctx *ctx, const void *data, size_t len)
{
    const size_t used = (ctx->count[0] >> 3) & 63;
    hash_count_add_bits(ctx->count, len);
    hash_block_feed<64>(ctx->buffer, used, static_cast<const uint8_t *>(data), len,
                        [ctx](const uint8_t *p, size_t n) { md5_blocks(ctx->state, p, n); });
}

int pl_md5_final(md5_ctx *ctx, uint8_t digest[PL_MD5_DIGEST_SIZE])
{
    size_t used = (ctx->count[0] >> 3) & 63;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        pl_md5_transform(ctx->state, ctx->buffer);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    le32_store(ctx->buffer + 56, ctx->count[0]);
    le32_store(ctx->buffer + 60, ctx->count[1]);
    pl_md5_transform(ctx->state, ctx->buffer);
    for (int i = 0; i < 4; i++)
        le32_store(digest + 4 * i, ctx->state[i]);
    *ctx = md5_ctx{};
    return 0;
}

int pl_md5_get_ctx(const md5_ctx *ctx, char *text, size_t size)
{
    return hash_ctx_text_get(ctx, k_md5_fields, text, size);
}

int pl_md5_set_ctx(md5_ctx *ctx, const char *text)
{
    return hash_ctx_text_set(ctx, text, k_md5_fields, md5_valid);
}

void pl_md5_buf(const void *data, size_t len, uint8_t digest[PL_MD5_DIGEST_SIZE])
{
    md5_ctx ctx;
    pl_md5_init(&ctx);
    pl_md5_update(&ctx, data, len);
    pl_md5_final(&ctx, digest);
}

char *pl_md5_str(const char *text, char *out)
{
    out[0] = '\0';
    if (text[0] == '\0')
        return out;
    uint8_t digest[PL_MD5_DIGEST_SIZE];
    pl_md5_buf(text, strlen(text), digest);
    str_bin_to_hex(digest, sizeof(digest), out, 2 * PL_MD5_DIGEST_SIZE + 1);
    return out;
}

int pl_md5_file(const char *path, uint8_t digest[PL_MD5_DIGEST_SIZE])
{
    md5_ctx ctx;
    pl_md5_init(&ctx);
    const int ret = hash_file_pieces(path, [](void *c, const void *data, size_t len) {
        pl_md5_update(static_cast<md5_ctx *>(c), data, len);
    }, &ctx);
    if (ret != 0)
        return -1;
    pl_md5_final(&ctx, digest);
    return 0;
}

int pl_md5_file_hex(const char *path, char *out)
{
    out[0] = '\0';
    uint8_t digest[PL_MD5_DIGEST_SIZE];
    if (pl_md5_file(path, digest) != 0)
        return -1;
    str_bin_to_hex(digest, sizeof(digest), out, 2 * PL_MD5_DIGEST_SIZE + 1);
    return 0;
}
