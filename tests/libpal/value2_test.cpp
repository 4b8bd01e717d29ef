#include "libpal/value/value2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "str_log_capture.h"

namespace {

value2 make_i32(int32_t x) { value2 v{}; v.type = VALUE_TYPE_I32; v.v.i32 = x; return v; }
value2 make_u32(uint32_t x) { value2 v{}; v.type = VALUE_TYPE_U32; v.v.u32 = x; return v; }
value2 make_i64(int64_t x) { value2 v{}; v.type = VALUE_TYPE_I64; v.v.i64 = x; return v; }
value2 make_u64(uint64_t x) { value2 v{}; v.type = VALUE_TYPE_U64; v.v.u64 = x; return v; }
value2 make_dbl(double x) { value2 v{}; v.type = VALUE_TYPE_DOUBLE; v.v.d = x; return v; }

}  // namespace

TEST(Value2, ReadsEachTypeAsU64I64AndDouble)
{
    struct {
        const char *name;
        value2      value;
        uint64_t    u64;
        int64_t     i64;
        double      dbl;
    } const cases[] = {
        {"i32 -1 sign-extends", make_i32(-1), UINT64_MAX, -1, -1.0},
        {"i32 max", make_i32(INT32_MAX), INT32_MAX, INT32_MAX, 2147483647.0},
        {"u32 max zero-extends", make_u32(UINT32_MAX), UINT32_MAX, UINT32_MAX, 4294967295.0},
        {"i64 min", make_i64(INT64_MIN), 9223372036854775808ull, INT64_MIN, -9223372036854775808.0},
        {"u64 max", make_u64(UINT64_MAX), UINT64_MAX, -1, 18446744073709551616.0},
        {"double truncates", make_dbl(1.9), 1, 1, 1.9},
        {"negative double truncates", make_dbl(-1.9), UINT64_MAX, -1, -1.9},
        {"double from 2^63 keeps its range", make_dbl(1e19), 10000000000000000000ull, INT64_MAX, 1e19},
        {"double beyond 64 bits is clamped", make_dbl(1e30), UINT64_MAX, INT64_MAX, 1e30},
        {"double below i64 is clamped", make_dbl(-1e30), 9223372036854775808ull, INT64_MIN, -1e30},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(value2_get_u64(&c.value), c.u64);
        EXPECT_EQ(value2_get_i64(&c.value), c.i64);
        EXPECT_DOUBLE_EQ(value2_get_double(&c.value), c.dbl);
    }
    const value2 nan = make_dbl(NAN);
    EXPECT_EQ(value2_get_u64(&nan), 0u);
    EXPECT_EQ(value2_get_i64(&nan), 0);
}

TEST(Value2, UnsupportedTypeIsReported)
{
    log_capture cap;
    value2 v{};
    v.type = VALUE_TYPE_STRING;
    EXPECT_EQ(value2_get_u64(&v), UINT64_MAX);
    EXPECT_EQ(value2_get_i64(&v), -1);
    EXPECT_EQ(value2_get_double(&v), -1.0);
    EXPECT_EQ(value2_minus(&v), -1);
    EXPECT_TRUE(cap.has("unsupport type=28"));
    EXPECT_TRUE(cap.has("release no stack info"));
}

TEST(Value2, MinusNegatesOrRefusesTheSmallestValue)
{
    struct {
        const char *name;
        value2      value;
        int         rc;
        uint64_t    bits;  // the negated value read as u64 (doubles: as i64)
    } const cases[] = {
        {"i32 -5", make_i32(-5), -2, 5},
        {"i32 5", make_i32(5), 0, static_cast<uint64_t>(-5)},
        {"u32 5 wraps", make_u32(5), 0, 4294967291u},
        {"i64 min stays", make_i64(INT64_MIN), -2, 9223372036854775808ull},
        {"i64 7", make_i64(7), 0, static_cast<uint64_t>(-7)},
        {"u64 1 wraps", make_u64(1), 0, UINT64_MAX},
        {"double 2.5", make_dbl(2.5), 0, static_cast<uint64_t>(-2)},
        {"double -2.5", make_dbl(-2.5), -2, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        value2 v = c.value;
        EXPECT_EQ(value2_minus(&v), c.rc);
        EXPECT_EQ(v.type, c.value.type);
        EXPECT_EQ(value2_get_u64(&v), c.bits);
    }
    value2 i32min = make_i32(INT32_MIN);
    EXPECT_EQ(value2_minus(&i32min), -2);
    EXPECT_EQ(i32min.v.i32, INT32_MIN);
}

TEST(Value2, IntTextRoundTrip)
{
    value2 in_place{};
    in_place.type = VALUE_TYPE_INT;
    EXPECT_EQ(value2_set_str(&in_place, " 42 "), 0);
    EXPECT_EQ(in_place.v.i, 42);
    char buf[16];
    EXPECT_EQ(value2_get_str(&in_place, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "42");

    int target = 0;
    value2 by_ptr{};
    by_ptr.type = VALUE_TYPE_PINT;
    by_ptr.v.pint = &target;
    EXPECT_EQ(value2_set_str(&by_ptr, "-2147483648"), 0);
    EXPECT_EQ(target, INT32_MIN);
    EXPECT_EQ(value2_get_str(&by_ptr, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "-2147483648");
}

TEST(Value2, RefusedTextLeavesTheValue)
{
    log_capture cap;
    value2 v{};
    v.type = VALUE_TYPE_INT;
    v.v.i = 7;
    struct {
        const char *text;
        const char *report;
    } const cases[] = {
        {"abc", "illegal char [abc]"},
        {"2147483648", "overflow [2147483648]"},
        {"", "null str []"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        cap.clear();
        EXPECT_EQ(value2_set_str(&v, c.text), -1);
        EXPECT_EQ(v.v.i, 7);
        EXPECT_TRUE(cap.has(c.report));
    }
}

TEST(Value2, TextOfOtherTypesIsRefused)
{
    log_capture cap;
    value2 v = make_i32(1);
    char buf[16];
    EXPECT_EQ(value2_set_str(&v, "5"), -1);
    EXPECT_EQ(value2_get_str(&v, buf, sizeof(buf)), -1);
    EXPECT_EQ(v.v.i32, 1);
    EXPECT_TRUE(cap.has("unsupport type=8"));

    value2 big{};
    big.type = VALUE_TYPE_INT;
    big.v.i = 123456;
    char small[4];
    EXPECT_EQ(value2_get_str(&big, small, sizeof(small)), -1);
}
