// JSON, tab-text and CSV escaping; C backslash escapes.
#include "libpal/string/str_escape.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

int hexv(char c)
{
    return hex_chr_val_tab(static_cast<unsigned char>(c));
}

// Appends escaped pieces to (out, size); size 0 writes without a bound (the
// caller measured the output). On overflow the strict concatenation reports
// and empties out, and nothing more is written.
struct piece_writer {
    char *out;
    size_t size;
    size_t len  = 0;
    bool failed = false;

    void put(const char *piece, size_t n)
    {
        if (failed)
            return;
        if (size && len + n + 1 > size) {
            char tmp[8];
            memcpy(tmp, piece, n);
            tmp[n] = 0;
            str_safecat(out, size, tmp);
            out[0] = 0;
            failed = true;
            len    = 0;
            return;
        }
        memcpy(out + len, piece, n);
        len += n;
        out[len] = 0;
    }
};

// One JSON escape of byte c into buf; its length.
size_t json_piece(unsigned char c, char *buf)
{
    // The bytes JSON names with one letter after the backslash.
    static constexpr std::string_view kNamed("\b\t\n\f\r\\\"", 7);
    static constexpr std::string_view kLetters("btnfr\\\"", 7);
    if (const size_t i = kNamed.find(static_cast<char>(c)); i != std::string_view::npos) {
        buf[0] = '\\';
        buf[1] = kLetters[i];
        return 2;
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

size_t tab_piece(unsigned char c, char *buf)
{
    static constexpr std::string_view kNamed("\0\b\t\n\f\r", 6);
    static constexpr std::string_view kLetters("0btnfr", 6);
    if (c == '\\') {
        memcpy(buf, "\\\\", 2);
        return 2;
    }
    if (c < 0x20) {
        size_t i = kNamed.find((char)c);
        buf[0]   = '\\';
        buf[1]   = i == std::string_view::npos ? (char)c : kLetters[i];
        return 2;
    }
    buf[0] = (char)c;
    return 1;
}

template <size_t (*Piece)(unsigned char, char *)>
size_t escape_imp(const void *data, size_t len, char *out, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    char buf[8];
    if (!out) {
        size_t need = 1;
        for (size_t i = 0; i < len; i++)
            need += Piece(p[i], buf);
        return need;
    }
    out[0] = 0;
    piece_writer w{out, size};
    for (size_t i = 0; i < len && !w.failed; i++)
        w.put(buf, Piece(p[i], buf));
    return w.len;
}

template <size_t (*Piece)(unsigned char, char *)>
char *escape_dup(const char *text)
{
    size_t len  = text ? strlen(text) : 0;
    size_t need = escape_imp<Piece>(text, len, nullptr, 0);
    auto *out   = static_cast<char *>(os_malloc(need));
    if (!out)
        return nullptr;
    out[0] = 0;
    escape_imp<Piece>(text, len, out, 0);
    return out;
}

// The length of the well-formed UTF-8 character of two or more bytes at p
// (left bytes at most), or 0. Overlong forms, surrogates and code points above
// U+10FFFF are not well formed.
size_t utf8_char_len(const unsigned char *p, size_t left)
{
    const unsigned char c = p[0];
    size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        lo = c == 0xe0 ? 0xa0 : 0x80;
        hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        lo = c == 0xf0 ? 0x90 : 0x80;
        hi = c == 0xf4 ? 0x8f : 0xbf;
    }
    if (n == 0 || n > left || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++) {
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    }
    // C1 controls (C2 80 to C2 9F): some terminals act on them as on ESC.
    if (c == 0xc2 && p[1] < 0xa0)
        return 0;
    return n;
}

// Double quotes around an escaped CSV field that holds a comma.
void str_csv_quote(char *text, size_t size)
{
    size_t n = strlen(text);
    if (!strchr(text, ',') || text[0] == '"' || n + 3 > size)
        return;
    memmove(text + 1, text, n);
    text[0]     = '"';
    text[n + 1] = '"';
    text[n + 2] = 0;
}

}  // namespace

size_t str_escape_json_imp(const void *data, size_t len, char *out, size_t size)
{
    return escape_imp<json_piece>(data, len, out, size);
}

char *str_escape_json(const char *text, char *dst, size_t size)
{
    PL_ASSERT_RET(dst!=NULL, dst);
    if (!size)
        return dst;  // size 0 would mean "unbounded" to the writer
    dst[0] = 0;
    if (text && *text)
        str_escape_json_imp(text, strlen(text), dst, size);
    return dst;
}

char *str_escape_json_dup(const char *text)
{
    return escape_dup<json_piece>(text);
}

size_t str_escape_tab_imp(const void *data, size_t len, char *out, size_t size)
{
    return escape_imp<tab_piece>(data, len, out, size);
}

char *str_escape_tab_buf(const char *text, char *dst, size_t size)
{
    PL_ASSERT_RET(dst!=NULL, dst);
    if (!size)
        return dst;
    dst[0] = 0;
    if (text && *text)
        str_escape_tab_imp(text, strlen(text), dst, size);
    return dst;
}

char *str_escape_tab_dup(const char *text)
{
    return escape_dup<tab_piece>(text);
}

