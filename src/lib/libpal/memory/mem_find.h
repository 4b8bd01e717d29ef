// Byte-pattern search in memory: a quick search for exact patterns and a
// wildcard search driven by a mask, behind mem_find_pattern, which takes the
// pattern as hexadecimal text with "?" for any byte (the record filter's
// "findhex"). Each returns the address of the first byte of the first match,
// or nullptr; none keeps state.
#pragma once

#include <cstddef>

// nullptr for an empty pattern or one longer than the memory.
const void *mem_find(const void *mem, size_t size, const void *pattern, size_t len);
// The text without its NUL as the pattern.
const void *mem_find_str(const void *mem, size_t size, const char *text);
// Pattern byte i matches any byte where mask[i] is '?', else only an equal
// byte; a mask shorter than the pattern finds nothing. nullptr as mask:
// every byte must be equal.
const void *mem_find_mask(const void *mem, size_t size, const void *pattern, size_t len, const char *mask);
const void *mem_find_linear(const void *mem, size_t size, const void *pattern, size_t len);
// "0a1b" or "0a??1b" (each "?" one byte of any value); nullptr also for a
// text that does not decode.
const void *mem_find_pattern(const void *mem, size_t size, const char *pattern);
