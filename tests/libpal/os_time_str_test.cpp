#include "libpal/os/os_time_str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <regex>
#include <string>
#include <unistd.h>

#include "liblog/log2.h"

namespace {

// 5 March 2024, 07:08:09, nanoseconds 123456789.
tm sample_tm()
{
    tm cal{};
    cal.tm_year = 124;
    cal.tm_mon = 2;
    cal.tm_mday = 5;
    cal.tm_hour = 7;
    cal.tm_min = 8;
    cal.tm_sec = 9;
    return cal;
}
constexpr uint32_t kNsec = 123456789;
constexpr int64_t kSampleUtc = 1709622489;

TEST(TimeText, TypesOfOneMoment)
{
    struct row {
        int type;
        const char *text;
    };
    const row rows[] = {
        {0, "2024-03-05 07:08:09"},
        {1, "2024-03-05 07:08:09.123"},
        {2, "2024-03-05 07:08:09.123456"},
        {3, "2024-03-05 07:08:09.123456789"},
        {4, "07:08:09"},
        {5, "07:08:09.123"},
        {6, "20240305070809"},
        {7, "20240305070809123"},
        {8, "20240305070809123456"},
    };
    const tm cal = sample_tm();
    for (const auto &r : rows) {
        SCOPED_TRACE(r.type);
        char buf[64] = "";
        EXPECT_STREQ(os_get_time_type2(&cal, kNsec, r.type, buf, sizeof(buf)), r.text);
        const os_time t{static_cast<uint64_t>(kSampleUtc), kNsec};
        EXPECT_STREQ(os_time_cstr_utc(&t, r.type, buf, sizeof(buf)), r.text);
    }
}

TEST(TimeText, InvalidTypeLogsAndLeavesBuffer)
{
    // The complaint goes through the default log context.
    fflush(stderr);
    char path[] = "/tmp/zorv_time_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    const int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    const tm cal = sample_tm();
    char buf[64] = "untouched";
    os_get_time_type2(&cal, 0, 9, buf, sizeof(buf));
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    char out[512] = {};
    pread(fd, out, sizeof(out) - 1, 0);
    close(fd);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_NE(strstr(out, "invalid type=9\n"), nullptr) << out;

    // os_time_cstr empties its buffer first.
    const os_time t{static_cast<uint64_t>(kSampleUtc), 0};
    log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(0), 0);
    EXPECT_STREQ(os_time_cstr(&t, 42, buf, sizeof(buf)), "");
    log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(1), 0);
}

TEST(TimeText, SmallBufferEmptiesStrictly)
{
    const tm cal = sample_tm();
    char buf[8] = "xxxxxxx";
    log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(0), 0);
    os_get_time_type2(&cal, 0, 0, buf, sizeof(buf));
    log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(1), 0);
    EXPECT_STREQ(buf, "");
}

TEST(TimeText, ParseBothFormsGiveSameFields)
{
    tm a{};
    tm b{};
    ASSERT_EQ(os_time_parse("20240305070809", 6, &a), 0);
    ASSERT_EQ(os_time_parse("2024-3-5 7:8:9", 0, &b), 0);
    for (const tm *p : {&a, &b}) {
        EXPECT_EQ(p->tm_year, 124);
        EXPECT_EQ(p->tm_mon, 2);
        EXPECT_EQ(p->tm_mday, 5);
        EXPECT_EQ(p->tm_hour, 7);
        EXPECT_EQ(p->tm_min, 8);
        EXPECT_EQ(p->tm_sec, 9);
        EXPECT_EQ(p->tm_isdst, -1);
    }
    EXPECT_EQ(os_time_parse_utc("2024-03-05 07:08:09", 0), kSampleUtc);
    EXPECT_EQ(os_time_parse_utc("20240305070809", 6), kSampleUtc);
}

