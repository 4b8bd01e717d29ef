// Typed dynamic arrays, one family per element type, all with the same
// operations: vec_char, vec_int, vec_u16, vec_u32, vec_u64 and vec_ptr. The
// data block always holds capacity + 1 elements and every element from count
// on is zero, so arrays of characters or pointers are also terminated. Used
// by the pointer array of the memory helpers and the MAC list. Takes no
// lock: an array belongs to its owner.
#pragma once

#include <cstdint>

#include "libpal/utils/pl_cmp.h"

// Indexes and counts that mean "the last element" or "up to the end".
constexpr uint64_t VEC_ALL = ~uint64_t{0};

// new: capacity 0 means 8; nullptr when memory runs out. push and insert
// double the capacity when full (-1, the array unchanged, when that fails).
// erase and erase_range return 0 on an empty array and -1 for a start past
// the end. remove and find give the first index of an equal element or -1;
// elements compare by their bits. sort orders with the value-type comparator
// of the family (descending when desc); is_sorted answers as arr_is_sorted;
// unique drops every element equal to its predecessor; bsearch needs an array
// sorted ascending. free releases data and record.
#define VEC_DECLARE(name, T)                                      \
    struct name {                                                 \
        T *data;                                                  \
        uint64_t count;                                           \
        uint64_t capacity;                                        \
    };                                                            \
    name *name##_new(uint64_t capacity);                          \
    int name##_push(name *v, T value);                            \
    int name##_insert(name *v, uint64_t index, T value);          \
    int name##_erase(name *v, uint64_t index);                    \
    int name##_erase_range(name *v, uint64_t start, uint64_t n);  \
    int64_t name##_remove(name *v, T value);                      \
    int64_t name##_find(const name *v, T value);                  \
    uint64_t name##_count(const name *v, T value);                \
    void name##_free(name *v);                                    \
    void name##_clear(name *v);                                   \
    void name##_sort(name *v, bool desc);                         \
    int name##_is_sorted(const name *v);                          \
    void name##_reverse(name *v);                                 \
    void name##_unique(name *v);                                  \
    int64_t name##_bsearch(const name *v, T value);               \
    int name##_get(const name *v, uint64_t index, T *out);

VEC_DECLARE(vec_char, char)
VEC_DECLARE(vec_int, int)
VEC_DECLARE(vec_u16, uint16_t)
VEC_DECLARE(vec_u32, uint32_t)
VEC_DECLARE(vec_u64, uint64_t)
VEC_DECLARE(vec_ptr, void *)

#undef VEC_DECLARE

// Sorts a pointer array with the caller's comparator (element addresses).
void vec_ptr_sort2(vec_ptr *v, cmp_proc compare);
