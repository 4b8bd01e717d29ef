// Typed values: the value-type codes shared by comparators, typed arrays,
// binary records and the record filter, and value2, one number of a known
// type. The number parsers apply signs through value2_minus; settable int
// variables read and write their value as text through value2_get_str and
// value2_set_str. Nothing here locks.
#pragma once

#include <cstddef>
#include <cstdint>

// Even codes hold the value; the odd code above reaches the same type through a pointer.
enum : uint32_t {
    VALUE_TYPE_U8      = 2,
    VALUE_TYPE_PU8     = 3,
    VALUE_TYPE_U16     = 6,
    VALUE_TYPE_PU16    = 7,
    VALUE_TYPE_I32     = 8,
    VALUE_TYPE_PI32    = 9,
    VALUE_TYPE_U32     = 10,
    VALUE_TYPE_PU32    = 11,
    VALUE_TYPE_I64     = 12,
    VALUE_TYPE_PI64    = 13,
    VALUE_TYPE_U64     = 14,
    VALUE_TYPE_PU64    = 15,
    VALUE_TYPE_I8      = 16,
    VALUE_TYPE_PI8     = 17,
    VALUE_TYPE_INT     = 22,
    VALUE_TYPE_PINT    = 23,
    VALUE_TYPE_UPTR    = 24,
    VALUE_TYPE_PUPTR   = 25,
    VALUE_TYPE_DOUBLE  = 26,
    VALUE_TYPE_PDOUBLE = 27,
    VALUE_TYPE_STRING  = 28,
    VALUE_TYPE_PSTRING = 29,
};

struct value2 {
    uint32_t type;
    union {
        int32_t  i32;
        uint32_t u32;
        int64_t  i64;
        uint64_t u64;
        double   d;
        int      i;     // VALUE_TYPE_INT
        int     *pint;  // VALUE_TYPE_PINT
    } v;
};

// Int values only (codes 22 and 23). set_str parses decimal text; a text the
// parser refuses (it logs why) gives -1 and leaves the value unchanged. Both
// store and load the int atomically: a settable variable's int may be read
// by other threads without the shell's lock (with std::atomic_ref).
int value2_set_str(value2 *value, const char *text);
// -1 also when the text does not fit in size.
int value2_get_str(const value2 *value, char *buf, size_t size);

// Codes 8, 10, 12, 14 and 26; doubles are truncated toward zero and clamped
// to the result's range (NaN gives 0). Other codes: all ones / -1.0, logged.
uint64_t value2_get_u64(const value2 *value);
int64_t  value2_get_i64(const value2 *value);
double   value2_get_double(const value2 *value);
// Negates in place (unsigned codes wrap). 0, -2 when a signed value was
// negative before, -1 for a code without a number.
int value2_minus(value2 *value);