TEST(TimeText, ParseRefusals)
{
    struct row {
        const char *text;
        int type;
    };
    const row rows[] = {
        {"2024030507080", 6},   // one digit short: never read past the end
        {"2024030507080x", 6},
        {"2024-03-05 07:08:09", 2},
        {"", 0},
        {"noon", 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        tm cal = sample_tm();
        EXPECT_EQ(os_time_parse(r.text, r.type, &cal), -1);
        EXPECT_EQ(cal.tm_year, 124);
        EXPECT_EQ(os_time_parse_local(r.text, r.type), 0);
    }
    // Numbers the text lacks leave their fields as they were.
    tm cal = sample_tm();
    ASSERT_EQ(os_time_parse("2020-1-2", 0, &cal), 0);
    EXPECT_EQ(cal.tm_year, 120);
    EXPECT_EQ(cal.tm_mon, 0);
    EXPECT_EQ(cal.tm_mday, 2);
    EXPECT_EQ(cal.tm_hour, 7);
    EXPECT_EQ(cal.tm_sec, 9);
}

TEST(TimeText, LocalRoundTripAndSecondsText)
{
    const int64_t sec = os_time_text_to_sec("2024-03-05 07:08:09");
    char buf[32];
    EXPECT_STREQ(os_time_sec_cstr(sec, buf, sizeof(buf)), "2024-03-05 07:08:09");
    EXPECT_STREQ(os_time_sec_cstr_static(sec), "2024-03-05 07:08:09");
    EXPECT_STREQ(os_time_sec_cstr(INT64_MAX, buf, sizeof(buf)), "0000-00-00 00:00:00");
    const os_time t{static_cast<uint64_t>(sec), 5000000};
    EXPECT_STREQ(os_time_cstr_static(&t, 5), "07:08:09.005");
    const tm *cal = os_localtime(sec);
    ASSERT_NE(cal, nullptr);
    EXPECT_EQ(cal->tm_hour, 7);
}

std::string local_date(time_t when)
{
    tm cal{};
    localtime_r(&when, &cal);
    char buf[16];
    strftime(buf, sizeof(buf), "%Y-%m-%d", &cal);
    return buf;
}

TEST(TimeText, DateWords)
{
    struct row {
        const char *word;
        time_t back;
    };
    const row rows[] = {{"today", 0}, {"last_week", 604800}, {"last_mon", 2592000}, {"last_year", 31536000}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.word);
        char buf[16] = "";
        os_date_word_cstr(r.word, buf, sizeof(buf));
        EXPECT_EQ(buf, local_date(time(nullptr) - r.back));
    }
    char buf[16] = "kept";
    EXPECT_STREQ(os_date_word_cstr("yesterday", buf, sizeof(buf)), "kept");
}

TEST(TimeText, NowTextsAndRecords)
{
    char buf[32];
    EXPECT_TRUE(std::regex_match(std::string(os_now_cstr(4, buf, sizeof(buf))), std::regex("\\d{2}:\\d{2}:\\d{2}")));
    EXPECT_TRUE(std::regex_match(std::string(os_now_cstr(6, buf, sizeof(buf))), std::regex("\\d{14}")));

    const time_t now = time(nullptr);
    tm cal{};
    localtime_r(&now, &cal);
    const uint32_t packed = os_date_u32();
    EXPECT_EQ(packed >> 16, static_cast<uint32_t>(cal.tm_year));
    EXPECT_EQ((packed >> 8) & 0xff, static_cast<uint32_t>(cal.tm_mon));
    EXPECT_EQ(packed & 0xff, static_cast<uint32_t>(cal.tm_mday));

    os_systemtime st{};
    os_systemtime_now(&st);
    EXPECT_EQ(st.year, cal.tm_year + 1900);
    EXPECT_EQ(st.month, cal.tm_mon + 1);
    EXPECT_EQ(st.day, cal.tm_mday);
    EXPECT_EQ(st.day_of_week, cal.tm_wday);
    EXPECT_LT(st.msec, 1000);
}

TEST(TimeText, ElapsedSinceTick)
{
    char buf[32];
    const uint64_t start = os_tick_us() - 1500000;
    // Seconds with six decimals; a loaded machine may run late, never early.
    const std::string text = os_elapsed_cstr(start, buf, sizeof(buf));
    ASSERT_TRUE(std::regex_match(text, std::regex("\\d+\\.\\d{6}"))) << text;
    const double secs = std::stod(text);
    EXPECT_GE(secs, 1.5) << text;
    EXPECT_LT(secs, 60.0) << text;
    EXPECT_STREQ(os_elapsed_cstr(os_tick_us() + 10000000, buf, sizeof(buf)), "0.000000");
}

}  // namespace
