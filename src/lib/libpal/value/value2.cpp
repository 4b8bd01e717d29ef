// Typed values: reading a value2 as another number type, negating it, and
// the text form of int values.
#include "libpal/value/value2.h"

#include <atomic>
#include <cmath>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr double TWO_POW_63 = 9223372036854775808.0;
constexpr double TWO_POW_64 = 18446744073709551616.0;

// Truncation toward zero, clamped: a double outside the range (or NaN) must
// not reach a conversion whose result the language leaves undefined.
uint64_t double_to_u64(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= TWO_POW_64)
        return UINT64_MAX;
    if (d >= TWO_POW_63)
        return static_cast<uint64_t>(d);
    if (d <= -TWO_POW_63)
        return static_cast<uint64_t>(INT64_MIN);
    return static_cast<uint64_t>(static_cast<int64_t>(d));
}

int64_t double_to_i64(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= TWO_POW_63)
        return INT64_MAX;
    if (d <= -TWO_POW_63)
        return INT64_MIN;
    return static_cast<int64_t>(d);
}

void report_type(uint32_t type)
{
    ZLOG_ERR("unsupport type=%d\n", static_cast<int>(type));
    assert_dump_stack();
}

// The int a code 22/23 value holds, or nullptr.
int *int_slot(value2 *value)
{
    if (value->type == VALUE_TYPE_INT)
        return &value->v.i;
    if (value->type == VALUE_TYPE_PINT)
        return value->v.pint;
    return nullptr;
}

}  // namespace

int value2_set_str(value2 *value, const char *text)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", -1);
    if (value->type != VALUE_TYPE_INT && value->type != VALUE_TYPE_PINT) {
        ZLOG_ERR("unsupport type=%d\n", static_cast<int>(value->type));
        return -1;
    }
    int *slot = int_slot(value);
    PL_ASSERT_TEXT_RET(slot != nullptr, "slot != NULL", -1);
    // A refused text must not become a silent 0 reported as a successful set.
    int32_t n = 0;
    if (str_atoi_chk(text, &n) != 0)
        return -1;
    // Threads outside the shell read the slot without the shell's lock (the
    // NBD server reads the read-only flag at each connect): one atomic store.
    std::atomic_ref<int>(*slot).store(n);
    return 0;
}

int value2_get_str(const value2 *value, char *buf, size_t size)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", -1);
    PL_ASSERT_TEXT_RET(buf != nullptr && size > 0, "buf != NULL && size > 0", -1);
    if (value->type != VALUE_TYPE_INT && value->type != VALUE_TYPE_PINT) {
        ZLOG_ERR("unsupport type=%d\n", static_cast<int>(value->type));
        return -1;
    }
    int *slot = int_slot(const_cast<value2 *>(value));
    PL_ASSERT_TEXT_RET(slot != nullptr, "slot != NULL", -1);
    const int n = str_sprintf_s(buf, size, "%d", std::atomic_ref<int>(*slot).load());
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

uint64_t value2_get_u64(const value2 *value)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", UINT64_MAX);
    switch (value->type) {
    case VALUE_TYPE_I32: return static_cast<uint64_t>(static_cast<int64_t>(value->v.i32));
    case VALUE_TYPE_U32: return value->v.u32;
    case VALUE_TYPE_I64: return static_cast<uint64_t>(value->v.i64);
    case VALUE_TYPE_U64: return value->v.u64;
    case VALUE_TYPE_DOUBLE: return double_to_u64(value->v.d);
    default: report_type(value->type); return UINT64_MAX;
    }
}

int64_t value2_get_i64(const value2 *value)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", -1);
    switch (value->type) {
    case VALUE_TYPE_I32: return value->v.i32;
    case VALUE_TYPE_U32: return value->v.u32;
    case VALUE_TYPE_I64: return value->v.i64;
    case VALUE_TYPE_U64: return static_cast<int64_t>(value->v.u64);
    case VALUE_TYPE_DOUBLE: return double_to_i64(value->v.d);
    default: report_type(value->type); return -1;
    }
}

double value2_get_double(const value2 *value)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", -1.0);
    switch (value->type) {
    case VALUE_TYPE_I32: return value->v.i32;
    case VALUE_TYPE_U32: return value->v.u32;
    case VALUE_TYPE_I64: return static_cast<double>(value->v.i64);
    case VALUE_TYPE_U64: return static_cast<double>(value->v.u64);
    case VALUE_TYPE_DOUBLE: return value->v.d;
    default: report_type(value->type); return -1.0;
    }
}

int value2_minus(value2 *value)
{
    PL_ASSERT_TEXT_RET(value != nullptr, "value != NULL", -1);
    switch (value->type) {
    case VALUE_TYPE_I32: {
        const bool was_neg = value->v.i32 < 0;
        // Two's complement negation: INT32_MIN stays itself instead of overflowing.
        value->v.i32 = static_cast<int32_t>(0u - static_cast<uint32_t>(value->v.i32));
        return was_neg ? -2 : 0;
    }
    case VALUE_TYPE_U32: value->v.u32 = 0u - value->v.u32; return 0;
    case VALUE_TYPE_I64: {
        const bool was_neg = value->v.i64 < 0;
        value->v.i64 = static_cast<int64_t>(0ull - static_cast<uint64_t>(value->v.i64));
        return was_neg ? -2 : 0;
    }
    case VALUE_TYPE_U64: value->v.u64 = 0ull - value->v.u64; return 0;
    case VALUE_TYPE_DOUBLE: {
        const bool was_neg = value->v.d < 0;
        value->v.d = -value->v.d;
        return was_neg ? -2 : 0;
    }
    default: report_type(value->type); return -1;
    }
}
