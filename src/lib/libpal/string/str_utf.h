// Unicode conversion between UTF-8, UTF-16 and UTF-32 (iconv-like), and
// texts of 16-bit units ended by a 0 unit (device and partition names).
#pragma once

#include <cstddef>
#include <cstdint>

// Codes of str_conv; 16- and 32-bit units in host byte order.
enum : int {
    STR_CONV_UTF16 = 1,
    STR_CONV_UTF32 = 4,
    STR_CONV_UTF8  = 5,
};
// Like iconv: advances the positions and counts; the output bytes, or -1 with
// errno EILSEQ, E2BIG or EBADF. Input ending inside a character: errno EINVAL
// and the count so far. Without out only the sizes are added up.
int str_conv(int from, int to, const char **in, size_t *inleft, char **out, size_t *outleft);
// The UTF-8 size of cp (1 to 4), written when out is given; above 0x10FFFF "?".
int utf8_put(char *out, uint32_t cp);
// Wide texts are UTF-16 units ended by a 0 unit; sizes are in bytes.
char *str_w2u8_n(const uint16_t *wide, char *out, size_t size);
char *str_w2u8_buf(const uint16_t *wide, char *out, size_t size);
int str_w2u8_len(const uint16_t *wide);
// With out: converts within *size; without: stores the size needed in *size.
bool str_w2u8_size(char *out, size_t *size, const uint16_t *wide);
uint16_t *str_u82w_n(const char *text, uint16_t *out, size_t size);
uint16_t *str_u82w_buf(const char *text, uint16_t *out, size_t size);
int str_u82w_len(const char *text);
size_t wstrlen16(const uint16_t *wide);
// Requires: dst holds the result and its 0 unit.
uint16_t *wstrcpy16(uint16_t *dst, const uint16_t *src);
uint16_t *wstrcat16(uint16_t *dst, const uint16_t *src);
