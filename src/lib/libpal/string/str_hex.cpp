// Hexadecimal encoding and decoding.
#include "libpal/string/str_hex.h"

#include <array>
#include <cstring>
#include <utility>

#include "libpal/basic/os_malloc.h"

namespace {

constexpr char kHexLower[] = "0123456789abcdef";

constexpr std::array<int8_t, 256> make_hex_table()
{
    std::array<int8_t, 256> t{};
    for (auto &v : t)
        v = -1;
    for (int i = 0; i < 10; i++)
        t['0' + i] = (int8_t)i;
    for (int i = 0; i < 6; i++) {
        t['a' + i] = (int8_t)(10 + i);
        t['A' + i] = (int8_t)(10 + i);
    }
    return t;
}
constexpr auto kHexDec = make_hex_table();

inline int hexv(char c)
{
    return kHexDec[(unsigned char)c];
}

void *hex_decode_alloc(const char *hex, bool terminate, size_t *len)
{
    int need = str_hex_decode_bin(hex, terminate, nullptr, 0);
    if (need < 0)
        return nullptr;
    auto *out = static_cast<unsigned char *>(os_zalloc((size_t)need + 1));
    if (!out)
        return nullptr;
    int n = str_hex_decode_bin(hex, terminate, out, (size_t)need + 1);
    if (len)
        *len = (size_t)n;
    return out;
}

}  // namespace

int str_bin_encode_hex(const void *data, int len, char *out, size_t size)
{
    if (!data || len < -1)
        return -1;
    size_t n = len == -1 ? strlen(static_cast<const char *>(data)) : (size_t)len;
    if (n >= (size_t)INT32_MAX / 2)
        return -1;
    if (!out)
        return (int)(2 * n + 1);
    if (2 * n + 1 > size) {
        if (size)
            out[0] = 0;
        return -1;
    }
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; i++) {
        out[2 * i]     = kHexLower[p[i] >> 4];
        out[2 * i + 1] = kHexLower[p[i] & 15];
    }
    out[2 * n] = 0;
    return (int)(2 * n);
}

char *str_hex_encode_dup(const char *text)
{
    if (!text)
        return nullptr;
    int need  = str_bin_encode_hex(text, -1, nullptr, 0);
    auto *out = static_cast<char *>(os_malloc((size_t)need));
    if (!out)
        return nullptr;
    str_bin_encode_hex(text, -1, out, (size_t)need);
    return out;
}

