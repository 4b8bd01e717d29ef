#include "libpal/string/str_utf.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string u16bytes(std::initializer_list<uint16_t> units)
{
    std::string s;
    for (uint16_t u : units)
        s.append(reinterpret_cast<const char *>(&u), 2);
    return s;
}

std::string u32bytes(std::initializer_list<uint32_t> units)
{
    std::string s;
    for (uint32_t u : units)
        s.append(reinterpret_cast<const char *>(&u), 4);
    return s;
}

// Runs one whole conversion; "<errno N>" on failure.
std::string conv(int from, int to, const std::string &in)
{
    char out[64];
    const char *ip = in.data();
    size_t left    = in.size();
    char *op       = out;
    size_t oleft   = sizeof(out);
    errno          = 0;
    int n          = str_conv(from, to, &ip, &left, &op, &oleft);
    if (n < 0 || left)
        return "<errno " + std::to_string(errno) + ">";
    EXPECT_EQ((size_t)n, sizeof(out) - oleft);
    return std::string(out, (size_t)n);
}

TEST(Unicode, ConversionsBothWays)
{
    struct row {
        std::string u8, u16, u32;
    };
    const row rows[] = {
        {"A", u16bytes({0x41}), u32bytes({0x41})},
        {"\xc3\xa9", u16bytes({0xe9}), u32bytes({0xe9})},
        {"\xe2\x82\xac", u16bytes({0x20ac}), u32bytes({0x20ac})},
        {"\xf0\x9f\x98\x80", u16bytes({0xd83d, 0xde00}), u32bytes({0x1f600})},
        {"\xf4\x8f\xbf\xbf", u16bytes({0xdbff, 0xdfff}), u32bytes({0x10ffff})},
    };
    for (const row &r : rows) {
        EXPECT_EQ(conv(STR_CONV_UTF8, STR_CONV_UTF16, r.u8), r.u16) << r.u8;
        EXPECT_EQ(conv(STR_CONV_UTF8, STR_CONV_UTF32, r.u8), r.u32) << r.u8;
        EXPECT_EQ(conv(STR_CONV_UTF16, STR_CONV_UTF8, r.u16), r.u8) << r.u8;
        EXPECT_EQ(conv(STR_CONV_UTF32, STR_CONV_UTF8, r.u32), r.u8) << r.u8;
        EXPECT_EQ(conv(STR_CONV_UTF16, STR_CONV_UTF32, r.u16), r.u32) << r.u8;
    }
}

TEST(Unicode, InvalidSequencesAreRefused)
{
    const std::string ilseq = "<errno " + std::to_string(EILSEQ) + ">";
    struct row {
        int from;
        std::string in;
    };
    const row rows[] = {
        {STR_CONV_UTF8, "\xc0\x80"},
        {STR_CONV_UTF8, "\xc1\xbf"},
        {STR_CONV_UTF8, "\xe0\x80\x80"},
        {STR_CONV_UTF8, "\xf0\x80\x80\x80"},
        {STR_CONV_UTF8, "\xed\xa0\x80"},
        {STR_CONV_UTF8, "\xef\xbf\xbe"},
        {STR_CONV_UTF8, "\xef\xbf\xbf"},
        {STR_CONV_UTF8, "\x80"},
        {STR_CONV_UTF8, "\xf8\x88\x80\x80\x80"},
        {STR_CONV_UTF8, "\xc3\x28"},
        {STR_CONV_UTF8, "\xf4\x90\x80\x80"},
        {STR_CONV_UTF16, u16bytes({0xde00, 0x41})},
        {STR_CONV_UTF16, u16bytes({0xd83d, 0x41})},
        {STR_CONV_UTF32, u32bytes({0x110000})},
        {STR_CONV_UTF32, u32bytes({0xd800})},
    };
    for (const row &r : rows)
        EXPECT_EQ(conv(r.from, STR_CONV_UTF32, r.in), ilseq) << r.from << " " << r.in;
}

