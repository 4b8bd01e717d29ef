// Text encodings: base64 (standard and URL-safe), hexadecimal, percent-
// encoding of URL parts, JSON / tab-text / CSV / backslash escapes, UTF-8,
// UTF-16 and UTF-32 conversion, and the validity tests that URL and
// configuration code apply to names, keys and values. Bounded forms never
// write past their size; reports go to the log at err level (tag "pal");
// _dup results come from os_malloc and are freed with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the base64 text of n bytes, NUL included.
#define PL_BASE64_ENCODE_LEN(n) ((((size_t)(n) + 2) / 3) * 4 + 1)

// Base64. The URL-safe alphabet ends in "-_" and pads with ",".
// The output length, or -1 (missing data or out, too much data, out too small).
int   str_base64_encode_imp(const void *ib, size_t in, char *ob, size_t on, bool url);
int   str_base64_encode(const void *data, size_t len, char *out, size_t size);
int   str_base64_encode_url(const void *data, size_t len, char *out, size_t size);
// Encodes text and its terminating NUL, so that a decoder gets the NUL back;
// out stays empty on failure.
char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, bool url);
char *str_base64_encode_buf(const char *text, char *out, size_t size);
char *str_base64_encode_url_buf(const char *text, char *out, size_t size);
char *str_base64_encode_dup(const void *data, size_t len);
char *str_base64_encode_url_dup(const void *data, size_t len);
// Decodes either alphabet up to the NUL or the first padding character;
// the number of bytes written, or -1.
int   str_base64_decode(const char *text, void *out, size_t size);
// out emptied first; the bytes are not NUL-terminated by this call.
char *str_base64_decode_buf(const char *text, char *out, size_t size);
void *str_base64_decode_dup(const char *text, size_t *len);

// Hexadecimal (written lower-case, read in either case).
// len -1: data is a NUL-terminated text. Without out: 2*len+1; with out:
// 2*len, or -1 when that does not fit in size.
int   str_bin_encode_hex(const void *data, int len, char *out, size_t size);
char *str_hex_encode_dup(const char *text);
// false with out emptied when 2*len+1 exceeds size.
bool  str_bin_to_hex(const void *data, size_t len, char *out, size_t size);
// The number of bytes (without out: the size needed, +1 with terminate), or -1.
int   str_hex_decode_bin(const char *hex, bool terminate, void *out, size_t size);
void *str_hex_decode_dup(const char *hex, size_t *len);
// Removes blanks, tabs, CR and LF from hex itself first.
void *str_hex_decode_dup_ws(char *hex, size_t *len);
char *str_hex_decode_str(const char *hex);
// The decoded text with each pair of decimal digits swapped ('1234' -> '2143'),
// or unchanged with keep; nullptr for an empty, odd-length or non-digit result.
char *str_hex_decode_swap_digits(const char *hex, bool keep);
// Pairs of hex digits (mask '_') or "?" (any byte, mask '?'); the number of
// pattern bytes, or -1. Without outputs it only counts.
int   str_hex_pattern_decode(const char *text, uint8_t *bytes, char *mask);
// Allocates bytes[count] and mask[count + 1] (NUL-terminated); the count,
// below 1 as the count pass gave it, or -1 when memory runs out.
int   str_hex_pattern_decode_dup(const char *text, uint8_t **bytes, int *count, char **mask);
// true when the whole text was consumed in pairs.
bool  hex_decode_n(const char *text, size_t len, uint8_t *out, size_t max, size_t *count);
// Skips " -.:_" between pairs; the number of bytes, or -1.
int   hex_decode_sep(const char *text, size_t len, uint8_t *out, size_t size);
// 0 when the whole text was decoded, 1 when it stopped early.
// Requires: out holds strlen(text) / 2 bytes.
int   str_hex_sep_decode(const char *text, const char *sep, uint8_t *out);
bool  hex_chr_val(uint8_t *val, char c);
uint8_t hex_chr_value(char c);     // 255 for a non-digit
int   hex_chr_val_tab(int c);      // -1 for a non-digit

// Percent-encoding. Modes of str_escape_uri_imp: 0 URI, 1 query arguments,
// 2 all but the RFC 3986 unreserved set, 3 and 4 quote-safe, 5 and 6 only
// controls, blank and "%".
enum : int {
    STR_ESC_URI      = 0,
    STR_ESC_ARGS     = 1,
    STR_ESC_STRICT   = 2,
    STR_ESC_QUOTES   = 3,
    STR_ESC_QUOTES2  = 4,
    STR_ESC_CTRL     = 5,
    STR_ESC_CTRL2    = 6,
};
// Decoding modes of str_unescape_uri_imp.
enum : int {
    STR_UNESC_URI      = 1,
    STR_UNESC_ARGS     = 2,
    STR_UNESC_REDIRECT = 4,
};
// Without out: the size needed (NUL included). With out: writes the encoded
// text with its NUL and returns its length.
size_t str_escape_uri_imp(char *out, const void *data, size_t len, int mode);
// 0, or -1 (out empty) when the encoded text does not fit.
int    str_escape_url_args(const char *text, char *out, size_t size);
char  *str_escape_url_args_dup(const char *text);
// 0, or -1 when the text with its NUL is longer than size.
int    str_unescape_uri(const char *text, char *out, size_t size);
int    str_unescape_url_args(const char *text, char *out, size_t size);
// Decodes len input bytes (normally the text with its NUL); advances both
// positions; the output always ends with a NUL.
// Requires: the output holds len bytes.
void   str_unescape_uri_imp(char **out, const char **in, size_t len, int mode);

