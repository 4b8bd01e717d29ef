#include "libpal/os/os_time_str.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

constexpr size_t kStaticTimeSize = 64;
constexpr size_t kStaticSecSize = 24;
constexpr const char *kZeroDateTime = "0000-00-00 00:00:00";
constexpr const char *kZeroDate = "0000-00-00";
constexpr size_t kDigitsLen = 14;

enum : int { kDateAndTime, kTimeOfDay, kDigits };

struct time_layout {
    int base;
    int frac_digits;  // 0, or 3/6/9 digits of the nanoseconds
};

// Indexed by text type.
constexpr std::array<time_layout, 9> kLayouts{{
    {kDateAndTime, 0}, {kDateAndTime, 3}, {kDateAndTime, 6}, {kDateAndTime, 9},
    {kTimeOfDay, 0},   {kTimeOfDay, 3},
    {kDigits, 0},      {kDigits, 3},      {kDigits, 6},
}};
constexpr std::array<uint32_t, 4> kFracDivisor{1000000000, 1000000, 1000, 1};

struct date_word {
    std::string_view word;
    int64_t back;  // seconds before now
};

constexpr std::array<date_word, 4> kDateWords{{
    {"today", 0},
    {"last_week", 604800},
    {"last_mon", 2592000},
    {"last_year", 31536000},
}};

bool sec_to_time_t(int64_t sec, time_t *out)
{
    *out = static_cast<time_t>(sec);
    return static_cast<int64_t>(*out) == sec;
}

char *time_cstr_with(const os_time *time, int type, char *buf, size_t size, bool utc)
{
    if (buf == nullptr || size == 0) {
        return buf;
    }
    buf[0] = '\0';
    if (time == nullptr || time->sec > static_cast<uint64_t>(INT64_MAX)) {
        return buf;
    }
    tm cal{};
    time_t t = 0;
    if (!sec_to_time_t(static_cast<int64_t>(time->sec), &t)) {
        return buf;
    }
    if ((utc ? gmtime_r(&t, &cal) : localtime_r(&t, &cal)) == nullptr) {
        return buf;
    }
    return os_get_time_type2(&cal, time->nsec, type, buf, size);
}

// n decimal digits at text; false when one of them is no digit.
bool fixed_digits(const char *text, size_t n, int *out)
{
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
}

}  // namespace

char *os_get_time_type2(const tm *cal, uint32_t nsec, int type, char *buf, size_t size)
{
    if (cal == nullptr || buf == nullptr || size == 0) {
        return buf;
    }
    if (type < 0 || static_cast<size_t>(type) >= kLayouts.size()) {
        ZLOG_ERR("invalid type=%d", type);
        return buf;
    }
    const time_layout &lay = kLayouts[static_cast<size_t>(type)];
    const int y = cal->tm_year + 1900;
    const int mo = cal->tm_mon + 1;
    char text[kStaticTimeSize];
    int n = 0;
    switch (lay.base) {
    case kDateAndTime:
        n = snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", y, mo, cal->tm_mday, cal->tm_hour,
                     cal->tm_min, cal->tm_sec);
        break;
    case kTimeOfDay:
        n = snprintf(text, sizeof(text), "%02d:%02d:%02d", cal->tm_hour, cal->tm_min, cal->tm_sec);
        break;
    default:
        n = snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", y, mo, cal->tm_mday, cal->tm_hour,
                     cal->tm_min, cal->tm_sec);
        break;
    }
    if (lay.frac_digits > 0 && n > 0 && static_cast<size_t>(n) < sizeof(text)) {
        const uint32_t frac = nsec / kFracDivisor[static_cast<size_t>(lay.frac_digits) / 3];
        snprintf(text + n, sizeof(text) - static_cast<size_t>(n), lay.base == kDigits ? "%0*u" : ".%0*u",
                 lay.frac_digits, frac);
    }
    // The whole text or, when it does not fit, an empty buffer and a report.
    str_safecopy(buf, size, text);
    return buf;
}

char *os_time_cstr(const os_time *time, int type, char *buf, size_t size)
{
    return time_cstr_with(time, type, buf, size, false);
}

const char *os_time_cstr_static(const os_time *time, int type)
{
    thread_local char buf[kStaticTimeSize];
    return os_time_cstr(time, type, buf, sizeof(buf));
}

char *os_time_cstr_utc(const os_time *time, int type, char *buf, size_t size)
{
    return time_cstr_with(time, type, buf, size, true);
}

char *os_now_cstr(int type, char *buf, size_t size)
{
    os_time now{};
    os_time_now(&now);
    return os_time_cstr(&now, type, buf, size);
}

char *os_time_sec_cstr(int64_t sec, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return buf;
    }
    const tm *cal = os_localtime(sec);
    if (cal == nullptr) {
        str_safecopy(buf, size, kZeroDateTime);
        return buf;
    }
    return os_get_time_type2(cal, 0, OS_TIME_DATE_TIME, buf, size);
}