TEST(Unicode, TruncatedInputFullOutputAndUnknownCodes)
{
    char out[8];
    struct row {
        int from;
        std::string in;
        int produced;
        size_t left;
    };
    const row rows[] = {
        {STR_CONV_UTF8, "A\xc3", 4, 1},
        {STR_CONV_UTF8, "\xf0\x9f\x98", 0, 3},
        {STR_CONV_UTF16, u16bytes({0x41}) + u16bytes({0xd83d}), 4, 2},
        {STR_CONV_UTF16, "\x41", 0, 1},
    };
    for (const row &r : rows) {
        const char *ip = r.in.data();
        size_t left    = r.in.size();
        char *op       = out;
        size_t oleft   = sizeof(out);
        errno          = 0;
        EXPECT_EQ(str_conv(r.from, STR_CONV_UTF32, &ip, &left, &op, &oleft), r.produced);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(left, r.left);
    }

    const char *ip = "\xf0\x9f\x98\x80";
    size_t left    = 4;
    char *op       = out;
    size_t oleft   = 3;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, &op, &oleft), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(left, 4u);

    EXPECT_EQ(str_conv(STR_CONV_UTF8, 7, &ip, &left, &op, &oleft), -1);
    EXPECT_EQ(errno, EBADF);
    left = 0;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, &op, &oleft), 0);

    ip   = "a\xc3\xa9";
    left = 3;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, nullptr, nullptr), 4);  // measuring only
}

TEST(Unicode, WideTextHelpers)
{
    EXPECT_EQ(str_u82w_len("\xc3\xa9"), 4);
    errno = 0;
    EXPECT_EQ(str_u82w_len("\xc0\x80"), -1);
    EXPECT_EQ(errno, EILSEQ);

    const char *text = "a\xc3\xa9\xf0\x9f\x98\x80";
    uint16_t wide[8];
    ASSERT_EQ(str_u82w_n(text, wide, sizeof(wide)), wide);
    EXPECT_EQ(wstrlen16(wide), 4u);
    EXPECT_EQ(wide[2], 0xd83d);
    EXPECT_EQ(str_w2u8_len(wide), 8);
    char back[16];
    EXPECT_STREQ(str_w2u8_n(wide, back, sizeof(back)), text);
    EXPECT_EQ(str_w2u8_n(wide, back, 7), nullptr);
    EXPECT_STREQ(str_w2u8_buf(wide, back, 7), "");
    size_t need = 0;
    EXPECT_TRUE(str_w2u8_size(nullptr, &need, wide));
    EXPECT_EQ(need, 8u);
    EXPECT_TRUE(str_w2u8_size(back, &need, wide));
    EXPECT_EQ(str_u82w_n(text, wide, 8), nullptr);
    EXPECT_EQ(str_u82w_buf(text, wide, 8)[0], 0);

    const uint16_t lone[] = {0x41, 0xd800, 0};
    EXPECT_EQ(str_w2u8_len(lone), -1);

    uint16_t buf[8];
    const uint16_t ab[] = {'a', 'b', 0}, c[] = {'c', 0};
    wstrcpy16(buf, ab);
    wstrcat16(buf, c);
    EXPECT_EQ(wstrlen16(buf), 3u);
    EXPECT_EQ(buf[2], 'c');
}

TEST(Unicode, Utf8Put)
{
    struct row {
        uint32_t cp;
        std::string out;
    };
    const row rows[] = {
        {0x41, "A"}, {0xe9, "\xc3\xa9"}, {0x20ac, "\xe2\x82\xac"}, {0x1f600, "\xf0\x9f\x98\x80"}, {0x110000, "?"}};
    for (const row &r : rows) {
        char buf[4];
        EXPECT_EQ(utf8_put(nullptr, r.cp), (int)r.out.size());
        int n = utf8_put(buf, r.cp);
        EXPECT_EQ(std::string(buf, (size_t)n), r.out);
    }
}

}  // namespace
