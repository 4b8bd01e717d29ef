// Percent-encoding of URL parts (paths, query arguments, redirect targets)
// and its decoding. _dup results come from os_malloc and are freed with
// os_free.
#pragma once

#include <cstddef>

// Modes of str_escape_uri_imp: 0 URI, 1 query arguments,
// 2 all but the RFC 3986 unreserved set, 3 and 4 quote-safe, 5 and 6 only
// controls, blank and "%".
enum : int {
    STR_ESC_URI     = 0,
    STR_ESC_ARGS    = 1,
    STR_ESC_STRICT  = 2,
    STR_ESC_QUOTES  = 3,
    STR_ESC_QUOTES2 = 4,
    STR_ESC_CTRL    = 5,
    STR_ESC_CTRL2   = 6,
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
int str_escape_url_args(const char *text, char *out, size_t size);
char *str_escape_url_args_dup(const char *text);
// 0, or -1 when the text with its NUL is longer than size.
int str_unescape_uri(const char *text, char *out, size_t size);
int str_unescape_url_args(const char *text, char *out, size_t size);
// Decodes len input bytes (normally the text with its NUL); advances both
// positions; the output always ends with a NUL.
// Requires: the output holds len bytes.
void str_unescape_uri_imp(char **out, const char **in, size_t len, int mode);