const char *os_time_sec_cstr_static(int64_t sec)
{
    thread_local char buf[kStaticSecSize];
    return os_time_sec_cstr(sec, buf, sizeof(buf));
}

char *os_date_word_cstr(const char *word, char *buf, size_t size)
{
    if (word == nullptr || buf == nullptr || size == 0) {
        return buf;
    }
    for (const auto &row : kDateWords) {
        if (row.word != word) {
            continue;
        }
        os_time now{};
        os_time_now(&now);
        const tm *cal = os_localtime(static_cast<int64_t>(now.sec) - row.back);
        if (cal == nullptr) {
            str_safecopy(buf, size, kZeroDate);
        } else {
            str_sprintf_s(buf, size, "%04d-%02d-%02d", cal->tm_year + 1900, cal->tm_mon + 1, cal->tm_mday);
        }
        break;
    }
    return buf;
}

char *os_elapsed_cstr(uint64_t start_us, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) {
        return buf;
    }
    const uint64_t now = os_tick_us();
    const uint64_t us = now > start_us ? now - start_us : 0;
    str_sprintf_s(buf, size, "%d.%06u", static_cast<int>(us / 1000000), static_cast<unsigned>(us % 1000000));
    return buf;
}

int os_time_parse(const char *text, int type, tm *cal)
{
    if (text == nullptr || cal == nullptr) {
        return -1;
    }
    // Fields start from the caller's values, so the numbers a text lacks leave
    // their fields as they were after the year and month offsets below.
    int v[6] = {cal->tm_year + 1900, cal->tm_mon + 1, cal->tm_mday, cal->tm_hour, cal->tm_min, cal->tm_sec};
    if (type == OS_TIME_DATE_TIME) {
        if (sscanf(text, "%d-%d-%d %d:%d:%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) < 1) {
            return -1;
        }
    } else if (type == OS_TIME_DIGITS) {
        // Fixed positions: a shorter text would be read past its end.
        if (strnlen(text, kDigitsLen) < kDigitsLen) {
            return -1;
        }
        constexpr std::array<size_t, 6> kWidths{4, 2, 2, 2, 2, 2};
        const char *p = text;
        for (size_t i = 0; i < kWidths.size(); i++) {
            if (!fixed_digits(p, kWidths[i], &v[i])) {
                return -1;
            }
            p += kWidths[i];
        }
    } else {
        return -1;
    }
    cal->tm_year = v[0] - 1900;
    cal->tm_mon = v[1] - 1;
    cal->tm_mday = v[2];
    cal->tm_hour = v[3];
    cal->tm_min = v[4];
    cal->tm_sec = v[5];
    cal->tm_isdst = -1;
    return 0;
}

int64_t os_time_parse_local(const char *text, int type)
{
    tm cal{};
    if (os_time_parse(text, type, &cal) != 0) {
        return 0;
    }
    return os_mktime(&cal);
}

int64_t os_time_parse_utc(const char *text, int type)
{
    tm cal{};
    if (os_time_parse(text, type, &cal) != 0) {
        return 0;
    }
    return os_timegm(&cal);
}

int64_t os_time_text_to_sec(const char *text)
{
    return os_time_parse_local(text, OS_TIME_DATE_TIME);
}

tm *os_localtime(int64_t sec)
{
    thread_local tm cal;
    time_t t = 0;
    if (!sec_to_time_t(sec, &t)) {
        return nullptr;
    }
    return localtime_r(&t, &cal);
}

int64_t os_mktime(tm *cal)
{
    return cal == nullptr ? -1 : static_cast<int64_t>(mktime(cal));
}

int64_t os_timegm(tm *cal)
{
    return cal == nullptr ? -1 : static_cast<int64_t>(timegm(cal));
}

uint32_t os_date_u32()
{
    os_time now{};
    os_time_now(&now);
    const tm *cal = os_localtime(static_cast<int64_t>(now.sec));
    if (cal == nullptr) {
        return 0;
    }
    return (static_cast<uint32_t>(cal->tm_year) << 16) | (static_cast<uint32_t>(cal->tm_mon) << 8) |
           static_cast<uint32_t>(cal->tm_mday);
}

void os_systemtime_now(os_systemtime *st)
{
    if (st == nullptr) {
        return;
    }
    os_time now{};
    os_time_now(&now);
    const tm *cal = os_localtime(static_cast<int64_t>(now.sec));
    if (cal == nullptr) {
        *st = {};
        return;
    }
    st->year = static_cast<uint16_t>(cal->tm_year + 1900);
    st->month = static_cast<uint16_t>(cal->tm_mon + 1);
    st->day_of_week = static_cast<uint16_t>(cal->tm_wday);
    st->day = static_cast<uint16_t>(cal->tm_mday);
    st->hour = static_cast<uint16_t>(cal->tm_hour);
    st->minute = static_cast<uint16_t>(cal->tm_min);
    st->second = static_cast<uint16_t>(cal->tm_sec);
    st->msec = static_cast<uint16_t>(now.nsec / 1000000);
}