// JSON, tab-text and CSV escaping. The _imp forms: without out, the size
// needed; with out, the length written (0 with out empty when it did not fit;
// size 0 means the caller measured out).
size_t str_escape_json_imp(const void *data, size_t len, char *out, size_t size);
char  *str_escape_json(const char *text, char *out, size_t size);
char  *str_escape_json_dup(const char *text);
size_t str_escape_tab_imp(const void *data, size_t len, char *out, size_t size);
char  *str_escape_tab_buf(const char *text, char *out, size_t size);
char  *str_escape_tab_dup(const char *text);
// A double-NUL list with its two final NULs, tab-escaped; bound 0 is 65536.
char  *str_escape_tab_zz_buf(const char *list, size_t bound, char *out, size_t size);
// JSON escaping, double-quoted when the text holds a comma and does not begin
// with a double quote.
char  *str_escape_csv(const char *text, char *out, size_t size);
char  *str_escape_csv_dup(const char *text);

// Backslash escapes (C forms: \n, \x41, \101, ...).
// The next decoded character, or -1 at the end of the text.
int   str_unescape_get_chr(const char **pos);
// len receives the decoded bytes plus the final NUL (1 on failure).
char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len);
char *str_unescape_cstr_dyn(const char *text, int *len);
char *str_unescape_cstr_inplace(char *text, int *len);
char *str_unescape_cstr_unquote_dup(const char *text);
// pos points after a backslash: octal or one of "abfnrtv\\"; any other
// character gives a backslash and is left unread.
int   str_cescape_get_chr(const char **pos);

// Unicode. Codes of str_conv; 16- and 32-bit units in host byte order.
enum : int {
    STR_CONV_UTF16 = 1,
    STR_CONV_UTF32 = 4,
    STR_CONV_UTF8  = 5,
};
// Like iconv: advances the positions and counts; the output bytes, or -1 with
// errno EILSEQ, E2BIG or EBADF. Input ending inside a character: errno EINVAL
// and the count so far. Without out only the sizes are added up.
int    str_conv(int from, int to, const char **in, size_t *inleft, char **out, size_t *outleft);
// The UTF-8 size of cp (1 to 4), written when out is given; above 0x10FFFF "?".
int    utf8_put(char *out, uint32_t cp);
// Wide texts are UTF-16 units ended by a 0 unit; sizes are in bytes.
char    *str_w2u8_n(const uint16_t *wide, char *out, size_t size);
char    *str_w2u8_buf(const uint16_t *wide, char *out, size_t size);
int      str_w2u8_len(const uint16_t *wide);
// With out: converts within *size; without: stores the size needed in *size.
bool     str_w2u8_size(char *out, size_t *size, const uint16_t *wide);
uint16_t *str_u82w_n(const char *text, uint16_t *out, size_t size);
uint16_t *str_u82w_buf(const char *text, uint16_t *out, size_t size);
int       str_u82w_len(const char *text);
size_t    wstrlen16(const uint16_t *wide);
// Requires: dst holds the result and its 0 unit.
uint16_t *wstrcpy16(uint16_t *dst, const uint16_t *src);
uint16_t *wstrcat16(uint16_t *dst, const uint16_t *src);

// Validity tests and small helpers.
bool  str_is_digits(const char *text);          // true for the empty text
bool  str_has_multi_colon(const char *text);
// None of ";/\\\"'?:@# " (a missing text is valid).
bool  str_name_is_valid(const char *text);
bool  str_key_is_valid(const char *text);       // nor "&="
bool  str_val_is_valid(const char *text);       // no "&"
// The characters the checks above refuse.
extern const char *const STR_NAME_INVALID_CHARS;
extern const char *const STR_KEY_INVALID_CHARS;
// Mode bits: 1 not empty, 2 name characters, 4 none of "&=", 8 no "&",
// 16 none of "[]". false with the reason in reason (4096 bytes).
bool  str_name_check(const char *text, int mode, char *reason);
// Inside stretches between quote characters, every from becomes to.
char *str_replace_chr_quoted(char *text, char quote, char from, char to);
// Cuts a leading double-quoted argument after its closing quote, else at the
// first blank; the cut position, or nullptr.
char *str_cut_first_arg(char *text);
