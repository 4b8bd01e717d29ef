// Numbers from and to text. Parsers work on a view of the caller's text
// trimmed of white space, so no text is too long to be judged: a long run of
// digits is an overflow, never a cut number.
#include "libpal/string/str_num.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_edit.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr double TWO_POW_64 = 18446744073709551616.0;

// Reports quote the text they refuse; one log line holds at most this much of it.
constexpr size_t REPORT_TEXT_MAX = 4096;

bool is_trim_space(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 128 && chr_is_space(u);
}

std::string_view trimmed(const char *s)
{
    std::string_view v(s);
    while (!v.empty() && is_trim_space(v.back()))
        v.remove_suffix(1);
    while (!v.empty() && is_trim_space(v.front()))
        v.remove_prefix(1);
    return v;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char to_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// 0..15 for a hexadecimal digit of either case, else -1.
int hex_value(char c)
{
    if (is_digit(c))
        return c - '0';
    const char l = to_lower(c);
    if (l >= 'a' && l <= 'f')
        return l - 'a' + 10;
    return -1;
}

// The reasons a text is refused, each logged with its own fixed format (so
// that the formats stay literals the compiler checks).
enum class why {
    null_str,
    illegal_char,
    overflow,
    overlimit,
    invalid_digit,
    exponent,
    exponent_digits,
    too_long,
    constant_overflow,
    invalid_suffix,
};

// Logs the reason with (at most REPORT_TEXT_MAX bytes of) the text, then the stack report.
void report(why reason, std::string_view text)
{
    std::array<char, REPORT_TEXT_MAX> buf{};
    const size_t n = text.size() < buf.size() - 1 ? text.size() : buf.size() - 1;
    memcpy(buf.data(), text.data(), n);
    const char *t = buf.data();
    switch (reason) {
    case why::null_str: ZLOG_ERR("null str [%s]", t); break;
    case why::illegal_char: ZLOG_ERR("illegal char [%s]", t); break;
    case why::overflow: ZLOG_ERR("overflow [%s]", t); break;
    case why::overlimit: ZLOG_ERR("overlimit [%s]", t); break;
    case why::invalid_digit: ZLOG_ERR("[%s] invalid digit\n", t); break;
    case why::exponent: ZLOG_ERR("[%s] exponent\n", t); break;
    case why::exponent_digits: ZLOG_ERR("[%s] exponent digits\n", t); break;
    case why::too_long: ZLOG_ERR("[%s] number too long\n", t); break;
    case why::constant_overflow: ZLOG_ERR("[%s] integer constant overflow", t); break;
    case why::invalid_suffix: ZLOG_ERR("[%s] invalid suffix\n", t); break;
    }
    assert_dump_stack();
}

enum class conv { ok, empty, illegal, overflow, overlimit };

// Logs the reason of a refused integer text.
void report_conv(conv rc, const char *s, std::string_view t)
{
    switch (rc) {
    case conv::empty: report(why::null_str, s); break;
    case conv::illegal: report(why::illegal_char, t); break;
    case conv::overflow: report(why::overflow, t); break;
    case conv::overlimit: report(why::overlimit, t); break;
    case conv::ok: break;
    }
}

// Decimal digits only, a value of at most limit.
conv decimal_digits(std::string_view t, uint64_t limit, uint64_t *out)
{
    for (char c : t)
        if (!is_digit(c))
            return conv::illegal;
    uint64_t v = 0;
    for (char c : t) {
        const auto d = static_cast<uint64_t>(c - '0');
        if (v > (limit - d) / 10)
            return conv::overflow;
        v = v * 10 + d;
    }
    *out = v;
    return conv::ok;
}

// Optional sign, then decimal digits, within [min, max]; *out gets the
// value's two's complement bits. A lone sign is 0.
conv parse_signed(std::string_view t, int64_t min, int64_t max, uint64_t *out)
{
    if (t.empty())
        return conv::empty;
    bool neg = false;
    if (t.front() == '+' || t.front() == '-') {
        neg = t.front() == '-';
        t.remove_prefix(1);
    }
    // The magnitude is checked against the bound of its sign, so the whole
    // range of the type is reachable, the most negative value included.
    const uint64_t limit = neg ? 0ull - static_cast<uint64_t>(min) : static_cast<uint64_t>(max);
    uint64_t mag = 0;
    const conv rc = decimal_digits(t, limit, &mag);
    if (rc == conv::ok)
        *out = neg ? 0ull - mag : mag;
    return rc;
}

conv parse_unsigned(std::string_view t, uint64_t max, uint64_t *out)
{
    return t.empty() ? conv::empty : decimal_digits(t, max, out);
}

// Digits weighted from the right; a non-zero digit beyond the type's width
// stops with the value of the digits to its right.
conv parse_hex(std::string_view t, unsigned bits, uint64_t *out)
{
    if (t.empty())
        return conv::empty;
    for (char c : t)
        if (hex_value(c) < 0)
            return conv::illegal;
    const size_t digits = bits / 4;
    uint64_t v = 0;
    size_t pos = 0;
    for (auto it = t.rbegin(); it != t.rend(); ++it, ++pos) {
        const auto d = static_cast<uint64_t>(hex_value(*it));
        if (pos >= digits) {
            if (d != 0) {
                *out = v;
                return conv::overlimit;
            }
            continue;
        }
        v |= d << (4 * pos);
    }
    *out = v;
    return conv::ok;
}

// The bits of the trimmed text's value by one of the parsers above; 0 for a
// refused text, whose reason is logged.
template <typename Parse>
uint64_t ato(const char *s, Parse parse)
{
    PL_ASSERT_TEXT_RET(s != nullptr, "s!=NULL", 0);
    const std::string_view t = trimmed(s);
    uint64_t v = 0;
    const conv rc = parse(t, &v);
    report_conv(rc, s, t);
    return (rc == conv::ok || rc == conv::overlimit) ? v : 0;
}

template <int64_t Min, int64_t Max>
conv signed_in(std::string_view t, uint64_t *v) { return parse_signed(t, Min, Max, v); }
template <uint64_t Max>
conv unsigned_in(std::string_view t, uint64_t *v) { return parse_unsigned(t, Max, v); }
template <unsigned Bits>
conv hex_in(std::string_view t, uint64_t *v) { return parse_hex(t, Bits, v); }

}  // namespace

