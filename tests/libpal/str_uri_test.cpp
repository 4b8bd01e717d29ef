#include "libpal/string/str_uri.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

TEST(PercentEncoding, ModesEncodeTheirSets)
{
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

TEST(PercentEncoding, QueryArguments)
{
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

TEST(PercentEncoding, Decoding)
{
    struct row {
        const char *in;
        const char *args;
        const char *uri;
    };
    const row rows[] = {
        {"a%20b%2", "a b", "a b"}, {"100%", "100", "100"}, {"%41%zz", "Azz", "Azz"}, {"%4g!", "!", "!"},
        {"a+b", "a+b", "a+b"},     {"x%3Fy", "x?y", "x?"}, {"a?b%20", "a?b ", "a?"}, {"%e9", "\xe9", "\xe9"},
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

TEST(PercentEncoding, RedirectModeKeepsUnsafeBytesEncoded)
{
    const char in[] = "a%20b%41%7e%3Fc";
    char out[sizeof(in)];
    char *o       = out;
    const char *i = in;
    str_unescape_uri_imp(&o, &i, sizeof(in), STR_UNESC_REDIRECT);
    EXPECT_STREQ(out, "a%20bA~?");
    EXPECT_EQ(*o, '\0');
}

}  // namespace
