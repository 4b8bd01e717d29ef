#include "libpal/string/str_check.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

TEST(Validity, NamesKeysAndValues)
{
    struct row {
        const char *text;
        bool name, key, val;
    };
    const row rows[] = {
        {"abc", true, true, true},    {"a=b", true, false, true},  {"a&b", true, false, false},
        {"a b", false, false, true},  {"a:b", false, false, true}, {"a#", false, false, true},
        {"a\\b", false, false, true}, {"", true, true, true},      {nullptr, true, true, true},
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

TEST(Validity, NameCheckReasons)
{
    struct row {
        const char *text;
        int mode;
        bool ok;
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

TEST(Validity, QuotedReplaceAndFirstArgument)
{
    char t[] = "a b \"c d\" e";
    EXPECT_STREQ(str_replace_chr_quoted(t, '"', ' ', '_'), "a b \"c_d\" e");

    char q[]  = "\"a b\" c";
    char *cut = str_cut_first_arg(q);
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(q, "\"a b\"");
    EXPECT_STREQ(cut + 1, "c");
    char w[] = "cmd arg";
    cut      = str_cut_first_arg(w);
    EXPECT_STREQ(w, "cmd");
    EXPECT_STREQ(cut + 1, "arg");
    char none[] = "single";
    EXPECT_EQ(str_cut_first_arg(none), nullptr);
    char open[] = "\"unclosed arg";
    EXPECT_EQ(str_cut_first_arg(open), nullptr);
}

}  // namespace