int32_t str_atoi(const char *s) { return static_cast<int32_t>(ato(s, signed_in<INT32_MIN, INT32_MAX>)); }
int64_t str_atoll(const char *s) { return static_cast<int64_t>(ato(s, signed_in<INT64_MIN, INT64_MAX>)); }
uint64_t str_ato64u(const char *s) { return ato(s, unsigned_in<UINT64_MAX>); }
uint32_t str_ato32u(const char *s) { return static_cast<uint32_t>(ato(s, unsigned_in<UINT32_MAX>)); }
uint16_t str_ato16u(const char *s) { return static_cast<uint16_t>(ato(s, unsigned_in<UINT16_MAX>)); }
uint8_t str_ato8u(const char *s) { return static_cast<uint8_t>(ato(s, unsigned_in<UINT8_MAX>)); }
uint64_t str_ato64x(const char *s) { return ato(s, hex_in<64>); }
uint32_t str_ato32x(const char *s) { return static_cast<uint32_t>(ato(s, hex_in<32>)); }
uint16_t str_ato16x(const char *s) { return static_cast<uint16_t>(ato(s, hex_in<16>)); }
uint8_t str_ato8x(const char *s) { return static_cast<uint8_t>(ato(s, hex_in<8>)); }

int str_atoi_chk(const char *s, int32_t *out)
{
    PL_ASSERT_TEXT_RET(s != nullptr, "s!=NULL", -1);
    const std::string_view t = trimmed(s);
    uint64_t v = 0;
    const conv rc = parse_signed(t, INT32_MIN, INT32_MAX, &v);
    if (rc != conv::ok) {
        report_conv(rc, s, t);
        return -1;
    }
    *out = static_cast<int32_t>(v);
    return 0;
}

// ---- numeric literals ----

