#include "libpal/string/str_num.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "str_log_capture.h"

namespace {

// True when no message of err level or above was logged.
bool no_error_logged(const log_capture &cap)
{
    for (const auto &l : cap.all())
        if (l.level <= LOG2_ERR)
            return false;
    return true;
}

// An expected report: nullptr when none may be logged.
void expect_report(const log_capture &cap, const char *report)
{
    if (report == nullptr) {
        EXPECT_TRUE(no_error_logged(cap));
    } else {
        EXPECT_TRUE(cap.has(report)) << "missing report: " << report;
        // Every refusal is followed by the stack report.
        EXPECT_TRUE(cap.has("release no stack info"));
    }
}

const std::string k_digits300(300, '1');

}  // namespace

namespace {

// Every integer reader, its result widened to the bits of a u64.
using int_reader = uint64_t (*)(const char *);
const int_reader i32 = [](const char *s) { return static_cast<uint64_t>(int64_t{str_atoi(s)}); };
const int_reader i64 = [](const char *s) { return static_cast<uint64_t>(str_atoll(s)); };
const int_reader u8 = [](const char *s) { return uint64_t{str_ato8u(s)}; };
const int_reader u16 = [](const char *s) { return uint64_t{str_ato16u(s)}; };
const int_reader u32 = [](const char *s) { return uint64_t{str_ato32u(s)}; };
const int_reader u64 = [](const char *s) { return str_ato64u(s); };
const int_reader x8 = [](const char *s) { return uint64_t{str_ato8x(s)}; };
const int_reader x16 = [](const char *s) { return uint64_t{str_ato16x(s)}; };
const int_reader x32 = [](const char *s) { return uint64_t{str_ato32x(s)}; };
const int_reader x64 = [](const char *s) { return str_ato64x(s); };

struct int_case {
    int_reader  read;
    std::string text;
    uint64_t    expected;
    const char *report;  // nullptr: nothing may be logged
};

void check_int_cases(std::initializer_list<int_case> cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        log_capture cap;
        EXPECT_EQ(c.read(c.text.c_str()), c.expected);
        expect_report(cap, c.report);
    }
}

uint64_t bits(int64_t v) { return static_cast<uint64_t>(v); }

}  // namespace

TEST(IntegerText, SignedDecimalsWithinTheirRange)
{
    check_int_cases({
        {i32, " 42 ", 42, nullptr},
        {i32, "+7", 7, nullptr},
        {i32, "-7", bits(-7), nullptr},
        {i32, "007", 7, nullptr},
        {i32, "\t-0\n", 0, nullptr},
        {i32, "-2147483648", bits(INT32_MIN), nullptr},
        {i32, "2147483647", INT32_MAX, nullptr},
        {i32, "2147483648", 0, "overflow [2147483648]"},
        {i32, "-2147483649", 0, "overflow [-2147483649]"},
        {i32, "12a", 0, "illegal char [12a]"},
        {i32, "1 2", 0, "illegal char [1 2]"},
        {i32, "--1", 0, "illegal char [--1]"},
        {i32, "0x10", 0, "illegal char [0x10]"},
        {i32, "", 0, "null str []"},
        {i32, "   ", 0, "null str [   ]"},
        {i32, "-", 0, nullptr},
        {i32, "+", 0, nullptr},
        {i32, k_digits300, 0, "overflow [111"},
        {i64, "-9223372036854775808", bits(INT64_MIN), nullptr},
        {i64, "9223372036854775807", INT64_MAX, nullptr},
        {i64, "9223372036854775808", 0, "overflow [9223372036854775808]"},
        {i64, "-9223372036854775809", 0, "overflow [-9223372036854775809]"},
        {i64, "99999999999999999999", 0, "overflow ["},
        {i64, " +5000000000 ", 5000000000, nullptr},
        {i64, k_digits300, 0, "overflow [111"},
    });
}