char *str_escape_tab_zz_buf(const char *list, size_t bound, char *out, size_t size)
{
    if (!out || !size)
        return out;
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

char *str_escape_csv(const char *text, char *out, size_t dsize)
{
    if (!out || !dsize)
        return out;
    out[0]       = 0;
    size_t len   = text ? strlen(text) : 0;
    size_t nsize = str_escape_json_imp(text, len, nullptr, 0);
    PL_ASSERT_RET(dsize >= (nsize + 2), out);
    str_escape_json_imp(text, len, out, dsize);
    str_csv_quote(out, dsize);
    return out;
}

char *str_escape_csv_dup(const char *text)
{
    size_t len   = text ? strlen(text) : 0;
    size_t nsize = str_escape_json_imp(text, len, nullptr, 0) + 2;
    auto *out    = static_cast<char *>(os_zalloc(nsize));
    if (out)
        str_escape_csv(text, out, nsize);
    return out;
}

size_t str_escape_log_imp(const void *data, size_t len, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return 0;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t at = 0;
    for (size_t i = 0; i < len;) {
        const unsigned char c = p[i];
        size_t n = c >= 0x20 && c < 0x7f ? 1 : c >= 0x80 ? utf8_char_len(p + i, len - i) : 0;
        if (n > 0) {
            if (at + n >= size)
                break;
            memcpy(out + at, p + i, n);
            at += n;
            i += n;
            continue;
        }
        if (at + 4 >= size)
            break;
        out[at++] = '\\';
        out[at++] = 'x';
        out[at++] = "0123456789abcdef"[c >> 4];
        out[at++] = "0123456789abcdef"[c & 15];
        i++;
    }
    out[at] = 0;
    return at;
}

const char *str_escape_log(const char *text, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return "";
    str_escape_log_imp(text != nullptr ? text : "", text != nullptr ? strlen(text) : 0, out, size);
    return out;
}

// ---- Backslash escapes ----

int str_unescape_get_chr(const char **pos)
{
    const char *p = *pos;
    if (!*p)
        return -1;
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
    case 'a':
        v = 7;
        break;
    case 'b':
        v = 8;
        break;
    case 'e':
        v = 27;
        break;
    case 'f':
        v = 12;
        break;
    case 'n':
        v = 10;
        break;
    case 'r':
        v = 13;
        break;
    case 't':
        v = 9;
        break;
    case 'v':
        v = 11;
        break;
    case '\\':
    case '"':
    case '\'':
    case '?':
        v = c;
        break;
    case 'x':
    case 'u':
    case 'U': {
        // \u and \U take at most 4 and 8 digits, as in C and JSON, so that a
        // letter after "\u001F" stays a letter; \x takes every digit.
        const int max = c == 'u' ? 4 : c == 'U' ? 8 : INT32_MAX;
        uint32_t acc  = 0;
        for (int k = 0; k < max && hexv(*p) >= 0; k++)
            acc = acc << 4 | (uint32_t)hexv(*p++);
        v = (int)(acc & 0x7FFFFFFF);
        break;
    }
    default:
        if (c >= '0' && c <= '7') {
            v = c - '0';
            for (int k = 0; k < 2 && *p >= '0' && *p <= '7'; k++)
                v = v * 8 + (*p++ - '0');
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

char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len)
{
    if (len)
        *len = 1;
    if (!out || !size)
        return out;
    out[0] = 0;
    if (!text)
        return out;
    size_t n      = 0;
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
    if (len)
        *len = (int)(n + 1);
    return out;
}

char *str_unescape_cstr_dyn(const char *text, int *len)
{
    if (len)
        *len = 1;
    if (!text)
        return nullptr;
    size_t size = strlen(text) + 1;  // decoding never lengthens a text
    auto *out   = static_cast<char *>(os_malloc(size));
    if (!out)
        return nullptr;
    int n = 1;
    str_unescape_cstr_buf(text, out, size, &n);
    if (len)
        *len = n;
    if (n <= 1) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_unescape_cstr_inplace(char *text, int *len)
{
    if (len)
        *len = 1;
    if (!text)
        return text;
    size_t size = strlen(text) + 1;
    char stack_buf[8192];
    char *tmp = size <= sizeof(stack_buf) ? stack_buf : static_cast<char *>(os_malloc(size));
    if (!tmp)
        return text;
    int n = 1;
    str_unescape_cstr_buf(text, tmp, size, &n);
    memcpy(text, tmp, (size_t)n);
    if (tmp != stack_buf)
        os_free(tmp);
    if (len)
        *len = n;
    return text;
}

char *str_unescape_cstr_unquote_dup(const char *text)
{
    char *s = str_unescape_cstr_dyn(text, nullptr);
    if (!s)
        return nullptr;
    size_t n = strlen(s);
    if (n >= 2 && s[0] == '"' && s[n - 1] == '"') {
        memmove(s, s + 1, n - 2);
        s[n - 2] = 0;
    }
    return s;
}

int str_cescape_get_chr(const char **pos)
{
    const char *p = *pos;
    if (*p >= '0' && *p <= '7') {
        int v = 0, k = 0;
        for (; k < 3 && p[k] >= '0' && p[k] <= '7'; k++) {
            int nv = v * 8 + (p[k] - '0');
            if (nv > 255)
                break;  // three digits beyond a byte: the first two
            v = nv;
        }
        *pos = p + k;
        return v;
    }
    static constexpr std::string_view kFrom = "abfnrtv\\";
    static constexpr char kTo[]             = {7, 8, 12, 10, 13, 9, 11, '\\'};
    size_t i                                = *p ? kFrom.find(*p) : std::string_view::npos;
    if (i == std::string_view::npos)
        return '\\';
    *pos = p + 1;
    return kTo[i];
}