namespace {

// Digits, point and exponent of one literal: more is refused as too long.
constexpr size_t LITERAL_MAX = 1023;
// An exponent beyond this already gives infinity or zero; larger ones are clamped.
constexpr int EXP_CLAMP = 100000;

struct literal {
    std::string_view body;  // the text after the sign, for reports
    bool neg = false;
    bool strict = false;
};

int refuse(const literal &lit, why reason, value2 *out)
{
    if (lit.strict)
        report(reason, lit.body);
    out->type = VALUE_TYPE_U64;
    out->v.u64 = 0;
    return -1;
}

// Integer digits: decimal ones always (checked against the base later), letters
// only where the base has them, so "1e3" in base 10 stops before the "e".
size_t collect_int_digits(std::string_view t, size_t pos, int base)
{
    while (pos < t.size()) {
        const int d = hex_value(t[pos]);
        if (d < 0 || (d >= 10 && d >= base))
            break;
        pos++;
    }
    return pos;
}

// A decimal fraction and/or exponent: strtod of the collected characters.
int parse_decimal_float(const literal &lit, std::string_view t, size_t start, size_t pos, value2 *out)
{
    bool any_digit = pos > start;
    if (pos < t.size() && t[pos] == '.') {
        pos++;
        while (pos < t.size() && is_digit(t[pos])) {
            pos++;
            any_digit = true;
        }
    }
    if (!any_digit)
        return refuse(lit, why::invalid_digit, out);
    if (pos < t.size() && (t[pos] == 'e' || t[pos] == 'E')) {
        pos++;
        if (pos < t.size() && (t[pos] == '+' || t[pos] == '-'))
            pos++;
        const size_t exp_start = pos;
        while (pos < t.size() && is_digit(t[pos]))
            pos++;
        if (pos == exp_start)
            return refuse(lit, why::exponent_digits, out);
    }
    if (pos - start > LITERAL_MAX)
        return refuse(lit, why::too_long, out);
    std::array<char, LITERAL_MAX + 1> buf{};
    memcpy(buf.data(), t.data() + start, pos - start);
    errno = 0;
    const double d = strtod(buf.data(), nullptr);
    if (errno == ERANGE && std::isinf(d))
        return refuse(lit, why::overflow, out);
    out->type = VALUE_TYPE_DOUBLE;
    out->v.d = d;
    return 0;
}

// A binary floating-point literal: mantissa digits in the base, a fraction,
// and a mandatory power-of-two exponent ("0x1.8p1" is 3.0).
int parse_binary_float(const literal &lit, std::string_view t, size_t start, size_t pos, int base,
                       value2 *out)
{
    uint64_t mant = 0;
    int scale = 0;  // powers of the base still to apply to mant
    bool any_digit = false;
    auto take = [&](int d, bool fraction) {
        any_digit = true;
        if (mant <= (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
            mant = mant * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            if (fraction)
                scale--;
        } else if (!fraction) {
            scale++;  // precision beyond 64 bits is dropped, the magnitude kept
        }
    };
    for (size_t i = start; i < pos; i++) {
        const int d = hex_value(t[i]);
        if (d >= base)
            return refuse(lit, why::invalid_digit, out);
        take(d, false);
    }
    if (pos < t.size() && t[pos] == '.') {
        pos++;
        for (; pos < t.size() && hex_value(t[pos]) >= 0; pos++) {
            const int d = hex_value(t[pos]);
            if (d >= base)
                return refuse(lit, why::invalid_digit, out);
            take(d, true);
        }
    }
    if (!any_digit)
        return refuse(lit, why::invalid_digit, out);
    if (pos >= t.size() || (t[pos] != 'p' && t[pos] != 'P'))
        return refuse(lit, why::exponent, out);
    pos++;
    bool exp_neg = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
        exp_neg = t[pos] == '-';
        pos++;
    }
    const size_t exp_start = pos;
    int exp = 0;
    for (; pos < t.size() && is_digit(t[pos]); pos++)
        if (exp < EXP_CLAMP)
            exp = exp * 10 + (t[pos] - '0');
    if (pos == exp_start)
        return refuse(lit, why::exponent_digits, out);
    if (pos - start > LITERAL_MAX)
        return refuse(lit, why::too_long, out);
    const double m = static_cast<double>(mant) * std::pow(static_cast<double>(base), scale);
    out->type = VALUE_TYPE_DOUBLE;
    out->v.d = std::ldexp(m, exp_neg ? -exp : exp);
    return 0;
}

int parse_integer(const literal &lit, std::string_view t, size_t start, size_t pos, int base, value2 *out)
{
    if (pos == start)
        return refuse(lit, why::invalid_digit, out);
    // A leading zero makes a decimal literal octal, as in C.
    if (base == 10 && t[start] == '0')
        base = 8;
    uint64_t v = 0;
    for (size_t i = start; i < pos; i++) {
        const int d = hex_value(t[i]);
        if (d >= base)
            return refuse(lit, why::invalid_digit, out);
        const auto ud = static_cast<uint64_t>(d);
        const auto ub = static_cast<uint64_t>(base);
        // A wrapped value would be a wrong number: refuse it.
        if (v > (UINT64_MAX - ud) / ub)
            return refuse(lit, why::constant_overflow, out);
        v = v * ub + ud;
    }
    int nu = 0;
    int nl = 0;
    for (; pos < t.size(); pos++) {
        const char c = to_lower(t[pos]);
        if (c == 'u')
            nu++;
        else if (c == 'l')
            nl++;
        else
            break;
    }
    if (nu > 1 || nl > 2)
        return refuse(lit, why::invalid_suffix, out);
    uint32_t type = v < (1ull << 31) ? VALUE_TYPE_I32
                  : v <= UINT32_MAX ? VALUE_TYPE_U32
                  : v < (1ull << 63) ? VALUE_TYPE_I64
                  : VALUE_TYPE_U64;
    if (nl == 2)
        type = type == VALUE_TYPE_I32 ? VALUE_TYPE_I64 : type == VALUE_TYPE_U32 ? VALUE_TYPE_U64 : type;
    if (nu == 1)
        type = type == VALUE_TYPE_I32 ? VALUE_TYPE_U32 : type == VALUE_TYPE_I64 ? VALUE_TYPE_U64 : type;
    out->type = type;
    switch (type) {
    case VALUE_TYPE_I32: out->v.i32 = static_cast<int32_t>(v); break;
    case VALUE_TYPE_U32: out->v.u32 = static_cast<uint32_t>(v); break;
    case VALUE_TYPE_I64: out->v.i64 = static_cast<int64_t>(v); break;
    default: out->v.u64 = v; break;
    }
    return 0;
}

// The literal without its sign applied; lit->neg tells whether it had one.
int parse_literal(value2 *out, std::string_view t, int base, literal *lit)
{
    const bool chosen = base == 0;
    if (base == 0) {
        if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
            base = 16;
        else if (t.size() >= 2 && t[0] == '0' && (t[1] == 'b' || t[1] == 'B'))
            base = 2;
        else if (!t.empty() && t[0] == '0')
            base = 8;
        else
            base = 10;
    }
    if (!t.empty() && t.front() == '-') {
        lit->neg = true;
        t.remove_prefix(1);
    }
    lit->body = t;
    out->type = VALUE_TYPE_U64;
    out->v.u64 = 0;
    if (t.empty())
        return 0;
    size_t start = 0;
    if (t.size() >= 2 && t[0] == '0') {
        const char p = to_lower(t[1]);
        // In base 16 "0b" is a number, not the binary prefix.
        if (p == 'x' || (p == 'b' && base != 16)) {
            base = p == 'x' ? 16 : 2;
            start = 2;
        }
    }
    const size_t pos = collect_int_digits(t, start, base);
    if (pos - start > LITERAL_MAX)
        return refuse(*lit, why::too_long, out);
    const char next = pos < t.size() ? t[pos] : '\0';
    // A leading "0" makes an integer octal, not a fraction: "0.5" and "0e3"
    // are decimal, where a binary fraction would refuse them for want of "p".
    const bool decimal = base == 10 || (chosen && base == 8);
    if (decimal && (next == '.' || next == 'e' || next == 'E'))
        return parse_decimal_float(*lit, t, start, pos, out);
    if (!decimal && (next == '.' || next == 'p' || next == 'P'))
        return parse_binary_float(*lit, t, start, pos, base, out);
    return parse_integer(*lit, t, start, pos, base, out);
}

int parse_text(value2 *out, const char *text, int base, literal *lit)
{
    out->type = VALUE_TYPE_U64;
    out->v.u64 = 0;
    PL_ASSERT_TEXT_RET(text != nullptr, "text != NULL", -1);
    PL_ASSERT_RET(base == 0 || (base >= 2 && base <= 16), -1);
    return parse_literal(out, trimmed(text), base, lit);
}

}  // namespace

