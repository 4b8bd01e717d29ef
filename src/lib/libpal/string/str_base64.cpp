// Base64 encoding and decoding.
#include "libpal/string/str_base64.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr char kB64Std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kB64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Decoding table of the standard alphabet; "-" and "_" read as "+" and "/",
// so texts of either alphabet decode.
constexpr std::array<int8_t, 256> make_b64_table()
{
    std::array<int8_t, 256> t{};
    for (auto &v : t)
        v = -1;
    for (int i = 0; i < 64; i++)
        t[(unsigned char)kB64Std[i]] = (int8_t)i;
    t['-'] = 62;
    t['_'] = 63;
    return t;
}
constexpr auto kB64Dec = make_b64_table();

// The base64 input of a failed call may be credentials (proxy and web
// authentication): reports show its size, never its bytes.
const char *hidden_text(const char *text, char *buf, size_t size)
{
    str_sprintf_s2(buf, size, "<%zu bytes>", text ? strlen(text) : (size_t)0);
    return buf;
}

char *base64_encode_dup(const void *data, size_t len, bool url)
{
    if (len >= UINT32_MAX / 4)
        return nullptr;
    size_t need = PL_BASE64_ENCODE_LEN(len);
    auto *out   = static_cast<char *>(os_zalloc(need));
    if (!out)
        return nullptr;
    if (str_base64_encode_imp(data, len, out, need, url) < 0) {
        os_free(out);
        return nullptr;
    }
    return out;
}

}  // namespace

int str_base64_encode_imp(const void *ib, size_t in, char *ob, size_t on, bool url)
{
    PL_ASSERT_RET(ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in)), -1);
    const char *alpha = url ? kB64Url : kB64Std;
    char pad          = url ? ',' : '=';
    const auto *p     = static_cast<const unsigned char *>(ib);
    char *o           = ob;
    size_t i          = 0;
    for (; i + 3 <= in; i += 3) {
        uint32_t v = (uint32_t)p[i] << 16 | (uint32_t)p[i + 1] << 8 | p[i + 2];
        *o++       = alpha[v >> 18];
        *o++       = alpha[(v >> 12) & 63];
        *o++       = alpha[(v >> 6) & 63];
        *o++       = alpha[v & 63];
    }
    if (i < in) {
        uint32_t v = (uint32_t)p[i] << 16 | (i + 1 < in ? (uint32_t)p[i + 1] << 8 : 0);
        *o++       = alpha[v >> 18];
        *o++       = alpha[(v >> 12) & 63];
        *o++       = i + 1 < in ? alpha[(v >> 6) & 63] : pad;
        *o++       = pad;
    }
    *o = 0;
    return (int)(o - ob);
}

int str_base64_encode(const void *data, size_t len, char *out, size_t size)
{
    return str_base64_encode_imp(data, len, out, size, false);
}

int str_base64_encode_url(const void *data, size_t len, char *out, size_t size)
{
    return str_base64_encode_imp(data, len, out, size, true);
}

char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, bool url)
{
    if (out && size)
        out[0] = 0;
    if (str_base64_encode_imp(text, text ? strlen(text) + 1 : 0, out, size, url) < 0) {
        char hid[32];
        if (out && size)
            out[0] = 0;
        ZLOG_ERR("str_base64_encode ib=[%s] failed", hidden_text(text, hid, sizeof(hid)));
        assert_dump_stack();
    }
    return out;
}

char *str_base64_encode_buf(const char *text, char *out, size_t size)
{
    return str_base64_encode_buf_imp(text, out, size, false);
}

char *str_base64_encode_url_buf(const char *text, char *out, size_t size)
{
    return str_base64_encode_buf_imp(text, out, size, true);
}

char *str_base64_encode_dup(const void *data, size_t len)
{
    return base64_encode_dup(data, len, false);
}

char *str_base64_encode_url_dup(const void *data, size_t len)
{
    return base64_encode_dup(data, len, true);
}

int str_base64_decode(const char *text, void *out, size_t size)
{
    const char *ib = text;
    auto *ob       = static_cast<unsigned char *>(out);
    PL_ASSERT_RET(ib && ob, -1);
    size_t n      = 0;
    uint32_t prev = 0;
    int k         = 0;
    for (const char *p = ib; *p && *p != ',' && *p != '='; p++) {
        int v = kB64Dec[(unsigned char)*p];
        if (v < 0) {
            ZLOG_ERR("invalid chr=0x%x [%c]", (unsigned char)*p, *p);
            assert_dump_stack();
            return -1;
        }
        int b = -1;
        if (k == 1)
            b = (int)((prev << 2) | ((uint32_t)v >> 4)) & 0xFF;
        if (k == 2)
            b = (int)((prev << 4) | ((uint32_t)v >> 2)) & 0xFF;
        if (k == 3)
            b = (int)((prev << 6) | (uint32_t)v) & 0xFF;
        if (b >= 0) {
            if (n >= size)
                return -1;
            ob[n++] = (unsigned char)b;
        }
        prev = (uint32_t)v;
        k    = (k + 1) & 3;
    }
    return (int)n;
}

char *str_base64_decode_buf(const char *text, char *out, size_t size)
{
    if (out && size)
        out[0] = 0;
    if (str_base64_decode(text, out, size) < 0) {
        char hid[32];
        if (out && size)
            out[0] = 0;
        ZLOG_ERR("str_base64_decode ib=[%s] failed", hidden_text(text, hid, sizeof(hid)));
        assert_dump_stack();
    }
    return out;
}

void *str_base64_decode_dup(const char *text, size_t *len)
{
    if (!text)
        return nullptr;
    size_t size = strlen(text);
    auto *out   = static_cast<char *>(os_zalloc(size + 1));
    if (!out)
        return nullptr;
    int n = str_base64_decode(text, out, size);
    if (n < 0) {
        os_free(out);
        return nullptr;
    }
    if (len)
        *len = (size_t)n;
    return out;
}
