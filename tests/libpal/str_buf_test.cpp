#include "libpal/string/str_buf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"

namespace {

bool zero_past_text(const str_buf *sb)
{
    for (size_t i = sb->len; i < sb->cap; i++) {
        if (sb->text[i] != '\0') {
            return false;
        }
    }
    return true;
}

TEST(StrBuf, GrowsFourFoldThenTwoFoldWithZeroedSpace)
{
    struct row {
        std::vector<size_t> appends;  // sizes appended in turn to a new builder
        size_t cap;
    };
    const row rows[] = {
        {{}, 4096},
        {{4095}, 4096},
        {{4095, 1}, 16384},
        {{16382}, 16384},
        {{16383}, 65536},           // 16384 needed: a growth must end strictly above it
        {{65534, 1}, 65536},        // exactly full: no growth
        {{65534, 2}, 131072},       // from 65536 on: two-fold
        {{70000}, 131072},          // 16384, 65536, then doubled
        {{131072}, 262144},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.cap);
        str_buf *sb = str_buf_new();
        ASSERT_NE(sb, nullptr);
        ASSERT_TRUE(zero_past_text(sb));
        std::string expected;
        for (size_t n : r.appends) {
            const std::string chunk(n, 'a');
            ASSERT_EQ(str_buf_append(sb, chunk.data(), n), 0);
            expected += chunk;
        }
        EXPECT_EQ(sb->cap, r.cap);
        EXPECT_EQ(sb->len, expected.size());
        EXPECT_EQ(std::string(sb->text), expected);
        EXPECT_TRUE(zero_past_text(sb));
        str_buf_free(sb);
    }
}

TEST(StrBuf, GrowthAfterResetZeroesOnlyNewSpace)
{
    str_buf *sb = str_buf_new();
    ASSERT_NE(sb, nullptr);
    const std::string big(5000, 'b');
    str_buf_append_str(sb, big.c_str());
    str_buf_reset(sb);
    EXPECT_EQ(sb->len, 0u);
    EXPECT_EQ(str_buf_cstr(sb), nullptr);
    EXPECT_EQ(sb->text[0], '\0');
    EXPECT_EQ(sb->text[1], '\0');
    const std::string huge(20000, 'c');
    str_buf_append_str(sb, huge.c_str());
    EXPECT_EQ(sb->cap, 65536u);
    EXPECT_TRUE(zero_past_text(sb));
    str_buf_free(sb);
}

TEST(StrBuf, AppendsBytesTextsAndFormats)
{
    str_buf *sb = str_buf_new();
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(str_buf_append(sb, "x", 0), 0);
    EXPECT_EQ(sb->len, 0u);
    EXPECT_EQ(str_buf_append(sb, "a\0b", 3), 0);
    EXPECT_EQ(sb->len, 3u);
    EXPECT_EQ(std::string(sb->text, 3), std::string("a\0b", 3));
    str_buf_reset(sb);
    EXPECT_EQ(str_buf_appendf(sb, "%s=%d", "k", 42), 4);
    EXPECT_EQ(str_buf_appendf(sb, "%s", ""), 0);
    EXPECT_EQ(str_buf_putc(sb, ';'), 0);
    EXPECT_EQ(str_buf_putc_once(sb, ';'), 0);
    EXPECT_EQ(str_buf_putc_once(sb, '\n'), 0);
    EXPECT_STREQ(str_buf_cstr(sb), "k=42;\n");
    // Appending the builder's own text across a growth.
    const std::string fill(4000, 'f');
    str_buf_append_str(sb, fill.c_str());
    const size_t len = sb->len;
    EXPECT_EQ(str_buf_append(sb, sb->text, len), 0);
    EXPECT_EQ(std::string(sb->text), "k=42;\n" + fill + "k=42;\n" + fill);
    str_buf_free(sb);
}

TEST(StrBuf, DeletesFromTheEnd)
{
    str_buf *sb = str_buf_new();
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(str_buf_del_last(sb), 0u);
    str_buf_append_str(sb, "abcdef");
    EXPECT_EQ(str_buf_del_last(sb), 6u);
    EXPECT_STREQ(sb->text, "abcde");
    EXPECT_EQ(str_buf_del_tail(sb, 2), 0);
    EXPECT_STREQ(sb->text, "abc");
    EXPECT_EQ(sb->text[3], '\0');
    EXPECT_EQ(sb->text[4], '\0');
    EXPECT_EQ(str_buf_del_tail(sb, 100), 0);
    EXPECT_EQ(sb->len, 0u);
    EXPECT_TRUE(zero_past_text(sb));
    str_buf_free(sb);
}

TEST(StrBuf, ReplaceRewritesEveryOccurrence)
{
    str_buf *sb = str_buf_new();
    ASSERT_NE(sb, nullptr);
    str_buf_append_str(sb, "a-b-c");
    EXPECT_EQ(str_buf_replace(sb, "-", "::"), 0);
    EXPECT_STREQ(sb->text, "a::b::c");
    EXPECT_EQ(sb->len, 7u);
    str_buf_free(sb);
}

TEST(StrBuf, DetachHandsOverTheText)
{
    str_buf *empty = str_buf_new();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(str_buf_detach(empty), nullptr);

    str_buf *empty2 = str_buf_new();
    ASSERT_NE(empty2, nullptr);
    char *text = str_buf_detach_nonnull(empty2);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    os_free(text);

    str_buf *full = str_buf_new();
    ASSERT_NE(full, nullptr);
    str_buf_append_str(full, "kept");
    text = str_buf_detach(full);
    EXPECT_STREQ(text, "kept");
    os_free(text);
}

}  // namespace