int str_parse_all_number_s(value2 *result, const char *text, int base, int strict)
{
    PL_ASSERT_TEXT_RET(result != nullptr, "result != NULL", -1);
    literal lit;
    lit.strict = strict != 0;
    if (parse_text(result, text, base, &lit) != 0)
        return -1;
    if (lit.neg && value2_minus(result) == -2 && lit.strict)
        report(why::overflow, trimmed(text));
    return 0;
}

uint64_t str_parse_u64(const char *text)
{
    value2 v{};
    str_parse_all_number_s(&v, text, 10, 0);
    return value2_get_u64(&v);
}

int64_t str_parse_i64(const char *text)
{
    value2 v{};
    literal lit;
    if (parse_text(&v, text, 10, &lit) != 0)
        return 0;
    if (!lit.neg)
        return value2_get_i64(&v);
    if (v.type == VALUE_TYPE_DOUBLE) {
        v.v.d = -v.v.d;
        return value2_get_i64(&v);
    }
    // The magnitude is never negative here; a negative literal stays negative
    // in 64 bits, whatever unsigned type its magnitude was given.
    const uint64_t mag = value2_get_u64(&v);
    if (mag > (1ull << 63))
        return 0;
    return static_cast<int64_t>(0ull - mag);
}

double str_parse_double(const char *text)
{
    value2 v{};
    literal lit;
    if (parse_text(&v, text, 10, &lit) != 0)
        return 0.0;
    // The magnitude is never negative here; negating it as a double keeps
    // the sign that an unsigned integer type would have wrapped away.
    const double d = value2_get_double(&v);
    return lit.neg ? -d : d;
}

