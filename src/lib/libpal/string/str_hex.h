// Hexadecimal texts of bytes: written lower-case, read in either case, with
// or without separators, and byte patterns with "?" wildcards. _dup results
// come from os_malloc and are freed with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

// len -1: data is a NUL-terminated text. Without out: 2*len+1; with out:
// 2*len, or -1 when that does not fit in size.
int str_bin_encode_hex(const void *data, int len, char *out, size_t size);
char *str_hex_encode_dup(const char *text);
// false with out emptied when 2*len+1 exceeds size.
bool str_bin_to_hex(const void *data, size_t len, char *out, size_t size);
// The number of bytes (without out: the size needed, +1 with terminate), or -1.
int str_hex_decode_bin(const char *hex, bool terminate, void *out, size_t size);
void *str_hex_decode_dup(const char *hex, size_t *len);
// Removes blanks, tabs, CR and LF from hex itself first.
void *str_hex_decode_dup_ws(char *hex, size_t *len);
char *str_hex_decode_str(const char *hex);
// The decoded text with each pair of decimal digits swapped ('1234' -> '2143'),
// or unchanged with keep; nullptr for an empty, odd-length or non-digit result.
char *str_hex_decode_swap_digits(const char *hex, bool keep);
// Pairs of hex digits (mask '_') or "?" (any byte, mask '?'); the number of
// pattern bytes, or -1. Without outputs it only counts.
int str_hex_pattern_decode(const char *text, uint8_t *bytes, char *mask);
// Allocates bytes[count] and mask[count + 1] (NUL-terminated); the count,
// below 1 as the count pass gave it, or -1 when memory runs out.
int str_hex_pattern_decode_dup(const char *text, uint8_t **bytes, int *count, char **mask);
// true when the whole text was consumed in pairs.
bool hex_decode_n(const char *text, size_t len, uint8_t *out, size_t max, size_t *count);
// Skips " -.:_" between pairs; the number of bytes, or -1.
int hex_decode_sep(const char *text, size_t len, uint8_t *out, size_t size);
// 0 when the whole text was decoded, 1 when it stopped early.
// Requires: out holds strlen(text) / 2 bytes.
int str_hex_sep_decode(const char *text, const char *sep, uint8_t *out);
bool hex_chr_val(uint8_t *val, char c);
uint8_t hex_chr_value(char c);  // 255 for a non-digit
int hex_chr_val_tab(int c);     // -1 for a non-digit