TEST(IntegerText, UnsignedDecimalsRefuseSignsAndOverflowPerWidth)
{
    check_int_cases({
        {u8, "255", 255, nullptr},
        {u8, "256", 0, "overflow [256]"},
        {u8, "-1", 0, "illegal char [-1]"},
        {u8, "+1", 0, "illegal char [+1]"},
        {u8, "0000000000000000000000000000255", 255, nullptr},
        {u8, " 9\t", 9, nullptr},
        {u8, "", 0, "null str []"},
        {u16, "65535", 65535, nullptr},
        {u16, "65536", 0, "overflow [65536]"},
        {u16, "6553a", 0, "illegal char [6553a]"},
        {u32, "4294967295", UINT32_MAX, nullptr},
        {u32, "4294967296", 0, "overflow [4294967296]"},
        {u64, "18446744073709551615", UINT64_MAX, nullptr},
        {u64, "18446744073709551616", 0, "overflow [18446744073709551616]"},
        {u64, "1.5", 0, "illegal char [1.5]"},
        {u64, k_digits300, 0, "overflow [111"},
    });
}

TEST(IntegerText, HexadecimalsRefusePrefixesAndExcessPerWidth)
{
    check_int_cases({
        {x8, "ff", 255, nullptr},
        {x8, "FF", 255, nullptr},
        {x8, "00ff", 255, nullptr},
        {x8, "1ff", 255, "overlimit [1ff]"},
        {x8, "0x1", 0, "illegal char [0x1]"},
        {x8, "g", 0, "illegal char [g]"},
        {x8, "", 0, "null str []"},
        {x16, "ffff", 0xffff, nullptr},
        {x16, "10000", 0, "overlimit [10000]"},
        {x32, " DeadBeef ", 0xdeadbeef, nullptr},
        {x32, "123456789", 0x23456789, "overlimit [123456789]"},
        {x64, "ffffffffffffffff", UINT64_MAX, nullptr},
        {x64, "1ffffffffffffffff", UINT64_MAX, "overlimit [1ffffffffffffffff]"},
        {x64, std::string(300, '0') + "1", 1, nullptr},
        {x64, std::string(300, 'f'), UINT64_MAX, "overlimit [fff"},
    });
}

TEST(IntegerText, MissingTextIsASoftAssertion)
{
    log_capture cap;
    EXPECT_EQ(str_ato8u(nullptr), 0);
    EXPECT_EQ(str_ato64x(nullptr), 0u);
    EXPECT_EQ(str_atoi(nullptr), 0);
    EXPECT_TRUE(cap.has("expr[s!=NULL]: assert failed"));
}

TEST(IntegerText, CheckedFormTellsRefusalFromZero)
{
    log_capture cap;
    int32_t v = 99;
    EXPECT_EQ(str_atoi_chk("0", &v), 0);
    EXPECT_EQ(v, 0);
    v = 99;
    EXPECT_EQ(str_atoi_chk("x", &v), -1);
    EXPECT_EQ(v, 99);
    EXPECT_TRUE(cap.has("illegal char [x]"));
}

