// Text encodings: base64, hexadecimal, percent-encoding, JSON / tab / CSV and
// backslash escapes, UTF conversion and the name/key/value checks.
#include "libpal/string/str_enc.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr char kB64Std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kB64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

// Decoding table of the standard alphabet; "-" and "_" read as "+" and "/",
// so texts of either alphabet decode.
constexpr std::array<int8_t, 256> make_b64_table() {
    std::array<int8_t, 256> t{};
    for (auto &v : t) v = -1;
    for (int i = 0; i < 64; i++) t[(unsigned char)kB64Std[i]] = (int8_t)i;
    t['-'] = 62;
    t['_'] = 63;
    return t;
}
constexpr auto kB64Dec = make_b64_table();

constexpr std::array<int8_t, 256> make_hex_table() {
    std::array<int8_t, 256> t{};
    for (auto &v : t) v = -1;
    for (int i = 0; i < 10; i++) t['0' + i] = (int8_t)i;
    for (int i = 0; i < 6; i++) {
        t['a' + i] = (int8_t)(10 + i);
        t['A' + i] = (int8_t)(10 + i);
    }
    return t;
}
constexpr auto kHexDec = make_hex_table();

inline int hexv(char c) { return kHexDec[(unsigned char)c]; }

// One 256-bit set per percent-encoding mode: the bytes written as %XX.
using byte_set = std::array<bool, 256>;
constexpr byte_set make_esc_set(int mode) {
    byte_set s{};
    for (int c = 0; c < 256; c++) {
        bool ctl = c <= 0x20;
        bool high = c >= 0x7F;
        switch (mode) {
        case 0: s[c] = ctl || high || c == '#' || c == '%' || c == '?'; break;
        case 1:
            s[c] = ctl || high || c == '#' || c == '%' || c == '&' || c == '+' || c == ';' || c == '=' || c == '?';
            break;
        case 2:
            s[c] = !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~');
            break;
        case 3: s[c] = ctl || high || c == '"' || c == '#' || c == '%' || c == '\''; break;
        case 4: s[c] = ctl || high || c == '"' || c == '\''; break;
        default: s[c] = ctl || c == '%'; break;
        }
    }
    return s;
}
constexpr std::array<byte_set, 7> kEscSets = {make_esc_set(0), make_esc_set(1), make_esc_set(2), make_esc_set(3),
                                              make_esc_set(4), make_esc_set(5), make_esc_set(6)};

// The base64 input of a failed call may be credentials (proxy and web
// authentication): reports show its size, never its bytes.
const char *hidden_text(const char *text, char *buf, size_t size) {
    str_sprintf_s2(buf, size, "<%zu bytes>", text ? strlen(text) : (size_t)0);
    return buf;
}

// Appends escaped pieces to (out, size); size 0 writes without a bound (the
// caller measured the output). On overflow the strict concatenation reports
// and empties out, and nothing more is written.
struct piece_writer {
    char  *out;
    size_t size;
    size_t len = 0;
    bool   failed = false;

    void put(const char *piece, size_t n) {
        if (failed) return;
        if (size && len + n + 1 > size) {
            char tmp[8];
            memcpy(tmp, piece, n);
            tmp[n] = 0;
            str_safecat(out, size, tmp);
            out[0] = 0;
            failed = true;
            len = 0;
            return;
        }
        memcpy(out + len, piece, n);
        len += n;
        out[len] = 0;
    }
};

// One JSON escape of byte c into buf; its length.
size_t json_piece(unsigned char c, char *buf) {
    switch (c) {
    case '\b': memcpy(buf, "\\b", 2); return 2;
    case '\t': memcpy(buf, "\\t", 2); return 2;
    case '\n': memcpy(buf, "\\n", 2); return 2;
    case '\f': memcpy(buf, "\\f", 2); return 2;
    case '\r': memcpy(buf, "\\r", 2); return 2;
    case '\\': memcpy(buf, "\\\\", 2); return 2;
    case '"': memcpy(buf, "\\\"", 2); return 2;
    default: break;
    }
    if (c < 0x20) {
        memcpy(buf, "\\u00", 4);
        buf[4] = kHexUpper[c >> 4];
        buf[5] = kHexUpper[c & 15];
        return 6;
    }
    buf[0] = (char)c;
    return 1;
}

size_t tab_piece(unsigned char c, char *buf) {
    static constexpr std::string_view kNamed("\0\b\t\n\f\r", 6);
    static constexpr std::string_view kLetters("0btnfr", 6);
    if (c == '\\') {
        memcpy(buf, "\\\\", 2);
        return 2;
    }
    if (c < 0x20) {
        size_t i = kNamed.find((char)c);
        buf[0] = '\\';
        buf[1] = i == std::string_view::npos ? (char)c : kLetters[i];
        return 2;
    }
    buf[0] = (char)c;
    return 1;
}