uint64_t str_parse_hex_u64(const char *text)
{
    value2 v{};
    str_parse_all_number_s(&v, text, 16, 0);
    return value2_get_u64(&v);
}

// ---- sizes ----

namespace {

struct size_unit {
    std::string_view name;
    uint64_t factor;
};

// Looked up in this order, names compared without regard to case, the first
// match winning: "KB" therefore means 1000 and "K" 1024.
constexpr size_unit SIZE_UNITS[] = {
    {"c", 1},
    {"w", 2},
    {"b", 512},
    {"kB", 1000},
    {"kD", 1000},
    {"k", 1024},
    {"KB", 1000},
    {"KD", 1000},
    {"K", 1024},
    {"MB", 1000000},
    {"MD", 1000000},
    {"M", 1048576},
    {"GB", 1000000000},
    {"GD", 1000000000},
    {"G", 1073741824},
    {"TB", 1000000000000ull},
    {"T", 1ull << 40},
    {"PB", 1000000000000000ull},
    {"P", 1ull << 50},
};

// A size text is a number and a unit: anything longer is not one.
constexpr size_t SIZE_TEXT_MAX = 256;

bool unit_matches(std::string_view name, std::string_view at)
{
    if (at.size() < name.size())
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (to_lower(name[i]) != to_lower(at[i]))
            return false;
    return true;
}

}  // namespace

uint64_t str_atosize(const char *text)
{
    if (text == nullptr)
        return 0;
    if (text[0] != '\0' && strchr(" \t\n\v\f\r+-", text[0]) != nullptr)
        return 0;
    const size_t len = strnlen(text, SIZE_TEXT_MAX + 1);
    if (len > SIZE_TEXT_MAX)
        return 0;
    const std::string_view t(text, len);
    size_t num_end = len;
    while (num_end > 0 && is_alpha(t[num_end - 1]))
        num_end--;
    if (len - num_end >= 3 || (num_end == 0 && len > 0))
        return 0;
    std::array<char, SIZE_TEXT_MAX + 1> num{};
    memcpy(num.data(), text, num_end);
    double size = atof(num.data());
    std::string_view suffix = t.substr(num_end);
    while (!suffix.empty()) {
        const size_unit *unit = nullptr;
        for (const auto &u : SIZE_UNITS) {
            if (unit_matches(u.name, suffix)) {
                unit = &u;
                break;
            }
        }
        if (unit == nullptr)
            return 0;
        size *= static_cast<double>(unit->factor);
        suffix.remove_prefix(unit->name.size());
    }
    // NaN, infinity and sizes beyond 64 bits are refused, never wrapped.
    if (!(size >= 0.0) || size >= TWO_POW_64)
        return 0;
    return static_cast<uint64_t>(size);
}

char *str_size_fmt(uint64_t value, uint64_t unit, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size > 0, "out != NULL && size > 0", out);
    if (value == 0) {
        str_safecopy(out, size, "0");
        return out;
    }
    if (unit != 0) {
        // (value + unit/2) / unit without the sum wrapping for large values.
        const uint64_t q = value / unit + ((value % unit) >= unit - unit / 2 ? 1 : 0);
        str_sprintf_s(out, size, "%llu", static_cast<unsigned long long>(q));
        return out;
    }
    if (value <= 1023) {
        str_sprintf_s(out, size, "%llu", static_cast<unsigned long long>(value));
        return out;
    }
    static constexpr char LETTERS[] = "KMGTPEZY";
    uint64_t v = value;
    uint64_t rem = 0;
    int n = 0;
    while (v > 1023 && n < 8) {
        rem = v % 1024;
        v /= 1024;
        n++;
    }
    auto dec = static_cast<unsigned>((rem * 10 + 512) / 1024);
    if (dec == 10) {
        v++;
        dec = 0;
    }
    str_sprintf_s(out, size, "%llu.%u%c", static_cast<unsigned long long>(v), dec, LETTERS[n - 1]);
    return out;
}