bool str_bin_to_hex(const void *data, size_t len, char *out, size_t size)
{
    if (!out || !size)
        return false;
    if (len > (size_t)INT32_MAX / 2 || str_bin_encode_hex(data, (int)len, out, size) < 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

int str_hex_decode_bin(const char *hex, bool terminate, void *out, size_t size)
{
    if (!hex)
        return -1;
    size_t len = strlen(hex);
    if (len % 2)
        return -1;
    for (size_t i = 0; i < len; i++)
        if (hexv(hex[i]) < 0)
            return -1;
    size_t need = len / 2 + (terminate ? 1 : 0);
    if (!out)
        return (int)need;
    if (need > size)
        return -1;
    auto *o = static_cast<unsigned char *>(out);
    for (size_t i = 0; i < len / 2; i++)
        o[i] = (unsigned char)(hexv(hex[2 * i]) << 4 | hexv(hex[2 * i + 1]));
    if (terminate)
        o[len / 2] = 0;
    return (int)(len / 2);
}

void *str_hex_decode_dup(const char *hex, size_t *len)
{
    return hex_decode_alloc(hex, false, len);
}

void *str_hex_decode_dup_ws(char *hex, size_t *len)
{
    if (!hex)
        return nullptr;
    char *w = hex;
    for (char *r = hex; *r; r++)
        if (!strchr(" \t\r\n", *r))
            *w++ = *r;
    *w = 0;
    return hex_decode_alloc(hex, false, len);
}

char *str_hex_decode_str(const char *hex)
{
    return static_cast<char *>(hex_decode_alloc(hex, true, nullptr));
}

char *str_hex_decode_swap_digits(const char *hex, bool keep)
{
    char *s = str_hex_decode_str(hex);
    if (!s)
        return nullptr;
    size_t n = strlen(s);
    if (n == 0 || n % 2) {
        os_free(s);
        return nullptr;
    }
    if (keep)
        return s;
    for (size_t i = 0; i < n; i += 2) {
        if (s[i] < '0' || s[i] > '9' || s[i + 1] < '0' || s[i + 1] > '9') {
            os_free(s);
            return nullptr;
        }
        std::swap(s[i], s[i + 1]);
    }
    return s;
}

int str_hex_pattern_decode(const char *text, uint8_t *bytes, char *mask)
{
    if (!text)
        return -1;
    int n = 0;
    for (const char *p = text; *p;) {
        uint8_t b = 0;
        char m    = '?';
        if (*p == '?') {
            p++;
        } else {
            int hi = hexv(p[0]);
            int lo = hi < 0 ? -1 : hexv(p[1]);
            if (lo < 0)
                return -1;
            b = (uint8_t)(hi << 4 | lo);
            m = '_';
            p += 2;
        }
        if (bytes)
            bytes[n] = b;
        if (mask)
            mask[n] = m;
        n++;
    }
    return n;
}

int str_hex_pattern_decode_dup(const char *text, uint8_t **bytes, int *count, char **mask)
{
    if (!bytes || !count || !mask)
        return -1;
    *bytes = nullptr;
    *mask  = nullptr;
    *count = 0;
    int n  = str_hex_pattern_decode(text, nullptr, nullptr);
    if (n < 1)
        return n;
    *bytes = static_cast<uint8_t *>(os_malloc((size_t)n));
    *mask  = static_cast<char *>(os_malloc((size_t)n + 1));
    if (!*bytes || !*mask) {
        os_free(*bytes);
        os_free(*mask);
        *bytes = nullptr;
        *mask  = nullptr;
        return -1;
    }
    str_hex_pattern_decode(text, *bytes, *mask);
    (*mask)[n] = 0;
    *count     = n;
    return n;
}

bool hex_decode_n(const char *text, size_t len, uint8_t *out, size_t max, size_t *count)
{
    size_t i = 0, n = 0;
    bool ok = text && out;
    while (ok && len - i >= 2) {
        int hi = hexv(text[i]), lo = hexv(text[i + 1]);
        if (n >= max || hi < 0 || lo < 0) {
            ok = false;
            break;
        }
        out[n++] = (uint8_t)(hi << 4 | lo);
        i += 2;
    }
    if (count)
        *count = n;
    return ok && i == len;
}

int hex_decode_sep(const char *text, size_t len, uint8_t *out, size_t size)
{
    if (!text || !out || len < 2 || len / 3 >= size)
        return -1;
    size_t n = 0;
    for (size_t i = 0; i < len;) {
        if (text[i] && strchr(" -.:_", text[i])) {
            i++;
            continue;
        }
        if (i + 1 >= len)
            break;  // a last single character is ignored
        int hi = hexv(text[i]), lo = hexv(text[i + 1]);
        if (hi < 0 || lo < 0 || n >= size)
            return -1;
        out[n++] = (uint8_t)(hi << 4 | lo);
        i += 2;
    }
    return (int)n;
}

int str_hex_sep_decode(const char *text, const char *sep, uint8_t *out)
{
    if (!text || !out)
        return 0;
    size_t seplen = sep ? strlen(sep) : 0;
    size_t n      = 0;
    for (const char *p = text; *p;) {
        int hi = hexv(p[0]);
        int lo = hi < 0 ? -1 : hexv(p[1]);
        if (lo < 0)
            return 1;
        out[n++] = (uint8_t)(hi << 4 | lo);
        p += 2;
        if (!seplen || !*p)
            continue;
        if (strncmp(p, sep, seplen) != 0)
            return 1;
        p += seplen;
    }
    return 0;
}

bool hex_chr_val(uint8_t *val, char c)
{
    int v = hexv(c);
    if (v < 0)
        return false;
    if (val)
        *val = (uint8_t)v;
    return true;
}

uint8_t hex_chr_value(char c)
{
    int v = hexv(c);
    return v < 0 ? 255 : (uint8_t)v;
}

int hex_chr_val_tab(int c)
{
    return c < 0 || c > 255 ? -1 : kHexDec[c];
}