template <size_t (*Piece)(unsigned char, char *)>
size_t escape_imp(const void *data, size_t len, char *out, size_t size) {
    const auto *p = static_cast<const unsigned char *>(data);
    char buf[8];
    if (!out) {
        size_t need = 1;
        for (size_t i = 0; i < len; i++) need += Piece(p[i], buf);
        return need;
    }
    out[0] = 0;
    piece_writer w{out, size};
    for (size_t i = 0; i < len && !w.failed; i++) w.put(buf, Piece(p[i], buf));
    return w.len;
}

template <size_t (*Piece)(unsigned char, char *)>
char *escape_dup(const char *text) {
    size_t len = text ? strlen(text) : 0;
    size_t need = escape_imp<Piece>(text, len, nullptr, 0);
    auto *out = static_cast<char *>(os_malloc(need));
    if (!out) return nullptr;
    out[0] = 0;
    escape_imp<Piece>(text, len, out, 0);
    return out;
}

// The readers' two failures: input that ends inside a character, and an
// invalid sequence.
int conv_incomplete() {
    errno = EINVAL;
    return 0;
}

int conv_invalid() {
    errno = EILSEQ;
    return -1;
}

// One code point read from in; its byte count, 0 with errno EINVAL when the
// input ends inside it, -1 with errno EILSEQ when it is invalid.
int utf8_get(const unsigned char *p, size_t left, uint32_t *cp) {
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
        if ((p[i] & 0xC0) != 0x80) return conv_invalid();
    if (have >= 2) {
        unsigned char b1 = p[1];
        bool bad = (b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xF0 && b1 < 0x90) || (b0 == 0xED && b1 >= 0xA0) ||
                   (b0 == 0xF4 && b1 >= 0x90);
        if (bad) return conv_invalid();
    }
    if (have < (size_t)n) return conv_incomplete();
    for (int i = 1; i < n; i++) v = (v << 6) | (p[i] & 0x3F);
    if (v == 0xFFFE || v == 0xFFFF) return conv_invalid();
    *cp = v;
    return n;
}

int utf16_get(const unsigned char *p, size_t left, uint32_t *cp) {
    if (left < 2) return conv_incomplete();
    uint16_t u;
    memcpy(&u, p, 2);
    if (u >= 0xDC00 && u <= 0xDFFF) return conv_invalid();
    if (u < 0xD800 || u > 0xDBFF) {
        *cp = u;
        return 2;
    }
    if (left < 4) return conv_incomplete();
    uint16_t lo;
    memcpy(&lo, p + 2, 2);
    if (lo < 0xDC00 || lo > 0xDFFF) return conv_invalid();
    *cp = 0x10000 + (((uint32_t)u - 0xD800) << 10) + ((uint32_t)lo - 0xDC00);
    return 4;
}

int utf32_get(const unsigned char *p, size_t left, uint32_t *cp) {
    if (left < 4) return conv_incomplete();
    uint32_t v;
    memcpy(&v, p, 4);
    if ((v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) return conv_invalid();
    *cp = v;
    return 4;
}

// The encoded form of cp in code `to` into buf (at least 4 bytes); its length.
size_t conv_put(int to, uint32_t cp, char *buf) {
    if (to == STR_CONV_UTF32) {
        memcpy(buf, &cp, 4);
        return 4;
    }
    if (to == STR_CONV_UTF8) return (size_t)utf8_put(buf, cp);
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
int conv_all(int from, int to, const void *in, size_t inlen, void *out, size_t size) {
    auto *ip = static_cast<const char *>(in);
    auto *op = static_cast<char *>(out);
    size_t outleft = size;
    int r = str_conv(from, to, &ip, &inlen, out ? &op : nullptr, out ? &outleft : nullptr);
    if (r < 0) return -1;
    if (inlen != 0) {
        errno = EINVAL;
        return -1;
    }
    return r;
}

bool none_of(const char *text, const char *set) { return !text || !strpbrk(text, set); }

}  // namespace

const char *const STR_NAME_INVALID_CHARS = ";/\\\"'?:@# ";
const char *const STR_KEY_INVALID_CHARS  = ";/\\\"'?:@# &=";

// ---- Base64 ----

int str_base64_encode_imp(const void *ib, size_t in, char *ob, size_t on, bool url) {
    PL_ASSERT_RET(ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in)), -1);
    const char *alpha = url ? kB64Url : kB64Std;
    char pad = url ? ',' : '=';
    const auto *p = static_cast<const unsigned char *>(ib);
    char *o = ob;
    size_t i = 0;
    for (; i + 3 <= in; i += 3) {
        uint32_t v = (uint32_t)p[i] << 16 | (uint32_t)p[i + 1] << 8 | p[i + 2];
        *o++ = alpha[v >> 18];
        *o++ = alpha[(v >> 12) & 63];
        *o++ = alpha[(v >> 6) & 63];
        *o++ = alpha[v & 63];
    }
    if (i < in) {
        uint32_t v = (uint32_t)p[i] << 16 | (i + 1 < in ? (uint32_t)p[i + 1] << 8 : 0);
        *o++ = alpha[v >> 18];
        *o++ = alpha[(v >> 12) & 63];
        *o++ = i + 1 < in ? alpha[(v >> 6) & 63] : pad;
        *o++ = pad;
    }
    *o = 0;
    return (int)(o - ob);
}