const char *str_size_fmt_static(uint64_t value, uint64_t unit)
{
    // 20 digits of the largest count and the NUL.
    thread_local char buf[21];
    return str_size_fmt(value, unit, buf, sizeof(buf));
}

// ---- durations ----

namespace {

struct duration_parts {
    long long days;
    int hours;
    int minutes;
    int seconds;
    double fraction;  // of the input, below one second
};

// Requires: seconds >= 0 (NaN excluded by the caller).
duration_parts split_duration(double seconds)
{
    // A duration beyond the 64-bit range is shown as the largest one.
    const long long whole = seconds >= 9223372036854775807.0 ? INT64_MAX : static_cast<long long>(seconds);
    duration_parts p{};
    p.days = whole / 86400;
    long long rest = whole % 86400;
    p.hours = static_cast<int>(rest / 3600);
    rest %= 3600;
    p.minutes = static_cast<int>(rest / 60);
    p.seconds = static_cast<int>(rest % 60);
    p.fraction = seconds - static_cast<double>(whole);
    if (!(p.fraction >= 0.0 && p.fraction < 1.0))
        p.fraction = 0.0;
    return p;
}

const char *plural(long long n) { return n > 1 ? "s" : ""; }

// Whether the strict append that returned n kept its piece. Once a piece is
// left out the text ends there: a later, shorter piece must not stand where
// a larger unit is missing ("1 hour" for ten days and an hour).
bool piece_fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

}  // namespace

char *str_fmt_duration(char *out, size_t size, double seconds)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size > 0, "out != NULL && size > 0", out);
    out[0] = '\0';
    if (!(seconds >= 0.0))
        return out;
    const duration_parts p = split_duration(seconds);
    if (p.days > 0 && !piece_fits(strcat_printf(out, size, "%lld day%s ", p.days, plural(p.days)), size))
        return out;
    if (p.hours > 0 && !piece_fits(strcat_printf(out, size, "%d hour%s ", p.hours, plural(p.hours)), size))
        return out;
    if (p.minutes > 0) {
        strcat_printf(out, size, "%d minute%s", p.minutes, plural(p.minutes));
    } else {
        const double s = p.seconds + p.fraction;
        strcat_printf(out, size, "%0.3f second%s", s, s > 1.0 ? "s" : "");
    }
    return out;
}

char *str_fmt_clock(char *out, size_t size, double seconds)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size > 0, "out != NULL && size > 0", out);
    if (!(seconds >= 0.0)) {
        str_safecopy(out, size, "00:00");
        return out;
    }
    const duration_parts p = split_duration(seconds);
    char secs[64];
    str_sprintf_s(secs, sizeof(secs), "%.3f", p.seconds + p.fraction);
    const char *dot = strchr(secs, '.');
    const char *frac = dot != nullptr ? dot : "";
    if (p.days > 0)
        str_sprintf_s(out, size, "%lld_%02d:%02d:%02d%s", p.days, p.hours, p.minutes, p.seconds, frac);
    else if (p.hours > 0)
        str_sprintf_s(out, size, "%02d:%02d:%02d%s", p.hours, p.minutes, p.seconds, frac);
    else
        str_sprintf_s(out, size, "%02d:%02d%s", p.minutes, p.seconds, frac);
    return out;
}

char *str_fmt_hours(int hours, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size > 0, "out != NULL && size > 0", out);
    out[0] = '\0';
    int rest = hours;
    if (rest >= 8760) {
        if (!piece_fits(strcat_printf(out, size, "%d year%s ", rest / 8760, plural(rest / 8760)), size))
            return out;
        rest %= 8760;
    }
    if (rest >= 720) {
        if (!piece_fits(strcat_printf(out, size, "%d month%s ", rest / 720, plural(rest / 720)), size))
            return out;
        rest %= 720;
    }
    if (rest >= 24) {
        if (!piece_fits(strcat_printf(out, size, "%d day%s ", rest / 24, plural(rest / 24)), size))
            return out;
        rest %= 24;
    }
    strcat_printf(out, size, "%d hour%s ", rest, plural(rest));
    return out;
}
