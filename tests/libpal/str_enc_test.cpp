#include "libpal/string/str_enc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string b64(const std::string &data, bool url) {
    char out[64];
    int n = str_base64_encode_imp(data.data(), data.size(), out, sizeof(out), url);
    return n < 0 ? "<fail>" : std::string(out, (size_t)n);
}

std::string decode64(const char *text) {
    char out[64];
    int n = str_base64_decode(text, out, sizeof(out));
    return n < 0 ? "<fail>" : std::string(out, (size_t)n);
}

// ---- Base64 ----

TEST(Base64, KnownAnswersInBothAlphabets) {
    struct row {
        std::string data, std, url;
    };
    const row rows[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg,,"},
        {"fo", "Zm8=", "Zm8,"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg,,"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE,"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
        {std::string("\xfb\xff", 2), "+/8=", "-_8,"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(b64(r.data, false), r.std) << r.data;
        EXPECT_EQ(b64(r.data, true), r.url) << r.data;
        EXPECT_EQ(decode64(r.std.c_str()), r.data) << r.std;
        EXPECT_EQ(decode64(r.url.c_str()), r.data) << r.url;
    }
}

TEST(Base64, EncodeNeedsRoomForTheWholeTextAndItsNul) {
    log_capture log;
    char out[9];
    EXPECT_EQ(str_base64_encode("foob", 4, out, 9), 8);
    EXPECT_STREQ(out, "Zm9vYg==");
    EXPECT_EQ(str_base64_encode("foob", 4, out, 8), -1);
    EXPECT_TRUE(log.has("ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))"));
    EXPECT_EQ(str_base64_encode(nullptr, 0, out, 9), -1);
    EXPECT_EQ(str_base64_encode("x", 0x3FFFFFFF, out, 9), -1);
}

TEST(Base64, BufFormsCarryTheTrailingNul) {
    char out[16], back[16];
    EXPECT_STREQ(str_base64_encode_buf("ab", out, sizeof(out)), "YWIA");
    EXPECT_EQ(str_base64_decode(out, back, sizeof(back)), 3);
    EXPECT_EQ(std::string(back, 3), std::string("ab\0", 3));
    EXPECT_STREQ(str_base64_encode_url_buf("\xfb\xff", out, sizeof(out)), "-_8A");
    EXPECT_STREQ(str_base64_encode_buf("\xfb\xff", out, sizeof(out)), "+/8A");

    memset(back, 'x', sizeof(back));
    str_base64_decode_buf("YWIA", back, sizeof(back));
    EXPECT_STREQ(back, "ab");
}

TEST(Base64, FailedBufFormsLeaveOutEmptyAndNeverLogTheText) {
    log_capture log;
    char out[8];
    EXPECT_STREQ(str_base64_encode_buf("user:secret", out, sizeof(out)), "");
    EXPECT_TRUE(log.has("str_base64_encode ib=["));
    EXPECT_FALSE(log.has("secret"));

    log.clear();
    EXPECT_STREQ(str_base64_decode_buf("c2VjcmV0 !", out, sizeof(out)), "");
    EXPECT_TRUE(log.has("str_base64_decode ib=["));
    EXPECT_FALSE(log.has("c2VjcmV0"));
}

TEST(Base64, DecodeStopsAtPaddingAndRefusesForeignCharacters) {
    log_capture log;
    EXPECT_EQ(decode64("Zg==Zm8="), "f");
    EXPECT_EQ(decode64("Zg,,Zm8,"), "f");
    EXPECT_EQ(decode64("Zm9v YmFy"), "<fail>");
    EXPECT_TRUE(log.has("invalid chr=0x20 [ ]"));
    char small[2];
    EXPECT_EQ(str_base64_decode("Zm9v", small, sizeof(small)), -1);
    EXPECT_EQ(str_base64_decode("Zm9v", nullptr, 4), -1);
    EXPECT_TRUE(log.has("ib && ob"));
}

TEST(Base64, DupForms) {
    char *s = str_base64_encode_dup("fooba", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "Zm9vYmE=");
    os_free(s);
    s = str_base64_encode_url_dup("f", 1);
    EXPECT_STREQ(s, "Zg,,");
    os_free(s);

    size_t len = 0;
    void *d = str_base64_decode_dup("Zm9vYmFy", &len);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(static_cast<char *>(d), len), "foobar");
    os_free(d);
    log_capture log;
    EXPECT_EQ(str_base64_decode_dup("Zm9v*", &len), nullptr);
}

// ---- Hexadecimal ----

TEST(Hex, EncodeMeasuresWritesAndRefuses) {
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

TEST(Hex, DecodeBin) {
    struct row {
        const char *hex;
        bool        term;
        int         expect;
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

TEST(Hex, DecodeAllocatingForms) {
    size_t len = 0;
    char ws[] = " 41 4\t2\r\n43 ";
    void *d = str_hex_decode_dup_ws(ws, &len);
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
        bool        keep;
        const char *expect;  // nullptr: refused
    };
    const row rows[] = {
        {"31323334", false, "2143"}, {"31323334", true, "1234"}, {"616263", false, nullptr},
        {"6162", false, nullptr},     {"6162", true, "ab"},       {"", false, nullptr},
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

TEST(Hex, PatternDecode) {
    struct row {
        const char *text;
        int         count;
        const char *mask;
    };
    const row rows[] = {
        {"41?42", 3, "_?_"}, {"??", 2, "??"}, {"", 0, ""}, {"4", -1, ""}, {"4x", -1, ""}, {"41 42", -1, ""},
    };
    for (const row &r : rows) {
        EXPECT_EQ(str_hex_pattern_decode(r.text, nullptr, nullptr), r.count) << r.text;
        if (r.count < 1) continue;
        uint8_t *b = nullptr;
        char *m = nullptr;
        int n = 0;
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

TEST(Hex, SeparatedAndCountedDecoders) {
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
        size_t      size;
        int         expect;
    };
    const sep_row rows[] = {
        {"00:11-22.33_44 55", 8, 6}, {"001122", 8, 3}, {"0011f", 8, 2}, {"0", 8, -1},
        {"0g", 8, -1},               {"001122", 2, -1},
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

TEST(Hex, DigitValues) {
    struct row {
        char c;
        int  v;
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

// ---- Percent-encoding ----

TEST(PercentEncoding, ModesEncodeTheirSets) {
    const std::string in = "a b#%?&+;=\"'~/:\x7f\xe9";
    const char *expect[] = {
        "a%20b%23%25%3F&+;=\"'~/:%7F%E9",
        "a%20b%23%25%3F%26%2B%3B%3D\"'~/:%7F%E9",
        "a%20b%23%25%3F%26%2B%3B%3D%22%27~%2F%3A%7F%E9",
        "a%20b%23%25?&+;=%22%27~/:%7F%E9",
        "a%20b#%?&+;=%22%27~/:%7F%E9",
        "a%20b#%25?&+;=\"'~/:\x7f\xe9",
        "a%20b#%25?&+;=\"'~/:\x7f\xe9",
    };
    for (int mode = 0; mode <= 6; mode++) {
        char out[128];
        EXPECT_EQ(str_escape_uri_imp(nullptr, in.data(), in.size(), mode), strlen(expect[mode]) + 1) << mode;
        EXPECT_EQ(str_escape_uri_imp(out, in.data(), in.size(), mode), strlen(expect[mode])) << mode;
        EXPECT_STREQ(out, expect[mode]) << mode;
    }
    char out[8];
    EXPECT_EQ(str_escape_uri_imp(out, "\0", 1, 1), 3u);  // a NUL byte inside the data
    EXPECT_STREQ(out, "%00");
}

TEST(PercentEncoding, QueryArguments) {
    log_capture log;
    char out[32];
    EXPECT_EQ(str_escape_url_args("a b&c=d", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "a%20b%26c%3Dd");
    EXPECT_EQ(str_escape_url_args("x/y:z", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "x/y:z");
    EXPECT_EQ(str_escape_url_args("a b", out, 5), -1);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(log.has("rlen<=bsize"));
    char *dup = str_escape_url_args_dup("1+1");
    EXPECT_STREQ(dup, "1%2B1");
    os_free(dup);
}

TEST(PercentEncoding, Decoding) {
    struct row {
        const char *in;
        const char *args;
        const char *uri;
    };
    const row rows[] = {
        {"a%20b%2", "a b", "a b"},
        {"100%", "100", "100"},
        {"%41%zz", "Azz", "Azz"},
        {"%4g!", "!", "!"},
        {"a+b", "a+b", "a+b"},
        {"x%3Fy", "x?y", "x?"},
        {"a?b%20", "a?b ", "a?"},
        {"%e9", "\xe9", "\xe9"},
    };
    for (const row &r : rows) {
        char out[32];
        EXPECT_EQ(str_unescape_url_args(r.in, out, sizeof(out)), 0);
        EXPECT_STREQ(out, r.args) << r.in;
        EXPECT_EQ(str_unescape_uri(r.in, out, sizeof(out)), 0);
        EXPECT_STREQ(out, r.uri) << r.in;
    }
    log_capture log;
    char out[4];
    EXPECT_EQ(str_unescape_uri("abcd", out, sizeof(out)), -1);
    EXPECT_TRUE(log.has("len<=bsize"));
}

TEST(PercentEncoding, RedirectModeKeepsUnsafeBytesEncoded) {
    const char in[] = "a%20b%41%7e%3Fc";
    char out[sizeof(in)];
    char *o = out;
    const char *i = in;
    str_unescape_uri_imp(&o, &i, sizeof(in), STR_UNESC_REDIRECT);
    EXPECT_STREQ(out, "a%20bA~?");
    EXPECT_EQ(*o, '\0');
}

// ---- JSON, tab-text and CSV ----

TEST(Escapes, Json) {
    struct row {
        const char *in;
        const char *out;
    };
    const row rows[] = {
        {"q\"b\\t\t\x01", "q\\\"b\\\\t\\t\\u0001"},
        {"\b\f\n\r\x1f", "\\b\\f\\n\\r\\u001F"},
        {"\x7f\xc3\xa9", "\x7f\xc3\xa9"},
        {"", ""},
    };
    for (const row &r : rows) {
        char out[64];
        EXPECT_EQ(str_escape_json_imp(r.in, strlen(r.in), nullptr, 0), strlen(r.out) + 1) << r.out;
        EXPECT_STREQ(str_escape_json(r.in, out, sizeof(out)), r.out);
        char *dup = str_escape_json_dup(r.in);
        EXPECT_STREQ(dup, r.out);
        os_free(dup);
    }
    log_capture log;
    char small[4];
    EXPECT_STREQ(str_escape_json("a\tb", small, sizeof(small)), "");
    EXPECT_EQ(str_escape_json("x", nullptr, 4), nullptr);
    EXPECT_TRUE(log.has("dst!=NULL"));
}

TEST(Escapes, TabText) {
    char out[64];
    EXPECT_EQ(str_escape_tab_imp("a\\b\t\x01", 5, nullptr, 0), 9u);
    EXPECT_STREQ(str_escape_tab_buf("a\\b\t\x01\n", out, sizeof(out)), "a\\\\b\\t\\\x01\\n");
    char *dup = str_escape_tab_dup("\r");
    EXPECT_STREQ(dup, "\\r");
    os_free(dup);

    const char list[] = "a\0bc\0";  // plus the array's own NUL: a double-NUL list
    EXPECT_STREQ(str_escape_tab_zz_buf(list, 0, out, sizeof(out)), "a\\0bc\\0\\0");
    EXPECT_STREQ(str_escape_tab_zz_buf("", 0, out, sizeof(out)), "\\0\\0");
    log_capture log;
    EXPECT_STREQ(str_escape_tab_zz_buf("abcdef", 3, out, sizeof(out)), "\\0\\0");
    EXPECT_TRUE(log.has("[abcdef] error: not zz end"));
}

TEST(Escapes, Csv) {
    char out[32];
    EXPECT_STREQ(str_escape_csv("a,b", out, sizeof(out)), "\"a,b\"");
    EXPECT_STREQ(str_escape_csv("a\"b", out, sizeof(out)), "a\\\"b");
    char *dup = str_escape_csv_dup("x,\ty");
    EXPECT_STREQ(dup, "\"x,\\ty\"");
    os_free(dup);
    log_capture log;
    char small[5];  // "a,b" escapes to 4 bytes with its NUL and needs 2 more
    EXPECT_STREQ(str_escape_csv("a,b", small, sizeof(small)), "");
    EXPECT_TRUE(log.has("dsize >= (nsize + 2)"));
}

// ---- Backslash escapes ----

TEST(BackslashEscapes, DecodeCharacters) {
    struct row {
        const char *in;
        int         c;
        size_t      used;
    };
    const row rows[] = {
        {"x", 'x', 1},          {"\\a", 7, 2},       {"\\e", 27, 2},      {"\\v", 11, 2},  {"\\?", '?', 2},
        {"\\'", '\'', 2},       {"\\u00e9", 0xe9, 6}, {"\\x4g", 4, 3},    {"\\x", 0, 2},   {"\\1010", 'A', 4},
        {"\\0", 0, 2},          {"", -1, 0},
    };
    for (const row &r : rows) {
        const char *p = r.in;
        EXPECT_EQ(str_unescape_get_chr(&p), r.c) << r.in;
        EXPECT_EQ((size_t)(p - r.in), r.used) << r.in;
    }
    log_capture log;
    const char *p = "\\q";
    EXPECT_EQ(str_unescape_get_chr(&p), 'q');
    EXPECT_TRUE(log.has("unknown escape sequence: '\\q'"));
    p = "\\";
    EXPECT_EQ(str_unescape_get_chr(&p), -1);
    EXPECT_TRUE(log.has("unknown escape sequence: '\\x0'"));
}

TEST(BackslashEscapes, WholeTexts) {
    char out[16];
    int len = 0;
    EXPECT_STREQ(str_unescape_cstr_buf("a\\x41\\101\\n", out, sizeof(out), &len), "aAA\n");
    EXPECT_EQ(len, 5);
    str_unescape_cstr_buf("a\\0b", out, sizeof(out), &len);  // a decoded NUL stays and is counted
    EXPECT_EQ(len, 4);
    EXPECT_EQ(out[2], 'b');
    str_unescape_cstr_buf(nullptr, out, sizeof(out), &len);
    EXPECT_EQ(len, 1);

    log_capture log;
    EXPECT_STREQ(str_unescape_cstr_buf("abcd", out, 4, &len), "");
    EXPECT_EQ(len, 1);
    EXPECT_TRUE(log.has("blen=4 error: too small"));

    char *s = str_unescape_cstr_dyn("t\\tx", &len);
    EXPECT_STREQ(s, "t\tx");
    EXPECT_EQ(len, 4);
    os_free(s);
    EXPECT_EQ(str_unescape_cstr_dyn("", &len), nullptr);

    char text[] = "\\x41\\x42";
    EXPECT_STREQ(str_unescape_cstr_inplace(text, &len), "AB");
    EXPECT_EQ(len, 3);
    std::string big(10000, 'y');
    big += "\\n";
    EXPECT_EQ(strlen(str_unescape_cstr_inplace(big.data(), &len)), 10001u);

    s = str_unescape_cstr_unquote_dup("\"a\\tb\"");
    EXPECT_STREQ(s, "a\tb");
    os_free(s);
}

TEST(BackslashEscapes, ShortEscapes) {
    struct row {
        const char *in;
        int         c;
        size_t      used;
    };
    const row rows[] = {
        {"101", 'A', 3}, {"777", 077, 2}, {"08", 0, 1}, {"n", '\n', 1}, {"\\", '\\', 1}, {"q", '\\', 0}, {"", '\\', 0},
    };
    for (const row &r : rows) {
        const char *p = r.in;
        EXPECT_EQ(str_cescape_get_chr(&p), r.c) << r.in;
        EXPECT_EQ((size_t)(p - r.in), r.used) << r.in;
    }
}

// ---- Unicode ----

std::string u16bytes(std::initializer_list<uint16_t> units) {
    std::string s;
    for (uint16_t u : units) s.append(reinterpret_cast<const char *>(&u), 2);
    return s;
}

std::string u32bytes(std::initializer_list<uint32_t> units) {
    std::string s;
    for (uint32_t u : units) s.append(reinterpret_cast<const char *>(&u), 4);
    return s;
}

// Runs one whole conversion; "<errno N>" on failure.
std::string conv(int from, int to, const std::string &in) {
    char out[64];
    const char *ip = in.data();
    size_t left = in.size();
    char *op = out;
    size_t oleft = sizeof(out);
    errno = 0;
    int n = str_conv(from, to, &ip, &left, &op, &oleft);
    if (n < 0 || left) return "<errno " + std::to_string(errno) + ">";
    EXPECT_EQ((size_t)n, sizeof(out) - oleft);
    return std::string(out, (size_t)n);
}

TEST(Unicode, ConversionsBothWays) {
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

TEST(Unicode, InvalidSequencesAreRefused) {
    const std::string ilseq = "<errno " + std::to_string(EILSEQ) + ">";
    struct row {
        int         from;
        std::string in;
    };
    const row rows[] = {
        {STR_CONV_UTF8, "\xc0\x80"},          {STR_CONV_UTF8, "\xc1\xbf"},     {STR_CONV_UTF8, "\xe0\x80\x80"},
        {STR_CONV_UTF8, "\xf0\x80\x80\x80"}, {STR_CONV_UTF8, "\xed\xa0\x80"}, {STR_CONV_UTF8, "\xef\xbf\xbe"},
        {STR_CONV_UTF8, "\xef\xbf\xbf"},     {STR_CONV_UTF8, "\x80"},         {STR_CONV_UTF8, "\xf8\x88\x80\x80\x80"},
        {STR_CONV_UTF8, "\xc3\x28"},         {STR_CONV_UTF8, "\xf4\x90\x80\x80"},
        {STR_CONV_UTF16, u16bytes({0xde00, 0x41})},
        {STR_CONV_UTF16, u16bytes({0xd83d, 0x41})},
        {STR_CONV_UTF32, u32bytes({0x110000})},
        {STR_CONV_UTF32, u32bytes({0xd800})},
    };
    for (const row &r : rows) EXPECT_EQ(conv(r.from, STR_CONV_UTF32, r.in), ilseq) << r.from << " " << r.in;
}

TEST(Unicode, TruncatedInputFullOutputAndUnknownCodes) {
    char out[8];
    struct row {
        int         from;
        std::string in;
        int         produced;
        size_t      left;
    };
    const row rows[] = {
        {STR_CONV_UTF8, "A\xc3", 4, 1},
        {STR_CONV_UTF8, "\xf0\x9f\x98", 0, 3},
        {STR_CONV_UTF16, u16bytes({0x41}) + u16bytes({0xd83d}), 4, 2},
        {STR_CONV_UTF16, "\x41", 0, 1},
    };
    for (const row &r : rows) {
        const char *ip = r.in.data();
        size_t left = r.in.size();
        char *op = out;
        size_t oleft = sizeof(out);
        errno = 0;
        EXPECT_EQ(str_conv(r.from, STR_CONV_UTF32, &ip, &left, &op, &oleft), r.produced);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(left, r.left);
    }

    const char *ip = "\xf0\x9f\x98\x80";
    size_t left = 4;
    char *op = out;
    size_t oleft = 3;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, &op, &oleft), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(left, 4u);

    EXPECT_EQ(str_conv(STR_CONV_UTF8, 7, &ip, &left, &op, &oleft), -1);
    EXPECT_EQ(errno, EBADF);
    left = 0;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, &op, &oleft), 0);

    ip = "a\xc3\xa9";
    left = 3;
    EXPECT_EQ(str_conv(STR_CONV_UTF8, STR_CONV_UTF16, &ip, &left, nullptr, nullptr), 4);  // measuring only
}

TEST(Unicode, WideTextHelpers) {
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

TEST(Unicode, Utf8Put) {
    struct row {
        uint32_t    cp;
        std::string out;
    };
    const row rows[] = {{0x41, "A"},
                        {0xe9, "\xc3\xa9"},
                        {0x20ac, "\xe2\x82\xac"},
                        {0x1f600, "\xf0\x9f\x98\x80"},
                        {0x110000, "?"}};
    for (const row &r : rows) {
        char buf[4];
        EXPECT_EQ(utf8_put(nullptr, r.cp), (int)r.out.size());
        int n = utf8_put(buf, r.cp);
        EXPECT_EQ(std::string(buf, (size_t)n), r.out);
    }
}

// ---- Validity tests ----

TEST(Validity, NamesKeysAndValues) {
    struct row {
        const char *text;
        bool        name, key, val;
    };
    const row rows[] = {
        {"abc", true, true, true},     {"a=b", true, false, true},   {"a&b", true, false, false},
        {"a b", false, false, true},   {"a:b", false, false, true},  {"a#", false, false, true},
        {"a\\b", false, false, true},  {"", true, true, true},       {nullptr, true, true, true},
    };
    for (const row &r : rows) {
        EXPECT_EQ(str_name_is_valid(r.text), r.name) << (r.text ? r.text : "(null)");
        EXPECT_EQ(str_key_is_valid(r.text), r.key) << (r.text ? r.text : "(null)");
        EXPECT_EQ(str_val_is_valid(r.text), r.val) << (r.text ? r.text : "(null)");
    }
    EXPECT_TRUE(str_is_digits("0123"));
    EXPECT_TRUE(str_is_digits(""));
    EXPECT_FALSE(str_is_digits("12a"));
    EXPECT_TRUE(str_has_multi_colon("fe80::1"));
    EXPECT_FALSE(str_has_multi_colon("host:80"));
}

TEST(Validity, NameCheckReasons) {
    struct row {
        const char *text;
        int         mode;
        bool        ok;
        const char *reason;
    };
    const row rows[] = {
        {"", 1, false, "Can't be empty"},
        {"", 2, true, ""},
        {"a/b", 2, false, "Can't Contain [;/\\\"'?:@# ]"},
        {"a=b", 4, false, "Can't Contain [&=]"},
        {"a=b", 8, true, ""},
        {"a&b", 8, false, "Can't Contain [&]"},
        {"a[0]", 16, false, "Can't Contain [[]]"},
        {"good", 31, true, ""},
    };
    for (const row &r : rows) {
        char reason[4096];
        EXPECT_EQ(str_name_check(r.text, r.mode, reason), r.ok) << r.text << " " << r.mode;
        EXPECT_STREQ(reason, r.reason);
    }
}

TEST(Validity, QuotedReplaceAndFirstArgument) {
    char t[] = "a b \"c d\" e";
    EXPECT_STREQ(str_replace_chr_quoted(t, '"', ' ', '_'), "a b \"c_d\" e");

    char q[] = "\"a b\" c";
    char *cut = str_cut_first_arg(q);
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(q, "\"a b\"");
    EXPECT_STREQ(cut + 1, "c");
    char w[] = "cmd arg";
    cut = str_cut_first_arg(w);
    EXPECT_STREQ(w, "cmd");
    EXPECT_STREQ(cut + 1, "arg");
    char none[] = "single";
    EXPECT_EQ(str_cut_first_arg(none), nullptr);
    char open[] = "\"unclosed arg";
    EXPECT_EQ(str_cut_first_arg(open), nullptr);
}

}  // namespace