int str_base64_encode(const void *data, size_t len, char *out, size_t size) {
    return str_base64_encode_imp(data, len, out, size, false);
}

int str_base64_encode_url(const void *data, size_t len, char *out, size_t size) {
    return str_base64_encode_imp(data, len, out, size, true);
}

char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, bool url) {
    if (out && size) out[0] = 0;
    if (str_base64_encode_imp(text, text ? strlen(text) + 1 : 0, out, size, url) < 0) {
        char hid[32];
        if (out && size) out[0] = 0;
        ZLOG_ERR("str_base64_encode ib=[%s] failed", hidden_text(text, hid, sizeof(hid)));
        assert_dump_stack();
    }
    return out;
}

char *str_base64_encode_buf(const char *text, char *out, size_t size) {
    return str_base64_encode_buf_imp(text, out, size, false);
}

char *str_base64_encode_url_buf(const char *text, char *out, size_t size) {
    return str_base64_encode_buf_imp(text, out, size, true);
}

static char *base64_encode_dup(const void *data, size_t len, bool url) {
    if (len >= UINT32_MAX / 4) return nullptr;
    size_t need = PL_BASE64_ENCODE_LEN(len);
    auto *out = static_cast<char *>(os_zalloc(need));
    if (!out) return nullptr;
    if (str_base64_encode_imp(data, len, out, need, url) < 0) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_base64_encode_dup(const void *data, size_t len) { return base64_encode_dup(data, len, false); }
char *str_base64_encode_url_dup(const void *data, size_t len) { return base64_encode_dup(data, len, true); }

int str_base64_decode(const char *text, void *out, size_t size) {
    const char *ib = text;
    auto *ob = static_cast<unsigned char *>(out);
    PL_ASSERT_RET(ib && ob, -1);
    size_t n = 0;
    uint32_t prev = 0;
    int k = 0;
    for (const char *p = ib; *p && *p != ',' && *p != '='; p++) {
        int v = kB64Dec[(unsigned char)*p];
        if (v < 0) {
            ZLOG_ERR("invalid chr=0x%x [%c]", (unsigned char)*p, *p);
            assert_dump_stack();
            return -1;
        }
        int b = -1;
        if (k == 1) b = (int)((prev << 2) | ((uint32_t)v >> 4)) & 0xFF;
        if (k == 2) b = (int)((prev << 4) | ((uint32_t)v >> 2)) & 0xFF;
        if (k == 3) b = (int)((prev << 6) | (uint32_t)v) & 0xFF;
        if (b >= 0) {
            if (n >= size) return -1;
            ob[n++] = (unsigned char)b;
        }
        prev = (uint32_t)v;
        k = (k + 1) & 3;
    }
    return (int)n;
}

char *str_base64_decode_buf(const char *text, char *out, size_t size) {
    if (out && size) out[0] = 0;
    if (str_base64_decode(text, out, size) < 0) {
        char hid[32];
        if (out && size) out[0] = 0;
        ZLOG_ERR("str_base64_decode ib=[%s] failed", hidden_text(text, hid, sizeof(hid)));
        assert_dump_stack();
    }
    return out;
}

void *str_base64_decode_dup(const char *text, size_t *len) {
    if (!text) return nullptr;
    size_t size = strlen(text);
    auto *out = static_cast<char *>(os_zalloc(size + 1));
    if (!out) return nullptr;
    int n = str_base64_decode(text, out, size);
    if (n < 0) {
        os_free(out);
        return nullptr;
    }
    if (len) *len = (size_t)n;
    return out;
}

// ---- Hexadecimal ----

int str_bin_encode_hex(const void *data, int len, char *out, size_t size) {
    if (!data || len < -1) return -1;
    size_t n = len == -1 ? strlen(static_cast<const char *>(data)) : (size_t)len;
    if (n >= (size_t)INT32_MAX / 2) return -1;
    if (!out) return (int)(2 * n + 1);
    if (2 * n + 1 > size) {
        if (size) out[0] = 0;
        return -1;
    }
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = kHexLower[p[i] >> 4];
        out[2 * i + 1] = kHexLower[p[i] & 15];
    }
    out[2 * n] = 0;
    return (int)(2 * n);
}

