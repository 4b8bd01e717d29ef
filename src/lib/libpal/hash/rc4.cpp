// RC4: key schedule and key stream, byte by byte as the cipher defines them.
#include "libpal/hash/rc4.h"

#include <utility>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

int rc4_init(rc4_ctx *ctx, const uint8_t *key, size_t key_len)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    // An empty key would divide by zero below and give no secret at all.
    if (key == nullptr || key_len == 0) {
        ZLOG_ERR("rc4_init: empty key refused\n");
        return -1;
    }
    for (int n = 0; n < 256; n++)
        ctx->s[n] = static_cast<uint8_t>(n);
    uint8_t j = 0;
    for (size_t n = 0; n < 256; n++) {
        j = static_cast<uint8_t>(j + ctx->s[n] + key[n % key_len]);
        std::swap(ctx->s[n], ctx->s[j]);
    }
    return 0;
}

void rc4_crypt(rc4_ctx *ctx, const uint8_t *in, uint8_t *out, size_t len)
{
    if (len == 0)
        return;
    PL_ASSERT_TEXT_RET_VOID(ctx != nullptr && in != nullptr && out != nullptr, "ctx&&in&&out");
    uint8_t *s = ctx->s;
    uint8_t i  = 0;
    uint8_t j  = 0;
    for (size_t k = 0; k < len; k++) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + s[i]);
        std::swap(s[i], s[j]);
        out[k] = static_cast<uint8_t>(in[k] ^ s[static_cast<uint8_t>(s[i] + s[j])]);
    }
}
