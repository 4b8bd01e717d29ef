// Base64 in the standard and the URL-safe alphabet: credentials of proxy and
// web authentication, digests and keys carried in texts. Bounded forms never
// write past their size and report at err level (tag "pal") without the
// text; _dup results come from os_malloc and are freed with os_free.
#pragma once

#include <cstddef>

// Size of the base64 text of n bytes, NUL included.
#define PL_BASE64_ENCODE_LEN(n) ((((size_t)(n) + 2) / 3) * 4 + 1)

// Base64. The URL-safe alphabet ends in "-_" and pads with ",".
// The output length, or -1 (missing data or out, too much data, out too small).
int str_base64_encode_imp(const void *ib, size_t in, char *ob, size_t on, bool url);
int str_base64_encode(const void *data, size_t len, char *out, size_t size);
int str_base64_encode_url(const void *data, size_t len, char *out, size_t size);
// Encodes text and its terminating NUL, so that a decoder gets the NUL back;
// out stays empty on failure.
char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, bool url);
char *str_base64_encode_buf(const char *text, char *out, size_t size);
char *str_base64_encode_url_buf(const char *text, char *out, size_t size);
char *str_base64_encode_dup(const void *data, size_t len);
char *str_base64_encode_url_dup(const void *data, size_t len);
// Decodes either alphabet up to the NUL or the first padding character;
// the number of bytes written, or -1.
int str_base64_decode(const char *text, void *out, size_t size);
// out emptied first; the bytes are not NUL-terminated by this call.
char *str_base64_decode_buf(const char *text, char *out, size_t size);
void *str_base64_decode_dup(const char *text, size_t *len);
