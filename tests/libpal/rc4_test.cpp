#include "libpal/hash/rc4.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/string/str_hex.h"
#include "str_log_capture.h"

namespace {

std::vector<uint8_t> bytes(const std::string &s)
{
    return {s.begin(), s.end()};
}

std::string hex(const std::vector<uint8_t> &v)
{
    std::string out(2 * v.size() + 1, '\0');
    str_bin_to_hex(v.data(), v.size(), out.data(), out.size());
    out.pop_back();
    return out;
}

std::vector<uint8_t> crypt_once(const std::string &key, const std::vector<uint8_t> &in)
{
    rc4_ctx ctx;
    EXPECT_EQ(rc4_init(&ctx, reinterpret_cast<const uint8_t *>(key.data()), key.size()), 0);
    std::vector<uint8_t> out(in.size());
    rc4_crypt(&ctx, in.data(), out.data(), in.size());
    return out;
}

}  // namespace

TEST(Rc4, PublishedKnownAnswers)
{
    struct row {
        const char *key;
        const char *plain;
        const char *cipher;
    };
    const row rows[] = {
        {"Key", "Plaintext", "bbf316e8d940af0ad3"},
        {"Wiki", "pedia", "1021bf0420"},
        {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(hex(crypt_once(r.key, bytes(r.plain))), r.cipher);
    }
    // The key stream itself: zeros in give the stream out.
    EXPECT_EQ(hex(crypt_once("Key", std::vector<uint8_t>(10, 0))), "eb9f7781b734ca72a719");
}

TEST(Rc4, RoundTripOfOneMebibyteInPlace)
{
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    const std::vector<uint8_t> original = data;
    const std::string key               = "a key of some length";
    rc4_ctx ctx;
    ASSERT_EQ(rc4_init(&ctx, reinterpret_cast<const uint8_t *>(key.data()), key.size()), 0);
    rc4_crypt(&ctx, data.data(), data.data(), data.size());
    EXPECT_NE(data, original);
    ASSERT_EQ(rc4_init(&ctx, reinterpret_cast<const uint8_t *>(key.data()), key.size()), 0);
    rc4_crypt(&ctx, data.data(), data.data(), data.size());
    EXPECT_EQ(data, original);
}

TEST(Rc4, EachCallRestartsItsIndicesOnThePermutationLeftBehind)
{
    const std::string key = "Key";
    const std::vector<uint8_t> zeros(16, 0);
    const std::vector<uint8_t> whole = crypt_once(key, zeros);
    rc4_ctx ctx;
    ASSERT_EQ(rc4_init(&ctx, reinterpret_cast<const uint8_t *>(key.data()), key.size()), 0);
    std::vector<uint8_t> halves(16);
    rc4_crypt(&ctx, zeros.data(), halves.data(), 8);
    rc4_crypt(&ctx, zeros.data() + 8, halves.data() + 8, 8);
    EXPECT_EQ(std::vector<uint8_t>(halves.begin(), halves.begin() + 8),
              std::vector<uint8_t>(whole.begin(), whole.begin() + 8));
    EXPECT_NE(halves, whole);
    // A length of 0 leaves the permutation as it was.
    rc4_ctx before = ctx;
    uint8_t none   = 0;
    rc4_crypt(&ctx, &none, &none, 0);
    EXPECT_EQ(std::memcmp(before.s, ctx.s, sizeof(ctx.s)), 0);
}

TEST(Rc4, EmptyKeyIsRefusedAndTheContextKept)
{
    rc4_ctx ctx;
    const uint8_t key[] = {1, 2, 3};
    ASSERT_EQ(rc4_init(&ctx, key, sizeof(key)), 0);
    const rc4_ctx before = ctx;
    log_capture cap;
    EXPECT_EQ(rc4_init(&ctx, key, 0), -1);
    EXPECT_EQ(rc4_init(&ctx, nullptr, 3), -1);
    EXPECT_EQ(std::memcmp(before.s, ctx.s, sizeof(ctx.s)), 0);
    EXPECT_TRUE(cap.has("empty key refused"));
}
