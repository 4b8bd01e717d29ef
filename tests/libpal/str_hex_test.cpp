#include "libpal/string/str_hex.h"

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

TEST(Hex, EncodeMeasuresWritesAndRefuses)
{
    const uint8_t data[] = {0x00, 0xAB, 0xFF};
    char out[8];
    EXPECT_EQ(str_bin_encode_hex(data, 3, nullptr, 0), 7);
    EXPECT_EQ(str_bin_encode_hex(data, 3, out, 7), 6);
    EXPECT_STREQ(out, "00abff");
    EXPECT_EQ(str_bin_encode_hex(data, 3, out, 6), -1);
    EXPECT_EQ(str_bin_encode_hex("AB", -1, out, sizeof(out)), 4);
    EXPECT_STREQ(out, "4142");

    EXPECT_TRUE(str_bin_to_hex(data, 3, out, 7));
    EXPECT_STREQ(out, "00abff");
    EXPECT_FALSE(str_bin_to_hex(data, 3, out, 6));
    EXPECT_STREQ(out, "");

    char *dup = str_hex_encode_dup("AB");
    EXPECT_STREQ(dup, "4142");
    os_free(dup);
}

TEST(Hex, DecodeBin)
{
    struct row {
        const char *hex;
        bool term;
        int expect;
        std::string bytes;
    };
    const row rows[] = {
        {"4142", true, 2, std::string("AB\0", 3)},
        {"4142", false, 2, "AB"},
        {"aBcD", false, 2, "\xab\xcd"},
        {"", false, 0, ""},
        {"aBc", false, -1, ""},
        {"0g", false, -1, ""},
    };
    for (const row &r : rows) {
        char out[8];
        int n = str_hex_decode_bin(r.hex, r.term, out, sizeof(out));
        EXPECT_EQ(n, r.expect) << r.hex;
        if (n >= 0) {
            EXPECT_EQ(std::string(out, (size_t)n + (r.term ? 1 : 0)), r.bytes) << r.hex;
        }
    }
    char out[2];
    EXPECT_EQ(str_hex_decode_bin("4142", true, nullptr, 0), 3);
    EXPECT_EQ(str_hex_decode_bin("4142", false, nullptr, 0), 2);
    EXPECT_EQ(str_hex_decode_bin("4142", true, out, sizeof(out)), -1);
}

TEST(Hex, DecodeAllocatingForms)
{
    size_t len = 0;
    char ws[]  = " 41 4\t2\r\n43 ";
    void *d    = str_hex_decode_dup_ws(ws, &len);
    EXPECT_STREQ(ws, "414243");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(static_cast<char *>(d), len), "ABC");
    os_free(d);
    EXPECT_EQ(str_hex_decode_dup("414", &len), nullptr);

    char *s = str_hex_decode_str("6869");
    EXPECT_STREQ(s, "hi");
    os_free(s);

    struct row {
        const char *hex;
        bool keep;
        const char *expect;  // nullptr: refused
    };
    const row rows[] = {
        {"31323334", false, "2143"}, {"31323334", true, "1234"}, {"616263", false, nullptr},
        {"6162", false, nullptr},    {"6162", true, "ab"},       {"", false, nullptr},
    };
    for (const row &r : rows) {
        char *got = str_hex_decode_swap_digits(r.hex, r.keep);
        if (r.expect) {
            EXPECT_STREQ(got, r.expect) << r.hex;
        } else {
            EXPECT_EQ(got, nullptr) << r.hex;
        }
        os_free(got);
    }
}

TEST(Hex, PatternDecode)
{
    struct row {
        const char *text;
        int count;
        const char *mask;
    };
    const row rows[] = {
        {"41?42", 3, "_?_"}, {"??", 2, "??"}, {"", 0, ""}, {"4", -1, ""}, {"4x", -1, ""}, {"41 42", -1, ""},
    };
    for (const row &r : rows) {
        EXPECT_EQ(str_hex_pattern_decode(r.text, nullptr, nullptr), r.count) << r.text;
        if (r.count < 1)
            continue;
        uint8_t *b = nullptr;
        char *m    = nullptr;
        int n      = 0;
        EXPECT_EQ(str_hex_pattern_decode_dup(r.text, &b, &n, &m), r.count);
        EXPECT_EQ(n, r.count);
        EXPECT_STREQ(m, r.mask);
        os_free(b);
        os_free(m);
    }
    uint8_t b[3];
    char m[3];
    ASSERT_EQ(str_hex_pattern_decode("41?42", b, m), 3);
    EXPECT_EQ(b[0], 0x41);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 0x42);
}

TEST(Hex, SeparatedAndCountedDecoders)
{
    uint8_t out[8];
    size_t n = 0;
    EXPECT_TRUE(hex_decode_n("0a0B", 4, out, sizeof(out), &n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(out[1], 0x0b);
    EXPECT_FALSE(hex_decode_n("0a0", 3, out, sizeof(out), &n));  // one character left over
    EXPECT_EQ(n, 1u);
    EXPECT_FALSE(hex_decode_n("0a0b", 4, out, 1, &n));  // max reached before the end
    EXPECT_FALSE(hex_decode_n("0z", 2, out, sizeof(out), &n));

    struct sep_row {
        const char *text;
        size_t size;
        int expect;
    };
    const sep_row rows[] = {
        {"00:11-22.33_44 55", 8, 6}, {"001122", 8, 3}, {"0011f", 8, 2}, {"0", 8, -1}, {"0g", 8, -1}, {"001122", 2, -1},
    };
    for (const sep_row &r : rows)
        EXPECT_EQ(hex_decode_sep(r.text, strlen(r.text), out, r.size), r.expect) << r.text;

    memset(out, 0, sizeof(out));
    EXPECT_EQ(str_hex_sep_decode("de:ad:be", ":", out), 0);
    EXPECT_EQ(out[2], 0xbe);
    EXPECT_EQ(str_hex_sep_decode("deadbe", nullptr, out), 0);
    EXPECT_EQ(str_hex_sep_decode("de-ad", ":", out), 1);
    EXPECT_EQ(str_hex_sep_decode("dea", nullptr, out), 1);
    EXPECT_EQ(str_hex_sep_decode("zz", nullptr, out), 1);
    EXPECT_EQ(str_hex_sep_decode(nullptr, nullptr, out), 0);
}

TEST(Hex, DigitValues)
{
    struct row {
        char c;
        int v;
    };
    const row rows[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'g', -1}, {' ', -1}, {'\0', -1}};
    for (const row &r : rows) {
        uint8_t v = 99;
        EXPECT_EQ(hex_chr_val(&v, r.c), r.v >= 0) << r.c;
        if (r.v >= 0) {
            EXPECT_EQ(v, r.v);
        }
        EXPECT_EQ(hex_chr_value(r.c), r.v < 0 ? 255 : r.v);
        EXPECT_EQ(hex_chr_val_tab(r.c), r.v);
    }
    EXPECT_EQ(hex_chr_val_tab(0x1ff), -1);
}

}  // namespace
