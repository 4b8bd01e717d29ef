// Percent-encoding and decoding.
#include "libpal/string/str_uri.h"

#include <array>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_hex.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

int hexv(char c)
{
    return hex_chr_val_tab(static_cast<unsigned char>(c));
}

// One 256-bit set per percent-encoding mode: the bytes written as %XX.
using byte_set = std::array<bool, 256>;
constexpr byte_set make_esc_set(int mode)
{
    byte_set s{};
    for (int c = 0; c < 256; c++) {
        bool ctl  = c <= 0x20;
        bool high = c >= 0x7F;
        switch (mode) {
        case 0:
            s[c] = ctl || high || c == '#' || c == '%' || c == '?';
            break;
        case 1:
            s[c] = ctl || high || c == '#' || c == '%' || c == '&' || c == '+' || c == ';' || c == '=' || c == '?';
            break;
        case 2:
            s[c] = !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~');
            break;
        case 3:
            s[c] = ctl || high || c == '"' || c == '#' || c == '%' || c == '\'';
            break;
        case 4:
            s[c] = ctl || high || c == '"' || c == '\'';
            break;
        default:
            s[c] = ctl || c == '%';
            break;
        }
    }
    return s;
}
constexpr std::array<byte_set, 7> kEscSets = {make_esc_set(0), make_esc_set(1), make_esc_set(2), make_esc_set(3),
                                              make_esc_set(4), make_esc_set(5), make_esc_set(6)};

int unescape_uri_mode(const char *text, char *out, size_t bsize, int mode)
{
    if (!out || !bsize)
        return -1;
    out[0] = 0;
    if (!text)
        return 0;
    size_t len = strlen(text) + 1;
    PL_ASSERT_RET(len<=bsize, -1);
    char *o = out;
    str_unescape_uri_imp(&o, &text, len, mode);
    return 0;
}

}  // namespace

size_t str_escape_uri_imp(char *out, const void *data, size_t len, int mode)
{
    // An unknown mode encodes all but the unreserved set: the safest reading.
    const byte_set &set = kEscSets[mode >= 0 && mode <= 6 ? mode : STR_ESC_STRICT];
    const auto *p       = static_cast<const unsigned char *>(data);
    if (!p)
        len = 0;
    if (!out) {
        size_t need = len + 1;
        for (size_t i = 0; i < len; i++)
            if (set[p[i]])
                need += 2;
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

int str_escape_url_args(const char *text, char *out, size_t bsize)
{
    if (!out || !bsize)
        return -1;
    out[0]      = 0;
    size_t len  = text ? strlen(text) : 0;
    size_t rlen = str_escape_uri_imp(nullptr, text, len, STR_ESC_ARGS);
    PL_ASSERT_RET(rlen<=bsize, -1);
    str_escape_uri_imp(out, text, len, STR_ESC_ARGS);
    return 0;
}

char *str_escape_url_args_dup(const char *text)
{
    size_t len  = text ? strlen(text) : 0;
    size_t need = str_escape_uri_imp(nullptr, text, len, STR_ESC_ARGS);
    auto *out   = static_cast<char *>(os_zalloc(need));
    if (out)
        str_escape_uri_imp(out, text, len, STR_ESC_ARGS);
    return out;
}

void str_unescape_uri_imp(char **out, const char **in, size_t len, int mode)
{
    char *o         = *out;
    const char *i   = *in;
    const char *end = i + len;
    int state       = 0;  // 0 plain, 1 after "%", 2 after "%" and one digit
    int hi          = 0;
    char first      = 0;
    bool ended      = false;
    while (i < end && !ended) {
        char c = *i++;
        if (state == 0) {
            if (c == '%') {
                state = 1;
                continue;
            }
            *o++  = c;
            ended = c == 0 || (c == '?' && (mode & (STR_UNESC_URI | STR_UNESC_REDIRECT)));
            continue;
        }
        if (state == 1) {
            hi = hexv(c);
            if (hi >= 0) {
                first = c;
                state = 2;
            } else {
                *o++  = c;  // the "%" is dropped
                ended = c == 0;
                state = 0;
            }
            continue;
        }
        state  = 0;
        int lo = hexv(c);
        if (lo < 0)
            continue;  // the escape and this character are dropped
        auto b = (unsigned char)(hi << 4 | lo);
        if (b == '?' && (mode & (STR_UNESC_URI | STR_UNESC_REDIRECT))) {
            *o++  = '?';
            ended = true;
        } else if ((mode & STR_UNESC_REDIRECT) && !(b > '%' && b < 0x7F)) {
            *o++ = '%';
            *o++ = first;
            *o++ = c;
        } else {
            *o++ = (char)b;
        }
    }
    if (!(ended && o[-1] == 0))
        *o++ = 0;
    *out = o - 1;
    *in  = i;
}

int str_unescape_uri(const char *text, char *out, size_t size)
{
    return unescape_uri_mode(text, out, size, STR_UNESC_URI);
}

int str_unescape_url_args(const char *text, char *out, size_t size)
{
    return unescape_uri_mode(text, out, size, STR_UNESC_ARGS);
}