TEST(SizeText, EachSuffixScalesByItsUnit)
{
    constexpr uint64_t K = 1024;
    struct {
        std::string text;
        uint64_t    expected;
    } const cases[] = {
        // The examples.
        {"4096", 4096}, {"64k", 65536}, {"1.5M", 1572864}, {"2MB", 2000000}, {"10b", 5120}, {"3w", 6},
        // Every row of the table, in both cases: the first match wins, so the
        // upper-case rows behave as their lower-case twins.
        {"1c", 1}, {"1C", 1}, {"1w", 2}, {"1W", 2}, {"1b", 512}, {"1B", 512},
        {"1kB", 1000}, {"1kb", 1000}, {"1KB", 1000}, {"1Kb", 1000},
        {"1kD", 1000}, {"1kd", 1000}, {"1KD", 1000},
        {"1k", K}, {"1K", K},
        {"1MB", 1000000}, {"1mb", 1000000}, {"1MD", 1000000}, {"1md", 1000000}, {"1M", K * K}, {"1m", K * K},
        {"1GB", 1000000000}, {"1gb", 1000000000}, {"1GD", 1000000000}, {"1gd", 1000000000},
        {"1G", K * K * K}, {"1g", K * K * K},
        {"1TB", 1000000000000ull}, {"1tb", 1000000000000ull}, {"1T", 1ull << 40}, {"1t", 1ull << 40},
        {"1PB", 1000000000000000ull}, {"1pb", 1000000000000000ull}, {"1P", 1ull << 50}, {"1p", 1ull << 50},
        // Chained units multiply.
        {"1kk", K * K}, {"1KK", K * K}, {"1kM", K * K * K}, {"1wk", 2 * K}, {"2bc", 1024},
        // The number is read as a floating-point text.
        {"1.5k", 1536}, {"0.5b", 256}, {"1e3", 1000}, {"1e3k", 1024000}, {"1.9", 1}, {"0", 0},
        {"16383P", 16383ull << 50},
        {std::string(255, '0') + "1", 1},
        // Refused texts give 0.
        {"-1k", 0}, {"+1k", 0}, {" 1k", 0}, {"\t1", 0}, {"\n1", 0}, {"\v1", 0}, {"\f1", 0}, {"\r1", 0},
        {"1x", 0}, {"1kib", 0}, {"1kbk", 0}, {"kb", 0}, {"k", 0}, {"", 0},
        {"1TD", 0}, {"1PD", 0},
        {std::string(256, '0') + "1", 0},
        {std::string(300, '9'), 0},
        // Beyond 64 bits, and texts atof reads as infinity or NaN.
        {"1e400", 0}, {"16384P", 0}, {"1PPP", 0}, {"18446744073709551616", 0}, {"inf1", 0}, {"nan1", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(str_atosize(c.text.c_str()), c.expected);
    }
    EXPECT_EQ(str_atosize(nullptr), 0u);
}

TEST(SizeText, FormatsInTheLargestUnitWithOneDecimal)
{
    struct {
        uint64_t    value;
        uint64_t    unit;
        const char *expected;
    } const cases[] = {
        {0, 0, "0"},
        {0, 1000, "0"},
        {1, 0, "1"},
        {1023, 0, "1023"},
        {1024, 0, "1.0K"},
        {1536, 0, "1.5K"},
        {2047, 0, "2.0K"},
        {1048575, 0, "1024.0K"},
        {1048576, 0, "1.0M"},
        {1ull << 30, 0, "1.0G"},
        {(5ull << 40) + (1ull << 39), 0, "5.5T"},
        {UINT64_MAX, 0, "16.0E"},
        {1500, 1000, "2"},
        {1499, 1000, "1"},
        {UINT64_MAX, 1, "18446744073709551615"},
        // Rounding must not wrap near the top of the range.
        {UINT64_MAX, 2, "9223372036854775808"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        char out[32];
        EXPECT_STREQ(str_size_fmt(c.value, c.unit, out, sizeof(out)), c.expected);
        EXPECT_STREQ(str_size_fmt_static(c.value, c.unit), c.expected);
    }
}

TEST(DurationText, NamesTheLargestUnitsWithPlurals)
{
    struct {
        double      seconds;
        const char *expected;
    } const cases[] = {
        {59.5, "59.500 seconds"},
        {1.0, "1.000 second"},
        {0.0, "0.000 second"},
        {0.25, "0.250 second"},
        {86400 + 3600 + 60 + 1.5, "1 day 1 hour 1 minute"},
        {3605.25, "1 hour 5.250 seconds"},
        {2 * 86400 + 2 * 3600 + 2 * 60, "2 days 2 hours 2 minutes"},
        {120, "2 minutes"},
        {86400, "1 day 0.000 second"},
        {-1.0, ""},
        {NAN, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64] = "garbage";
        EXPECT_STREQ(str_fmt_duration(out, sizeof(out), c.seconds), c.expected);
    }
}

TEST(DurationText, PieceThatDoesNotFitIsLeftOut)
{
    log_capture cap;
    char out[8];
    // "1 hour " fits exactly; the seconds piece does not and is dropped.
    EXPECT_STREQ(str_fmt_duration(out, sizeof(out), 3605.25), "1 hour ");
    // A unit that does not fit ends the text: no smaller unit stands in its place.
    EXPECT_STREQ(str_fmt_duration(out, sizeof(out), 10 * 86400 + 3600), "");
    EXPECT_STREQ(str_fmt_hours(10 * 8760 + 1, out, sizeof(out)), "");
    EXPECT_STREQ(str_fmt_hours(2 * 720 + 1, out, sizeof(out)), "");
}

TEST(DurationText, ClockFormWithDaysAndMilliseconds)
{
    struct {
        double      seconds;
        const char *expected;
    } const cases[] = {
        {65.25, "01:05.250"},
        {0.0, "00:00.000"},
        {86400 + 3600 + 60 + 1, "1_01:01:01.000"},
        {3723.5, "01:02:03.500"},
        {10 * 86400 + 5, "10_00:00:05.000"},
        {-3.0, "00:00"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64];
        EXPECT_STREQ(str_fmt_clock(out, sizeof(out), c.seconds), c.expected);
    }
}

TEST(DurationText, HoursInYearsMonthsAndDays)
{
    struct {
        int         hours;
        const char *expected;
    } const cases[] = {
        {0, "0 hour "},
        {1, "1 hour "},
        {2, "2 hours "},
        {25, "1 day 1 hour "},
        {720, "1 month 0 hour "},
        {8760 + 2 * 720 + 48 + 5, "1 year 2 months 2 days 5 hours "},
        {2 * 8760, "2 years 0 hour "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64];
        EXPECT_STREQ(str_fmt_hours(c.hours, out, sizeof(out)), c.expected);
    }
}

namespace {

struct literal_case {
    std::string text;
    int         base;
    int         rc;
    uint32_t    type;
    uint64_t    bits;    // integer types: the value's bits
    double      number;  // doubles
};

void expect_literal(const literal_case &c, const value2 &v)
{
    EXPECT_EQ(v.type, c.type);
    switch (v.type) {
    case VALUE_TYPE_I32: EXPECT_EQ(v.v.i32, static_cast<int32_t>(c.bits)); break;
    case VALUE_TYPE_U32: EXPECT_EQ(v.v.u32, static_cast<uint32_t>(c.bits)); break;
    case VALUE_TYPE_I64: EXPECT_EQ(v.v.i64, static_cast<int64_t>(c.bits)); break;
    case VALUE_TYPE_U64: EXPECT_EQ(v.v.u64, c.bits); break;
    case VALUE_TYPE_DOUBLE: EXPECT_DOUBLE_EQ(v.v.d, c.number); break;
    default: ADD_FAILURE() << "type " << v.type;
    }
}

constexpr uint32_t I32 = VALUE_TYPE_I32;
constexpr uint32_t U32 = VALUE_TYPE_U32;
constexpr uint32_t I64 = VALUE_TYPE_I64;
constexpr uint32_t U64 = VALUE_TYPE_U64;
constexpr uint32_t DBL = VALUE_TYPE_DOUBLE;

}  // namespace

TEST(NumericLiteral, SmallestTypeThatHoldsTheValue)
{
    const literal_case cases[] = {
        // Integers take the smallest type of i32, u32, i64, u64 that holds them.
        {"10", 10, 0, I32, 10, 0},
        {"  42  ", 10, 0, I32, 42, 0},
        {"2147483647", 10, 0, I32, 2147483647, 0},
        {"2147483648", 10, 0, U32, 2147483648u, 0},
        {"4294967295", 10, 0, U32, 4294967295u, 0},
        {"4294967296", 10, 0, I64, 4294967296ull, 0},
        {"9223372036854775807", 10, 0, I64, 9223372036854775807ull, 0},
        {"9223372036854775808", 10, 0, U64, 9223372036854775808ull, 0},
        {"18446744073709551615", 10, 0, U64, UINT64_MAX, 0},
        // Prefixes and the octal rule.
        {"0x10", 10, 0, I32, 16, 0},
        {"0X1f", 10, 0, I32, 31, 0},
        {"010", 10, 0, I32, 8, 0},
        {"0b101", 10, 0, I32, 5, 0},
        {"0b101", 0, 0, I32, 5, 0},
        {"0x1F", 0, 0, I32, 31, 0},
        {"017", 0, 0, I32, 15, 0},
        {"17", 0, 0, I32, 17, 0},
        {"ff", 16, 0, I32, 255, 0},
        {"0b1", 16, 0, I32, 0xb1, 0},
        {"12abc", 10, 0, I32, 12, 0},
        // Suffixes.
        {"10U", 10, 0, U32, 10, 0},
        {"10u", 10, 0, U32, 10, 0},
        {"10L", 10, 0, I32, 10, 0},
        {"10LL", 10, 0, I64, 10, 0},
        {"10ll", 10, 0, I64, 10, 0},
        {"10ULL", 10, 0, U64, 10, 0},
        {"10LLU", 10, 0, U64, 10, 0},
        {"4294967295LL", 10, 0, U64, 4294967295u, 0},
        {"5000000000U", 10, 0, U64, 5000000000ull, 0},
        {"10UU", 10, -1, U64, 0, 0},
        {"10LLL", 10, -1, U64, 0, 0},
        // Signs: the value is negated in its own type.
        {"-1", 10, 0, I32, static_cast<uint32_t>(-1), 0},
        {"-2147483648", 10, 0, U32, 2147483648u, 0},
        {"-0x10", 0, 0, I32, static_cast<uint32_t>(-16), 0},
        {"-ff", 16, 0, I32, static_cast<uint32_t>(-255), 0},
        {"-010", 10, 0, I32, static_cast<uint32_t>(-8), 0},
        {"", 10, 0, U64, 0, 0},
        {"-", 10, 0, U64, 0, 0},
        // Decimal floating point.
        {"1e3", 10, 0, DBL, 0, 1000.0},
        {"1.5", 10, 0, DBL, 0, 1.5},
        {".5", 10, 0, DBL, 0, 0.5},
        {"010.5", 10, 0, DBL, 0, 10.5},
        {"1.5e-3", 10, 0, DBL, 0, 0.0015},
        {"-2.5E+2", 10, 0, DBL, 0, -250.0},
        // With the base taken from the text, a leading "0" is octal only for integers.
        {"0.5", 0, 0, DBL, 0, 0.5},
        {"017.5", 0, 0, DBL, 0, 17.5},
        {"0e2", 0, 0, DBL, 0, 0.0},
        {"-0.25", 0, 0, DBL, 0, -0.25},
        // Binary floating point.
        {"0x1.8p1", 0, 0, DBL, 0, 3.0},
        {"0x1p-2", 16, 0, DBL, 0, 0.25},
        {"0x1.8p1f", 16, 0, DBL, 0, 3.0},
        {"0b1.1p1", 0, 0, DBL, 0, 3.0},
        {"0x10000000000000000p0", 16, 0, DBL, 0, 18446744073709551616.0},
        {"-0x1P4", 10, 0, DBL, 0, -16.0},
        // Refusals give u64 0.
        {"zz", 10, -1, U64, 0, 0},
        {"08", 10, -1, U64, 0, 0},
        {"09", 0, -1, U64, 0, 0},
        {"0b102", 0, -1, U64, 0, 0},
        {"0x", 0, -1, U64, 0, 0},
        {".", 10, -1, U64, 0, 0},
        {"1e", 10, -1, U64, 0, 0},
        {"1e+", 10, -1, U64, 0, 0},
        {"1e400", 10, -1, U64, 0, 0},
        {"0x1.8", 16, -1, U64, 0, 0},
        {"0x1p", 16, -1, U64, 0, 0},
        {"0b1.2p0", 0, -1, U64, 0, 0},
        {"18446744073709551616", 10, -1, U64, 0, 0},
        {k_digits300, 10, -1, U64, 0, 0},
        {std::string(1023, '0'), 10, 0, I32, 0, 0},
        {std::string(1024, '0'), 10, -1, U64, 0, 0},
        {"1." + std::string(1100, '5'), 10, -1, U64, 0, 0},
        {"10", 37, -1, U64, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " base " + std::to_string(c.base));
        value2 v{};
        v.type = 99;
        EXPECT_EQ(str_parse_all_number_s(&v, c.text.c_str(), c.base, 0), c.rc);
        expect_literal(c, v);
    }
}

TEST(NumericLiteral, StrictModeReportsAndQuietModeDoesNot)
{
    struct {
        std::string text;
        int         base;
        const char *report;
    } const cases[] = {
        {"zz", 10, "[zz] invalid digit"},
        {"-zz", 10, "[zz] invalid digit"},
        {"08", 10, "[08] invalid digit"},
        {"1e", 10, "[1e] exponent digits"},
        {"0x1.8", 16, "[0x1.8] exponent"},
        {"0x1p", 16, "[0x1p] exponent digits"},
        {k_digits300, 10, "integer constant overflow"},
        // The capture keeps 1 KiB of a line: the reason lies beyond it.
        {std::string(2000, '7'), 10, "[77777777"},
        {"1e400", 10, "overflow [1e400]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        value2 v{};
        {
            log_capture cap;
            EXPECT_EQ(str_parse_all_number_s(&v, c.text.c_str(), c.base, 1), -1);
            expect_report(cap, c.report);
        }
        {
            log_capture cap;
            EXPECT_EQ(str_parse_all_number_s(&v, c.text.c_str(), c.base, 0), -1);
            EXPECT_TRUE(no_error_logged(cap));
        }
    }
}

TEST(NumericLiteral, ReadsAsU64I64AndDouble)
{
    struct {
        const char *text;
        uint64_t    u64;
        int64_t     i64;
        double      dbl;
    } const cases[] = {
        {"0x10", 16, 16, 16.0},
        {"010", 8, 8, 8.0},
        {"10", 10, 10, 10.0},
        {"1e3", 1000, 1000, 1000.0},
        {"zz", 0, 0, 0.0},
        {"1.9", 1, 1, 1.9},
        {"-1", UINT64_MAX, -1, -1.0},
        {"-1.5", static_cast<uint64_t>(-1), -1, -1.5},
        // A negative literal keeps its sign when read as i64 or double,
        // whatever unsigned type its magnitude was given.
        {"-2147483648", 2147483648u, -2147483648ll, -2147483648.0},
        {"-3000000000", 1294967296u, -3000000000ll, -3000000000.0},
        {"-9223372036854775808", 9223372036854775808ull, INT64_MIN, -9223372036854775808.0},
        {"9223372036854775807", INT64_MAX, INT64_MAX, 9223372036854775807.0},
        // Doubles out of range are clamped, never converted blindly.
        {"1e30", UINT64_MAX, INT64_MAX, 1e30},
        {"-1e300", static_cast<uint64_t>(INT64_MIN), INT64_MIN, -1e300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(str_parse_u64(c.text), c.u64);
        EXPECT_EQ(str_parse_i64(c.text), c.i64);
        EXPECT_DOUBLE_EQ(str_parse_double(c.text), c.dbl);
    }
    // Beyond the i64 range a negative literal has no value.
    EXPECT_EQ(str_parse_i64("-9223372036854775809"), 0);
    EXPECT_EQ(str_parse_i64("-18446744073709551615"), 0);
}

TEST(NumericLiteral, HexReaderTakesAnOptionalPrefixAndRefusesOverflow)
{
    struct {
        const char *text;
        uint64_t    expected;
    } const cases[] = {
        {"ff", 255}, {"0xff", 255}, {"FFFFFFFFFFFFFFFF", UINT64_MAX}, {"0b1", 0xb1}, {"g", 0}, {"10000000000000000", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(str_parse_hex_u64(c.text), c.expected);
    }
}
