// Numbers from and to text: checked decimal and hexadecimal integers of each
// width, a numeric-literal parser into a value2, sizes with unit suffixes
// ("64k", "1.5M", "2MB"), and byte counts, durations and clock times as short
// texts. A refused text gives 0 and its reason at err level (tag "pal"),
// followed by the stack report. All calls are re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/value/value2.h"

// Integer texts, trimmed of white space first. Reports: "null str [%s]",
// "illegal char [%s]", "overflow [%s]"; the hexadecimal calls give
// "overlimit [%s]" with the value of the low digits that fit.
int32_t  str_atoi(const char *s);   // optional sign, decimal digits
int64_t  str_atoll(const char *s);  // optional sign, decimal digits
uint64_t str_ato64u(const char *s); // decimal digits only
uint32_t str_ato32u(const char *s);
uint16_t str_ato16u(const char *s);
uint8_t  str_ato8u(const char *s);
uint64_t str_ato64x(const char *s); // hexadecimal digits only, no "0x"
uint32_t str_ato32x(const char *s);
uint16_t str_ato16x(const char *s);
uint8_t  str_ato8x(const char *s);
// As str_atoi, but tells a refused text from "0": 0 with *out set, or -1
// (reported) with *out unchanged.
int str_atoi_chk(const char *s, int32_t *out);

// A C-style numeric literal ("-12", "0x1f", "0b101", "017", "10U", "1.5e3",
// "0x1.8p1") into result; base 0 takes the base from the prefix. strict logs
// each refusal. 0, or -1 with result u64 0.
int str_parse_all_number_s(value2 *result, const char *text, int base, int strict);
uint64_t str_parse_u64(const char *text);
// A negative literal keeps its sign (str_parse_i64: one below INT64_MIN gives 0).
int64_t  str_parse_i64(const char *text);
double   str_parse_double(const char *text);
uint64_t str_parse_hex_u64(const char *text);

// A size with an optional unit suffix of one or two letters, case-insensitive,
// units chained ("1kk" is 1048576): c 1, w 2, b 512, kB/kD 1000, k 1024,
// MB/MD 10^6, M 2^20, GB/GD 10^9, G 2^30, TB 10^12, T 2^40, PB 10^15, P 2^50.
// 0 for a missing or refused text, and for a size beyond 64 bits.
uint64_t str_atosize(const char *text);

// A byte count: unit 0 gives "1023", "1.5K", "2.0M"...; another unit gives
// the value in that unit, rounded. Returns out.
char *str_size_fmt(uint64_t value, uint64_t unit, char *out, size_t size);
// Into a per-thread 21-byte buffer, overwritten by the next call.
const char *str_size_fmt_static(uint64_t value, uint64_t unit);

// "1 day 2 hours 3 minutes", "1 hour 5.250 seconds"; empty for a negative duration.
char *str_fmt_duration(char *out, size_t size, double seconds);
// "1_01:01:01.000", "01:01:05.250", "01:05.250"; "00:00" for a negative duration.
char *str_fmt_clock(char *out, size_t size, double seconds);
// "1 year 2 months 3 days 4 hours " (months of 720 hours, years of 8760).
char *str_fmt_hours(int hours, char *out, size_t size);
