// Comparators and array algorithms over elements of any size: comparators per
// value-type code in both orders (chosen through tables), binary search,
// linear find and count, sorting, order and uniqueness checks. A by-pointer
// comparator gets the elements' addresses; a value comparator gets the values
// themselves carried in the pointers. Codes are the VALUE_TYPE_ codes.
// Nothing here keeps state or locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/value/value2.h"

using cmp_proc  = int (*)(const void *a, const void *b);
using cmp3_proc = int (*)(const void *a, const void *b, void *ctx);

// Comparator modes of the string containers.
enum : uint32_t {
    CMP_MODE_STR   = 0x1,
    CMP_MODE_STR2  = 0x2,
    CMP_MODE_UPTR  = 0x4,
    CMP_MODE_PPSTR = 0x8,  // elements point to records whose first field is a text
};

int cmp_str(const void *a, const void *b);
int cmp_str_desc(const void *a, const void *b);
int cmp_pstr(const void *a, const void *b);
int cmp_pstr_desc(const void *a, const void *b);
int cmp_i8(const void *a, const void *b);
int cmp_i8_desc(const void *a, const void *b);
int cmp_pi8(const void *a, const void *b);
int cmp_pi8_desc(const void *a, const void *b);
int cmp_int(const void *a, const void *b);
int cmp_int_desc(const void *a, const void *b);
int cmp_pint(const void *a, const void *b);
int cmp_pint_desc(const void *a, const void *b);
int cmp_u64(const void *a, const void *b);
int cmp_u64_desc(const void *a, const void *b);
int cmp_pu64(const void *a, const void *b);
int cmp_pu64_desc(const void *a, const void *b);
int cmp_uptr(const void *a, const void *b);
int cmp_uptr_desc(const void *a, const void *b);
int cmp_puptr(const void *a, const void *b);
int cmp_puptr_desc(const void *a, const void *b);
int cmp_i64(const void *a, const void *b);
int cmp_i64_desc(const void *a, const void *b);
int cmp_pi64(const void *a, const void *b);
int cmp_pi64_desc(const void *a, const void *b);
int cmp_ppstr(const void *a, const void *b);
int cmp_ppstr_desc(const void *a, const void *b);
// Over two doubles by address: NaN sorts after every number and equals NaN.
int cmp_double(const void *a, const void *b);

// Find comparators: (value, element address).
int cmp2_pstr(const void *value, const void *elem);
int cmp2_pi8(const void *value, const void *elem);
int cmp2_pint(const void *value, const void *elem);
int cmp2_puint64(const void *value, const void *elem);
int cmp2_puptr(const void *value, const void *elem);
int cmp2_pi64(const void *value, const void *elem);
int cmp2_ppstr(const void *value, const void *elem);

// nullptr (logged) for a code without a comparator.
cmp_proc cmp_val_get_proc(uint32_t code, bool desc);
// given when present, else the comparator of the mode bits; nullptr (logged) otherwise.
cmp_proc cmp_array_get_proc(uint32_t mode, cmp_proc given, bool desc);
// given when present, else strcmp for text modes, else ascending u64 values.
cmp_proc cmp_get_proc(uint32_t mode, cmp_proc given);
cmp_proc cmp2_val_get_find_proc(uint32_t code);
int cmp_sign(int64_t x);

// Searches return an index or -1; compare(key, element).
// Requires: arr_bsearch's array sorted ascending by compare.
int64_t arr_bsearch(const void *key, const void *base, size_t count, size_t size, cmp_proc compare);
int64_t arr_find(const void *key, const void *base, size_t count, size_t size, cmp_proc compare);
size_t arr_count(const void *key, const void *base, size_t count, size_t size, cmp_proc compare);
int64_t arr_bsearch_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                        void *ctx);
int64_t arr_find_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                     void *ctx);
size_t arr_count_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                     void *ctx);
// Calls the two-argument comparator that ctx points to (a cmp_proc *): a
// function pointer travels only as the address of a variable of its own type.
int arr_cmp_adapter(const void *a, const void *b, void *ctx);

void arr_sort(void *base, size_t count, size_t size, cmp_proc compare);
void arr_sort_r(void *base, size_t count, size_t size, cmp3_proc compare, void *ctx);
void arr_qsort_r(void *base, size_t count, size_t size, cmp3_proc compare, void *ctx);
void arr_bubble_sort(void *base, size_t count, size_t size, cmp_proc compare);
// 0 mixed, 1 no order (all equal or < 2 elements), 2 ascending, 3 descending.
int arr_is_sorted(const void *base, size_t count, size_t size, cmp_proc compare);
// Moves the first element of each run of equal neighbours to the front, in
// order; returns their number.
size_t arr_unique(void *base, size_t count, size_t size, cmp_proc compare);
bool arr_is_unique(const void *base, size_t count, size_t size, cmp_proc compare);
int64_t arr_find_int(const int *arr, size_t count, int value);
