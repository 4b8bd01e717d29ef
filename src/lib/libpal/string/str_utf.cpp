// Unicode conversion and 16-bit unit texts.
#include "libpal/string/str_utf.h"

#include <cerrno>
#include <cstring>

namespace {

// The readers' two failures: input that ends inside a character, and an
// invalid sequence.
int conv_incomplete()
{
    errno = EINVAL;
    return 0;
}

int conv_invalid()
{
    errno = EILSEQ;
    return -1;
}

// One code point read from in; its byte count, 0 with errno EINVAL when the
// input ends inside it, -1 with errno EILSEQ when it is invalid.
int utf8_get(const unsigned char *p, size_t left, uint32_t *cp)
{
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    int n;
    uint32_t v;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        v = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        v = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        v = b0 & 0x07;
    } else {
        return conv_invalid();  // continuation byte, overlong C0/C1, 5- and 6-byte leads
    }
    size_t have = left < (size_t)n ? left : (size_t)n;
    for (size_t i = 1; i < have; i++)
        if ((p[i] & 0xC0) != 0x80)
            return conv_invalid();
    if (have >= 2) {
        unsigned char b1 = p[1];
        bool bad         = (b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xF0 && b1 < 0x90) || (b0 == 0xED && b1 >= 0xA0) ||
                   (b0 == 0xF4 && b1 >= 0x90);
        if (bad)
            return conv_invalid();
    }
    if (have < (size_t)n)
        return conv_incomplete();
    for (int i = 1; i < n; i++)
        v = (v << 6) | (p[i] & 0x3F);
    if (v == 0xFFFE || v == 0xFFFF)
        return conv_invalid();
    *cp = v;
    return n;
}

int utf16_get(const unsigned char *p, size_t left, uint32_t *cp)
{
    if (left < 2)
        return conv_incomplete();
    uint16_t u;
    memcpy(&u, p, 2);
    if (u >= 0xDC00 && u <= 0xDFFF)
        return conv_invalid();
    if (u < 0xD800 || u > 0xDBFF) {
        *cp = u;
        return 2;
    }
    if (left < 4)
        return conv_incomplete();
    uint16_t lo;
    memcpy(&lo, p + 2, 2);
    if (lo < 0xDC00 || lo > 0xDFFF)
        return conv_invalid();
    *cp = 0x10000 + (((uint32_t)u - 0xD800) << 10) + ((uint32_t)lo - 0xDC00);
    return 4;
}

int utf32_get(const unsigned char *p, size_t left, uint32_t *cp)
{
    if (left < 4)
        return conv_incomplete();
    uint32_t v;
    memcpy(&v, p, 4);
    if ((v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF)
        return conv_invalid();
    *cp = v;
    return 4;
}

// The encoded form of cp in code `to` into buf (at least 4 bytes); its length.
size_t conv_put(int to, uint32_t cp, char *buf)
{
    if (to == STR_CONV_UTF32) {
        memcpy(buf, &cp, 4);
        return 4;
    }
    if (to == STR_CONV_UTF8)
        return (size_t)utf8_put(buf, cp);
    if (cp < 0x10000) {
        auto u = (uint16_t)cp;
        memcpy(buf, &u, 2);
        return 2;
    }
    uint16_t pair[2] = {(uint16_t)(0xD800 + ((cp - 0x10000) >> 10)), (uint16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF))};
    memcpy(buf, pair, 4);
    return 4;
}

// Converts a whole text (its terminator included) and fails unless all of it
// was converted; the output size, or -1.
int conv_all(int from, int to, const void *in, size_t inlen, void *out, size_t size)
{
    auto *ip       = static_cast<const char *>(in);
    auto *op       = static_cast<char *>(out);
    size_t outleft = size;
    int r          = str_conv(from, to, &ip, &inlen, out ? &op : nullptr, out ? &outleft : nullptr);
    if (r < 0)
        return -1;
    if (inlen != 0) {
        errno = EINVAL;
        return -1;
    }
    return r;
}

}  // namespace

