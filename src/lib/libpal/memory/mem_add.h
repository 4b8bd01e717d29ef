// Strict packing of texts one after another into a caller's block (each with
// its NUL), as string-map entries and binary records are built. A piece that
// does not fit fails the call with -1 and the soft assertion "slen <= blen".
#pragma once

#include <cstddef>

// Copies len bytes of src to dest when they fit in room; len, or -1.
int mem_add_str(void *dest, size_t room, const void *src, size_t len);
// Each text with its NUL in turn, up to the first nullptr argument; the
// bytes written, or -1 at the first text that does not fit.
int mem_add_strs(void *dest, size_t room, ...) __attribute__((sentinel));
