// Time texts: the time of day of the log line header, the date-and-time
// prefixes of log files and audit lines, the start-time stamp, relative date
// words, and the way back from a date text to seconds. Local time unless the
// name says UTC. Calls that take a buffer return it; the _static forms return
// a per-thread buffer that the next call on the same thread overwrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "libpal/basic/os_sync.h"

// Text types; ms/us/ns are the first 3/6/9 digits of the nanoseconds.
enum : int {
    OS_TIME_DATE_TIME    = 0,  // "%04d-%02d-%02d %02d:%02d:%02d"
    OS_TIME_DATE_TIME_MS = 1,  // ... ".%03d"
    OS_TIME_DATE_TIME_US = 2,  // ... ".%06d" (log file lines)
    OS_TIME_DATE_TIME_NS = 3,  // ... ".%09d"
    OS_TIME_HMS          = 4,  // "%02d:%02d:%02d" (log line header)
    OS_TIME_HMS_MS       = 5,  // ... ".%03d"
    OS_TIME_DIGITS       = 6,  // fourteen digits YYYYMMDDhhmmss
    OS_TIME_DIGITS_MS    = 7,  // seventeen digits
    OS_TIME_DIGITS_US    = 8,  // twenty digits
};

// Another type logs "invalid type=%d" and leaves buf unchanged.
char *os_get_time_type2(const tm *cal, uint32_t nsec, int type, char *buf, size_t size);
// buf is emptied first and stays empty when the seconds cannot be converted.
char *os_time_cstr(const os_time *time, int type, char *buf, size_t size);
const char *os_time_cstr_static(const os_time *time, int type);
char *os_time_cstr_utc(const os_time *time, int type, char *buf, size_t size);
// The wall clock now.
char *os_now_cstr(int type, char *buf, size_t size);
// Type 0 of whole seconds, or "0000-00-00 00:00:00" when not convertible.
char *os_time_sec_cstr(int64_t sec, char *buf, size_t size);
const char *os_time_sec_cstr_static(int64_t sec);
// "%04d-%02d-%02d" of today, or 7, 30 or 365 days ago for "last_week",
// "last_mon", "last_year"; "0000-00-00" when not convertible; any other word
// leaves buf unchanged.
char *os_date_word_cstr(const char *word, char *buf, size_t size);
// The time since start_us (an os_tick_us reading) as "%d.%06u".
char *os_elapsed_cstr(uint64_t start_us, char *buf, size_t size);

// Type 0 ("%d-%d-%d %d:%d:%d") or type 6 (fourteen digits) into cal; numbers
// the text lacks leave their fields unchanged. 0, or -1 for another type, a
// text with no number, or a type-6 text shorter than fourteen digits.
int os_time_parse(const char *text, int type, tm *cal);
// Seconds, or 0 when the text is refused.
int64_t os_time_parse_local(const char *text, int type);
int64_t os_time_parse_utc(const char *text, int type);
int64_t os_time_text_to_sec(const char *text);

// The calendar fields of sec in a per-thread record; nullptr when not convertible.
tm *os_localtime(int64_t sec);
int64_t os_mktime(tm *cal);
int64_t os_timegm(tm *cal);
// Today: (years since 1900 << 16) | (month 0-11 << 8) | day of month.
uint32_t os_date_u32();

// The local time now, laid out as a SYSTEMTIME record.
struct os_systemtime {
    uint16_t year;
    uint16_t month;        // 1-12
    uint16_t day_of_week;  // 0 Sunday
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t msec;
};
void os_systemtime_now(os_systemtime *st);
