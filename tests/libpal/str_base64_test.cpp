#include "libpal/string/str_base64.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

std::string b64(const std::string &data, bool url)
{
    char out[64];
    int n = str_base64_encode_imp(data.data(), data.size(), out, sizeof(out), url);
    return n < 0 ? "<fail>" : std::string(out, (size_t)n);
}

std::string decode64(const char *text)
{
    char out[64];
    int n = str_base64_decode(text, out, sizeof(out));
    return n < 0 ? "<fail>" : std::string(out, (size_t)n);
}

TEST(Base64, KnownAnswersInBothAlphabets)
{
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

TEST(Base64, EncodeNeedsRoomForTheWholeTextAndItsNul)
{
    log_capture log;
    char out[9];
    EXPECT_EQ(str_base64_encode("foob", 4, out, 9), 8);
    EXPECT_STREQ(out, "Zm9vYg==");
    EXPECT_EQ(str_base64_encode("foob", 4, out, 8), -1);
    EXPECT_TRUE(log.has("ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))"));
    EXPECT_EQ(str_base64_encode(nullptr, 0, out, 9), -1);
    EXPECT_EQ(str_base64_encode("x", 0x3FFFFFFF, out, 9), -1);
}

TEST(Base64, BufFormsCarryTheTrailingNul)
{
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

TEST(Base64, FailedBufFormsLeaveOutEmptyAndNeverLogTheText)
{
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

TEST(Base64, DecodeStopsAtPaddingAndRefusesForeignCharacters)
{
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

TEST(Base64, DupForms)
{
    char *s = str_base64_encode_dup("fooba", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "Zm9vYmE=");
    os_free(s);
    s = str_base64_encode_url_dup("f", 1);
    EXPECT_STREQ(s, "Zg,,");
    os_free(s);

    size_t len = 0;
    void *d    = str_base64_decode_dup("Zm9vYmFy", &len);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(static_cast<char *>(d), len), "foobar");
    os_free(d);
    log_capture log;
    EXPECT_EQ(str_base64_decode_dup("Zm9v*", &len), nullptr);
}

}  // namespace
