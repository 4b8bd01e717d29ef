// Packing of texts and buffers one after another into a caller's block, as
// string-map entries and binary records are built. The strict forms (add)
// fail with -1 and the soft assertion "slen <= blen" at the first piece that
// does not fit; the cutting forms (cat) fill the room and end it with a NUL.
#pragma once

#include <cstddef>

struct mem_pair {
    const void *ptr;
    size_t len;
};

// Copies len bytes of src to dest when they fit in room; len, or -1.
int mem_add_str(void *dest, size_t room, const void *src, size_t len);
// Each text with its NUL in turn, up to the first nullptr argument; the
// bytes written, or -1 at the first text that does not fit.
int mem_add_strs(void *dest, size_t room, ...) __attribute__((sentinel));
// As mem_add_strs while room remains: the text that does not fit is cut so
// that the room's last byte is a NUL, and packing ends there. No room: 0.
int mem_cat_strs(void *dest, size_t room, ...) __attribute__((sentinel));
int mem_add_bufs(void *dest, size_t room, const mem_pair *pairs, size_t n);
// The pieces while room remains; a piece that reaches or passes the end of
// the room is cut to it and its last copied byte becomes a NUL.
int mem_cat_bufs(void *dest, size_t room, const mem_pair *pairs, size_t n);

// One block holding each text with its NUL; *total (when given) gets its
// size. Freed with os_free; nullptr when memory runs out.
char *mem_strs_pack(size_t *total, ...) __attribute__((sentinel));
