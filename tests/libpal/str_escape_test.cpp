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

// Peer text for a log line: nothing that could end the line, start a new
// one or reach a terminal as a control survives; readable text is kept.
TEST(Escapes, LogTextFromPeers)
{
    struct row {
        std::string in;
        const char *out;
    };
    const row rows[] = {
        {"disk0", "disk0"},
        {"a\nb\rc", "a\\x0ab\\x0dc"},
        {"\n2026-12-11 07:00:00.000000 INFO  1 --- [main] fake\r\n", "\\x0a2026-12-11 07:00:00.000000 INFO  1 --- [main] fake\\x0d\\x0a"},
        {"\x1b]0;PWNED\x07\x1b[2J", "\\x1b]0;PWNED\\x07\\x1b[2J"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\t\x7f", "\\x09\\x7f"},
        {"<script>alert(1)</script>", "<script>alert(1)</script>"},
        {"back\\slash", "back\\slash"},
        // Well-formed characters of two, three and four bytes stay.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe \xc2\xa0", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe \xc2\xa0"},
        // C1 controls: CSI (U+009B) acts as ESC [ on some terminals.
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J"},
        // Lone continuation bytes, bytes never in UTF-8, a lead byte at the end.
        {"\x80\xbf\xff\xfe", "\\x80\\xbf\\xff\\xfe"},
        {"x\xe2\x82", "x\\xe2\\x82"},
        {"\xe2\x82" "A", "\\xe2\\x82A"},
        // Overlong forms ("/" and NUL), a surrogate, a code point above U+10FFFF.
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
        {"\xc1\x80", "\\xc1\\x80"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"", ""},
    };
    for (const row &r : rows) {
        char out[256];
        EXPECT_EQ(str_escape_log_imp(r.in.data(), r.in.size(), out, sizeof(out)), strlen(r.out)) << r.out;
        EXPECT_STREQ(out, r.out);
    }
    char out[64];
    EXPECT_STREQ(str_escape_log("a\x1b" "b", out, sizeof(out)), "a\\x1bb");
    EXPECT_STREQ(str_escape_log(nullptr, out, sizeof(out)), "");
}

// The output never passes its size, and is cut before a whole escape or
// character, never inside one.
TEST(Escapes, LogTextIsBounded)
{
    struct row {
        const char *in;
        size_t size;
        const char *out;
    };
    const row rows[] = {
        {"abcdef", 4, "abc"},
        {"ab\ncd", 6, "ab"},
        {"ab\ncd", 7, "ab\\x0a"},
        {"a\xe2\x82\xac", 4, "a"},
        {"a\xe2\x82\xac", 5, "a\xe2\x82\xac"},
        {"abc", 1, ""},
    };
    for (const row &r : rows) {
        std::vector<char> out(r.size + 8, '#');
        EXPECT_EQ(str_escape_log_imp(r.in, strlen(r.in), out.data(), r.size), strlen(r.out)) << r.in;
        EXPECT_STREQ(out.data(), r.out);
        EXPECT_EQ(out[r.size], '#') << r.in;
    }
    char untouched = '#';
    EXPECT_EQ(str_escape_log_imp("abc", 3, &untouched, 0), 0u);
    EXPECT_EQ(untouched, '#');
    // A long hostile text: 4096 ESC bytes into the standard buffer.
    const std::string flood(4096, '\x1b');
    std::vector<char> big(STR_ESCAPE_LOG_SIZE);
    const size_t n = str_escape_log_imp(flood.data(), flood.size(), big.data(), big.size());
    EXPECT_EQ(n, (STR_ESCAPE_LOG_SIZE - 1) / 4 * 4);
    EXPECT_EQ(std::string(big.data()).find('\x1b'), std::string::npos);
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
