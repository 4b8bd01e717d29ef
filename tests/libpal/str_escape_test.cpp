#include "libpal/string/str_escape.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

TEST(Escapes, Json)
{
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

TEST(Escapes, TabText)
{
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

TEST(Escapes, Csv)
{
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

TEST(BackslashEscapes, DecodeCharacters)
{
    struct row {
        const char *in;
        int c;
        size_t used;
    };
    const row rows[] = {
        {"x", 'x', 1},
        {"\\a", 7, 2},
        {"\\e", 27, 2},
        {"\\v", 11, 2},
        {"\\?", '?', 2},
        {"\\'", '\'', 2},
        {"\\u00e9", 0xe9, 6},
        {"\\x4g", 4, 3},
        {"\\x", 0, 2},
        {"\\1010", 'A', 4},
        {"\\0", 0, 2},
        {"", -1, 0},
        // A JSON escape is four digits: the letters after it are text.
        {"\\u001Fab", 0x1f, 6},
        {"\\U00000041BC", 'A', 10},
        {"\\x41BC", 0x41bc, 6},
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

TEST(BackslashEscapes, WholeTexts)
{
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

TEST(BackslashEscapes, ShortEscapes)
{
    struct row {
        const char *in;
        int c;
        size_t used;
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

}  // namespace