int str_conv(int from, int to, const char **in, size_t *inleft, char **out, size_t *outleft)
{
    if (!in || !*in || !inleft || !*inleft)
        return 0;
    if (to != STR_CONV_UTF8 && to != STR_CONV_UTF16 && to != STR_CONV_UTF32) {
        errno = EBADF;
        return -1;
    }
    int (*get)(const unsigned char *, size_t, uint32_t *) = from == STR_CONV_UTF8    ? utf8_get
                                                            : from == STR_CONV_UTF16 ? utf16_get
                                                            : from == STR_CONV_UTF32 ? utf32_get
                                                                                     : nullptr;
    if (!get) {
        errno = EBADF;
        return -1;
    }
    bool write = out && *out && outleft;
    int total  = 0;
    while (*inleft) {
        uint32_t cp = 0;
        int used    = get(reinterpret_cast<const unsigned char *>(*in), *inleft, &cp);
        if (used < 0)
            return -1;
        if (used == 0)
            return total;  // input ends inside a character: errno EINVAL
        char buf[4];
        size_t n = conv_put(to, cp, buf);
        if (write) {
            if (*outleft < n) {
                errno = E2BIG;
                return -1;
            }
            memcpy(*out, buf, n);
            *out += n;
            *outleft -= n;
        }
        *in += used;
        *inleft -= (size_t)used;
        total += (int)n;
    }
    return total;
}

int utf8_put(char *out, uint32_t cp)
{
    char buf[4];
    int n;
    if (cp < 0x80) {
        buf[0] = (char)cp;
        n      = 1;
    } else if (cp < 0x800) {
        buf[0] = (char)(0xC0 | cp >> 6);
        buf[1] = (char)(0x80 | (cp & 0x3F));
        n      = 2;
    } else if (cp < 0x10000) {
        buf[0] = (char)(0xE0 | cp >> 12);
        buf[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = (char)(0x80 | (cp & 0x3F));
        n      = 3;
    } else if (cp <= 0x10FFFF) {
        buf[0] = (char)(0xF0 | cp >> 18);
        buf[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = (char)(0x80 | (cp & 0x3F));
        n      = 4;
    } else {
        buf[0] = '?';
        n      = 1;
    }
    if (out)
        memcpy(out, buf, (size_t)n);
    return n;
}

char *str_w2u8_n(const uint16_t *wide, char *out, size_t size)
{
    if (!wide || !out)
        return nullptr;
    return conv_all(STR_CONV_UTF16, STR_CONV_UTF8, wide, (wstrlen16(wide) + 1) * 2, out, size) < 0 ? nullptr : out;
}

char *str_w2u8_buf(const uint16_t *wide, char *out, size_t size)
{
    if (!out || !size)
        return out;
    out[0] = 0;
    if (!str_w2u8_n(wide, out, size))
        out[0] = 0;
    return out;
}

int str_w2u8_len(const uint16_t *wide)
{
    if (!wide)
        return -1;
    return conv_all(STR_CONV_UTF16, STR_CONV_UTF8, wide, (wstrlen16(wide) + 1) * 2, nullptr, 0);
}

bool str_w2u8_size(char *out, size_t *size, const uint16_t *wide)
{
    if (!size || !wide)
        return false;
    if (out)
        return str_w2u8_n(wide, out, *size) != nullptr;
    int n = str_w2u8_len(wide);
    if (n < 0)
        return false;
    *size = (size_t)n;
    return true;
}

uint16_t *str_u82w_n(const char *text, uint16_t *out, size_t size)
{
    if (!text || !out)
        return nullptr;
    return conv_all(STR_CONV_UTF8, STR_CONV_UTF16, text, strlen(text) + 1, out, size) < 0 ? nullptr : out;
}

uint16_t *str_u82w_buf(const char *text, uint16_t *out, size_t size)
{
    if (!out || size < 2)
        return out;
    out[0] = 0;
    if (!str_u82w_n(text, out, size))
        out[0] = 0;
    return out;
}

int str_u82w_len(const char *text)
{
    if (!text)
        return -1;
    return conv_all(STR_CONV_UTF8, STR_CONV_UTF16, text, strlen(text) + 1, nullptr, 0);
}

size_t wstrlen16(const uint16_t *wide)
{
    size_t n = 0;
    while (wide && wide[n])
        n++;
    return n;
}

uint16_t *wstrcpy16(uint16_t *dst, const uint16_t *src)
{
    size_t n = wstrlen16(src);
    memmove(dst, src, n * 2);
    dst[n] = 0;
    return dst;
}

uint16_t *wstrcat16(uint16_t *dst, const uint16_t *src)
{
    wstrcpy16(dst + wstrlen16(dst), src);
    return dst;
}