char *str_hex_encode_dup(const char *text) {
    if (!text) return nullptr;
    int need = str_bin_encode_hex(text, -1, nullptr, 0);
    auto *out = static_cast<char *>(os_malloc((size_t)need));
    if (!out) return nullptr;
    str_bin_encode_hex(text, -1, out, (size_t)need);
    return out;
}

bool str_bin_to_hex(const void *data, size_t len, char *out, size_t size) {
    if (!out || !size) return false;
    if (len > (size_t)INT32_MAX / 2 || str_bin_encode_hex(data, (int)len, out, size) < 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

int str_hex_decode_bin(const char *hex, bool terminate, void *out, size_t size) {
    if (!hex) return -1;
    size_t len = strlen(hex);
    if (len % 2) return -1;
    for (size_t i = 0; i < len; i++)
        if (hexv(hex[i]) < 0) return -1;
    size_t need = len / 2 + (terminate ? 1 : 0);
    if (!out) return (int)need;
    if (need > size) return -1;
    auto *o = static_cast<unsigned char *>(out);
    for (size_t i = 0; i < len / 2; i++) o[i] = (unsigned char)(hexv(hex[2 * i]) << 4 | hexv(hex[2 * i + 1]));
    if (terminate) o[len / 2] = 0;
    return (int)(len / 2);
}

static void *hex_decode_alloc(const char *hex, bool terminate, size_t *len) {
    int need = str_hex_decode_bin(hex, terminate, nullptr, 0);
    if (need < 0) return nullptr;
    auto *out = static_cast<unsigned char *>(os_zalloc((size_t)need + 1));
    if (!out) return nullptr;
    int n = str_hex_decode_bin(hex, terminate, out, (size_t)need + 1);
    if (len) *len = (size_t)n;
    return out;
}

void *str_hex_decode_dup(const char *hex, size_t *len) { return hex_decode_alloc(hex, false, len); }

void *str_hex_decode_dup_ws(char *hex, size_t *len) {
    if (!hex) return nullptr;
    char *w = hex;
    for (char *r = hex; *r; r++)
        if (!strchr(" \t\r\n", *r)) *w++ = *r;
    *w = 0;
    return hex_decode_alloc(hex, false, len);
}

char *str_hex_decode_str(const char *hex) { return static_cast<char *>(hex_decode_alloc(hex, true, nullptr)); }

char *str_hex_decode_swap_digits(const char *hex, bool keep) {
    char *s = str_hex_decode_str(hex);
    if (!s) return nullptr;
    size_t n = strlen(s);
    if (n == 0 || n % 2) {
        os_free(s);
        return nullptr;
    }
    if (keep) return s;
    for (size_t i = 0; i < n; i += 2) {
        if (s[i] < '0' || s[i] > '9' || s[i + 1] < '0' || s[i + 1] > '9') {
            os_free(s);
            return nullptr;
        }
        std::swap(s[i], s[i + 1]);
    }
    return s;
}

int str_hex_pattern_decode(const char *text, uint8_t *bytes, char *mask) {
    if (!text) return -1;
    int n = 0;
    for (const char *p = text; *p;) {
        uint8_t b = 0;
        char m = '?';
        if (*p == '?') {
            p++;
        } else {
            int hi = hexv(p[0]);
            int lo = hi < 0 ? -1 : hexv(p[1]);
            if (lo < 0) return -1;
            b = (uint8_t)(hi << 4 | lo);
            m = '_';
            p += 2;
        }
        if (bytes) bytes[n] = b;
        if (mask) mask[n] = m;
        n++;
    }
    return n;
}

int str_hex_pattern_decode_dup(const char *text, uint8_t **bytes, int *count, char **mask) {
    if (!bytes || !count || !mask) return -1;
    *bytes = nullptr;
    *mask = nullptr;
    *count = 0;
    int n = str_hex_pattern_decode(text, nullptr, nullptr);
    if (n < 1) return n;
    *bytes = static_cast<uint8_t *>(os_malloc((size_t)n));
    *mask = static_cast<char *>(os_malloc((size_t)n + 1));
    if (!*bytes || !*mask) {
        os_free(*bytes);
        os_free(*mask);
        *bytes = nullptr;
        *mask = nullptr;
        return -1;
    }
    str_hex_pattern_decode(text, *bytes, *mask);
    (*mask)[n] = 0;
    *count = n;
    return n;
}

bool hex_decode_n(const char *text, size_t len, uint8_t *out, size_t max, size_t *count) {
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
    if (count) *count = n;
    return ok && i == len;
}

int hex_decode_sep(const char *text, size_t len, uint8_t *out, size_t size) {
    if (!text || !out || len < 2 || len / 3 >= size) return -1;
    size_t n = 0;
    for (size_t i = 0; i < len;) {
        if (text[i] && strchr(" -.:_", text[i])) {
            i++;
            continue;
        }
        if (i + 1 >= len) break;  // a last single character is ignored
        int hi = hexv(text[i]), lo = hexv(text[i + 1]);
        if (hi < 0 || lo < 0 || n >= size) return -1;
        out[n++] = (uint8_t)(hi << 4 | lo);
        i += 2;
    }
    return (int)n;
}

int str_hex_sep_decode(const char *text, const char *sep, uint8_t *out) {
    if (!text || !out) return 0;
    size_t seplen = sep ? strlen(sep) : 0;
    size_t n = 0;
    for (const char *p = text; *p;) {
        int hi = hexv(p[0]);
        int lo = hi < 0 ? -1 : hexv(p[1]);
        if (lo < 0) return 1;
        out[n++] = (uint8_t)(hi << 4 | lo);
        p += 2;
        if (!seplen || !*p) continue;
        if (strncmp(p, sep, seplen) != 0) return 1;
        p += seplen;
    }
    return 0;
}

bool hex_chr_val(uint8_t *val, char c) {
    int v = hexv(c);
    if (v < 0) return false;
    if (val) *val = (uint8_t)v;
    return true;
}

uint8_t hex_chr_value(char c) {
    int v = hexv(c);
    return v < 0 ? 255 : (uint8_t)v;
}

int hex_chr_val_tab(int c) { return c < 0 || c > 255 ? -1 : kHexDec[c]; }

// ---- Percent-encoding ----

size_t str_escape_uri_imp(char *out, const void *data, size_t len, int mode) {
    // An unknown mode encodes all but the unreserved set: the safest reading.
    const byte_set &set = kEscSets[mode >= 0 && mode <= 6 ? mode : STR_ESC_STRICT];
    const auto *p = static_cast<const unsigned char *>(data);
    if (!p) len = 0;
    if (!out) {
        size_t need = len + 1;
        for (size_t i = 0; i < len; i++)
            if (set[p[i]]) need += 2;
        return need;
    }
    char *o = out;
    for (size_t i = 0; i < len; i++) {
        if (set[p[i]]) {
            *o++ = '%';
            *o++ = kHexUpper[p[i] >> 4];
            *o++ = kHexUpper[p[i] & 15];
        } else {
            *o++ = (char)p[i];
        }
    }
    *o = 0;
    return (size_t)(o - out);
}

int str_escape_url_args(const char *text, char *out, size_t bsize) {
    if (!out || !bsize) return -1;
    out[0] = 0;
    size_t len = text ? strlen(text) : 0;
    size_t rlen = str_escape_uri_imp(nullptr, text, len, STR_ESC_ARGS);
    PL_ASSERT_RET(rlen<=bsize, -1);
    str_escape_uri_imp(out, text, len, STR_ESC_ARGS);
    return 0;
}

char *str_escape_url_args_dup(const char *text) {
    size_t len = text ? strlen(text) : 0;
    size_t need = str_escape_uri_imp(nullptr, text, len, STR_ESC_ARGS);
    auto *out = static_cast<char *>(os_zalloc(need));
    if (out) str_escape_uri_imp(out, text, len, STR_ESC_ARGS);
    return out;
}

void str_unescape_uri_imp(char **out, const char **in, size_t len, int mode) {
    char *o = *out;
    const char *i = *in;
    const char *end = i + len;
    int state = 0;  // 0 plain, 1 after "%", 2 after "%" and one digit
    int hi = 0;
    char first = 0;
    bool ended = false;
    while (i < end && !ended) {
        char c = *i++;
        if (state == 0) {
            if (c == '%') {
                state = 1;
                continue;
            }
            *o++ = c;
            ended = c == 0 || (c == '?' && (mode & (STR_UNESC_URI | STR_UNESC_REDIRECT)));
            continue;
        }
        if (state == 1) {
            hi = hexv(c);
            if (hi >= 0) {
                first = c;
                state = 2;
            } else {
                *o++ = c;  // the "%" is dropped
                ended = c == 0;
                state = 0;
            }
            continue;
        }
        state = 0;
        int lo = hexv(c);
        if (lo < 0) continue;  // the escape and this character are dropped
        auto b = (unsigned char)(hi << 4 | lo);
        if (b == '?' && (mode & (STR_UNESC_URI | STR_UNESC_REDIRECT))) {
            *o++ = '?';
            ended = true;
        } else if ((mode & STR_UNESC_REDIRECT) && !(b > '%' && b < 0x7F)) {
            *o++ = '%';
            *o++ = first;
            *o++ = c;
        } else {
            *o++ = (char)b;
        }
    }
    if (!(ended && o[-1] == 0)) *o++ = 0;
    *out = o - 1;
    *in = i;
}

static int unescape_uri_mode(const char *text, char *out, size_t bsize, int mode) {
    if (!out || !bsize) return -1;
    out[0] = 0;
    if (!text) return 0;
    size_t len = strlen(text) + 1;
    PL_ASSERT_RET(len<=bsize, -1);
    char *o = out;
    str_unescape_uri_imp(&o, &text, len, mode);
    return 0;
}

int str_unescape_uri(const char *text, char *out, size_t size) {
    return unescape_uri_mode(text, out, size, STR_UNESC_URI);
}

int str_unescape_url_args(const char *text, char *out, size_t size) {
    return unescape_uri_mode(text, out, size, STR_UNESC_ARGS);
}

// ---- JSON, tab-text and CSV ----

size_t str_escape_json_imp(const void *data, size_t len, char *out, size_t size) {
    return escape_imp<json_piece>(data, len, out, size);
}

char *str_escape_json(const char *text, char *dst, size_t size) {
    PL_ASSERT_RET(dst!=NULL, dst);
    if (!size) return dst;  // size 0 would mean "unbounded" to the writer
    dst[0] = 0;
    if (text && *text) str_escape_json_imp(text, strlen(text), dst, size);
    return dst;
}

char *str_escape_json_dup(const char *text) { return escape_dup<json_piece>(text); }

size_t str_escape_tab_imp(const void *data, size_t len, char *out, size_t size) {
    return escape_imp<tab_piece>(data, len, out, size);
}

char *str_escape_tab_buf(const char *text, char *dst, size_t size) {
    PL_ASSERT_RET(dst!=NULL, dst);
    if (!size) return dst;
    dst[0] = 0;
    if (text && *text) str_escape_tab_imp(text, strlen(text), dst, size);
    return dst;
}

char *str_escape_tab_dup(const char *text) { return escape_dup<tab_piece>(text); }

char *str_escape_tab_zz_buf(const char *list, size_t bound, char *out, size_t size) {
    if (!out || !size) return out;
    out[0] = 0;
    // The empty list is its one NUL: nothing after it may be read.
    int end = list && list[0] ? str_zz_len(list, bound) : 0;
    if (end < 0) {
        ZLOG_ERR("[%s] error: not zz end", list);
        assert_dump_stack();
        end = 0;
    }
    if (end == 0) {  // the empty list: its one NUL stands for both
        str_safecopy(out, size, "\\0\\0");
        return out;
    }
    str_escape_tab_imp(list, (size_t)end + 2, out, size);
    return out;
}

// Double quotes around an escaped CSV field that holds a comma.
static void str_csv_quote(char *text, size_t size) {
    size_t n = strlen(text);
    if (!strchr(text, ',') || text[0] == '"' || n + 3 > size) return;
    memmove(text + 1, text, n);
    text[0] = '"';
    text[n + 1] = '"';
    text[n + 2] = 0;
}

char *str_escape_csv(const char *text, char *out, size_t dsize) {
    if (!out || !dsize) return out;
    out[0] = 0;
    size_t len = text ? strlen(text) : 0;
    size_t nsize = str_escape_json_imp(text, len, nullptr, 0);
    PL_ASSERT_RET(dsize >= (nsize + 2), out);
    str_escape_json_imp(text, len, out, dsize);
    str_csv_quote(out, dsize);
    return out;
}

char *str_escape_csv_dup(const char *text) {
    size_t len = text ? strlen(text) : 0;
    size_t nsize = str_escape_json_imp(text, len, nullptr, 0) + 2;
    auto *out = static_cast<char *>(os_zalloc(nsize));
    if (out) str_escape_csv(text, out, nsize);
    return out;
}

// ---- Backslash escapes ----

int str_unescape_get_chr(const char **pos) {
    const char *p = *pos;
    if (!*p) return -1;
    if (*p != '\\') {
        *pos = p + 1;
        return (unsigned char)*p;
    }
    p++;
    unsigned char c = (unsigned char)*p;
    if (!c) {
        ZLOG_ERR("unknown escape sequence: '\\x%x'", 0);
        assert_dump_stack();
        *pos = p;
        return -1;
    }
    p++;
    int v;
    switch (c) {
    case 'a': v = 7; break;
    case 'b': v = 8; break;
    case 'e': v = 27; break;
    case 'f': v = 12; break;
    case 'n': v = 10; break;
    case 'r': v = 13; break;
    case 't': v = 9; break;
    case 'v': v = 11; break;
    case '\\': case '"': case '\'': case '?': v = c; break;
    case 'x': case 'u': case 'U': {
        uint32_t acc = 0;
        while (hexv(*p) >= 0) acc = acc << 4 | (uint32_t)hexv(*p++);
        v = (int)(acc & 0x7FFFFFFF);
        break;
    }
    default:
        if (c >= '0' && c <= '7') {
            v = c - '0';
            for (int k = 0; k < 2 && *p >= '0' && *p <= '7'; k++) v = v * 8 + (*p++ - '0');
            break;
        }
        if (c >= 0x20 && c < 0x7F)
            ZLOG_ERR("unknown escape sequence: '\\%c'\n", c);
        else
            ZLOG_ERR("unknown escape sequence: '\\x%x'", c);
        assert_dump_stack();
        v = c;
        break;
    }
    *pos = p;
    return v;
}

char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len) {
    if (len) *len = 1;
    if (!out || !size) return out;
    out[0] = 0;
    if (!text) return out;
    size_t n = 0;
    const char *p = text;
    for (int c; (c = str_unescape_get_chr(&p)) >= 0;) {
        if (n + 1 >= size) {
            out[0] = 0;
            ZLOG_ERR("blen=%d error: too small", (int)size);
            assert_dump_stack();
            return out;
        }
        out[n++] = (char)c;
    }
    out[n] = 0;
    if (len) *len = (int)(n + 1);
    return out;
}

char *str_unescape_cstr_dyn(const char *text, int *len) {
    if (len) *len = 1;
    if (!text) return nullptr;
    size_t size = strlen(text) + 1;  // decoding never lengthens a text
    auto *out = static_cast<char *>(os_malloc(size));
    if (!out) return nullptr;
    int n = 1;
    str_unescape_cstr_buf(text, out, size, &n);
    if (len) *len = n;
    if (n <= 1) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_unescape_cstr_inplace(char *text, int *len) {
    if (len) *len = 1;
    if (!text) return text;
    size_t size = strlen(text) + 1;
    char stack_buf[8192];
    char *tmp = size <= sizeof(stack_buf) ? stack_buf : static_cast<char *>(os_malloc(size));
    if (!tmp) return text;
    int n = 1;
    str_unescape_cstr_buf(text, tmp, size, &n);
    memcpy(text, tmp, (size_t)n);
    if (tmp != stack_buf) os_free(tmp);
    if (len) *len = n;
    return text;
}

char *str_unescape_cstr_unquote_dup(const char *text) {
    char *s = str_unescape_cstr_dyn(text, nullptr);
    if (!s) return nullptr;
    size_t n = strlen(s);
    if (n >= 2 && s[0] == '"' && s[n - 1] == '"') {
        memmove(s, s + 1, n - 2);
        s[n - 2] = 0;
    }
    return s;
}

int str_cescape_get_chr(const char **pos) {
    const char *p = *pos;
    if (*p >= '0' && *p <= '7') {
        int v = 0, k = 0;
        for (; k < 3 && p[k] >= '0' && p[k] <= '7'; k++) {
            int nv = v * 8 + (p[k] - '0');
            if (nv > 255) break;  // three digits beyond a byte: the first two
            v = nv;
        }
        *pos = p + k;
        return v;
    }
    static constexpr std::string_view kFrom = "abfnrtv\\";
    static constexpr char kTo[] = {7, 8, 12, 10, 13, 9, 11, '\\'};
    size_t i = *p ? kFrom.find(*p) : std::string_view::npos;
    if (i == std::string_view::npos) return '\\';
    *pos = p + 1;
    return kTo[i];
}

// ---- Unicode ----

int str_conv(int from, int to, const char **in, size_t *inleft, char **out, size_t *outleft) {
    if (!in || !*in || !inleft || !*inleft) return 0;
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
    int total = 0;
    while (*inleft) {
        uint32_t cp = 0;
        int used = get(reinterpret_cast<const unsigned char *>(*in), *inleft, &cp);
        if (used < 0) return -1;
        if (used == 0) return total;  // input ends inside a character: errno EINVAL
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

int utf8_put(char *out, uint32_t cp) {
    char buf[4];
    int n;
    if (cp < 0x80) {
        buf[0] = (char)cp;
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = (char)(0xC0 | cp >> 6);
        buf[1] = (char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = (char)(0xE0 | cp >> 12);
        buf[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = (char)(0x80 | (cp & 0x3F));
        n = 3;
    } else if (cp <= 0x10FFFF) {
        buf[0] = (char)(0xF0 | cp >> 18);
        buf[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = (char)(0x80 | (cp & 0x3F));
        n = 4;
    } else {
        buf[0] = '?';
        n = 1;
    }
    if (out) memcpy(out, buf, (size_t)n);
    return n;
}

char *str_w2u8_n(const uint16_t *wide, char *out, size_t size) {
    if (!wide || !out) return nullptr;
    return conv_all(STR_CONV_UTF16, STR_CONV_UTF8, wide, (wstrlen16(wide) + 1) * 2, out, size) < 0 ? nullptr
                                                                                                  : out;
}

char *str_w2u8_buf(const uint16_t *wide, char *out, size_t size) {
    if (!out || !size) return out;
    out[0] = 0;
    if (!str_w2u8_n(wide, out, size)) out[0] = 0;
    return out;
}

int str_w2u8_len(const uint16_t *wide) {
    if (!wide) return -1;
    return conv_all(STR_CONV_UTF16, STR_CONV_UTF8, wide, (wstrlen16(wide) + 1) * 2, nullptr, 0);
}

bool str_w2u8_size(char *out, size_t *size, const uint16_t *wide) {
    if (!size || !wide) return false;
    if (out) return str_w2u8_n(wide, out, *size) != nullptr;
    int n = str_w2u8_len(wide);
    if (n < 0) return false;
    *size = (size_t)n;
    return true;
}

uint16_t *str_u82w_n(const char *text, uint16_t *out, size_t size) {
    if (!text || !out) return nullptr;
    return conv_all(STR_CONV_UTF8, STR_CONV_UTF16, text, strlen(text) + 1, out, size) < 0 ? nullptr : out;
}

uint16_t *str_u82w_buf(const char *text, uint16_t *out, size_t size) {
    if (!out || size < 2) return out;
    out[0] = 0;
    if (!str_u82w_n(text, out, size)) out[0] = 0;
    return out;
}

int str_u82w_len(const char *text) {
    if (!text) return -1;
    return conv_all(STR_CONV_UTF8, STR_CONV_UTF16, text, strlen(text) + 1, nullptr, 0);
}

size_t wstrlen16(const uint16_t *wide) {
    size_t n = 0;
    while (wide && wide[n]) n++;
    return n;
}

uint16_t *wstrcpy16(uint16_t *dst, const uint16_t *src) {
    size_t n = wstrlen16(src);
    memmove(dst, src, n * 2);
    dst[n] = 0;
    return dst;
}

uint16_t *wstrcat16(uint16_t *dst, const uint16_t *src) {
    wstrcpy16(dst + wstrlen16(dst), src);
    return dst;
}

// ---- Validity tests ----

bool str_is_digits(const char *text) {
    if (!text) return false;
    for (; *text; text++)
        if (*text < '0' || *text > '9') return false;
    return true;
}

bool str_has_multi_colon(const char *text) {
    const char *c = text ? strchr(text, ':') : nullptr;
    return c && strchr(c + 1, ':');
}

bool str_name_is_valid(const char *text) { return none_of(text, STR_NAME_INVALID_CHARS); }
bool str_key_is_valid(const char *text) { return none_of(text, STR_KEY_INVALID_CHARS); }
bool str_val_is_valid(const char *text) { return none_of(text, "&"); }

bool str_name_check(const char *text, int mode, char *reason) {
    struct rule {
        int         bit;
        const char *set;
    };
    static constexpr rule kRules[] = {{2, ";/\\\"'?:@# "}, {4, "&="}, {8, "&"}, {16, "[]"}};
    if (reason) reason[0] = 0;
    if ((mode & 1) && (!text || !*text)) {
        if (reason) str_safecopy(reason, 4096, "Can't be empty");
        return false;
    }
    for (const rule &r : kRules) {
        if ((mode & r.bit) && !none_of(text, r.set)) {
            if (reason) str_sprintf_s(reason, 4096, "Can't Contain [%s]", r.set);
            return false;
        }
    }
    return true;
}

char *str_replace_chr_quoted(char *text, char quote, char from, char to) {
    bool inside = false;
    for (char *p = text; p && *p; p++) {
        if (*p == quote)
            inside = !inside;
        else if (inside && *p == from)
            *p = to;
    }
    return text;
}

char *str_cut_first_arg(char *text) {
    if (!text) return nullptr;
    char *cut = text[0] == '"' ? strchr(text + 1, '"') : strchr(text, ' ');
    if (!cut) return nullptr;
    if (text[0] == '"') {
        cut++;
        if (!*cut) return nullptr;
    }
    *cut = 0;
    return cut;
}
