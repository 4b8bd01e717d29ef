#include "libblock/crypt/xts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cipher_paths.h"
#include "libblock/crypt/aes.h"
#include "libblock/crypt/aesni.h"

namespace {

struct key_pair {
    aes_schedule s[2];
    explicit key_pair(const std::vector<uint8_t> &key)
    {
        aes256_enc_schedule(key.data(), &s[0]);
        aes256_dec_schedule(key.data(), &s[1]);
    }
};

// FIPS-197 appendix C: plaintext 00112233..ff under the key 000102...
struct fips_case {
    uint32_t    key_size;
    const char *cipher;
};
constexpr fips_case k_fips[] = {
    {16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {32, "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(AesBlock, Fips197KnownAnswersBothWays)
{
    const auto plain = from_hex("00112233445566778899aabbccddeeff");
    std::vector<uint8_t> key(32);
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<uint8_t>(i);
    for (const auto &c : k_fips) {
        SCOPED_TRACE(c.key_size);
        aes_schedule enc{}, dec{};
        ASSERT_EQ(aes_set_enc_key(key.data(), c.key_size, &enc), 0);
        ASSERT_EQ(aes_set_dec_key(key.data(), c.key_size * 8, &dec), 0);
        EXPECT_EQ(enc.last, 16 * (c.key_size / 4 + 6));
        uint8_t block[16];
        ASSERT_EQ(aes_enc_block(plain.data(), block, &enc), 0);
        EXPECT_EQ(std::vector<uint8_t>(block, block + 16), from_hex(c.cipher));
        ASSERT_EQ(aes_dec_block(block, block, &dec), 0);
        EXPECT_EQ(std::vector<uint8_t>(block, block + 16), plain);
    }
}

TEST(AesBlock, BadSizesAndSchedulesAreRefused)
{
    const std::vector<uint8_t> key(32, 7);
    aes_schedule s;
    memset(&s, 0xA5, sizeof(s));
    const aes_schedule before = s;
    EXPECT_EQ(aes_set_enc_key(key.data(), 20, &s), 1);
    EXPECT_EQ(aes_set_dec_key(key.data(), 0, &s), 1);
    EXPECT_EQ(memcmp(&s, &before, sizeof(s)), 0);

    uint8_t in[16] = {1}, out[16] = {2};
    aes_schedule zero{};
    EXPECT_EQ(aes_enc_block(in, out, &zero), -1);
    EXPECT_EQ(aes_dec_block(in, out, &zero), -1);
    EXPECT_EQ(out[0], 2);
}

#if defined(__x86_64__)
TEST(AesBlock, AesNiMatchesPortableOnOneBlockAndOneUnit)
{
    if (!processor_has(CIPHER_PATH_AESNI))
        GTEST_SKIP() << "no AES-NI on this processor";
    const key_pair k(pattern(32, 1));
    auto data = pattern(512, 2);
    auto mine = data;
    aesni_enc_32(&k.s[0], mine.data());
    auto ref = data;
    for (size_t i = 0; i < ref.size(); i += 16)
        aes_enc_block(&ref[i], &ref[i], &k.s[0]);
    EXPECT_EQ(mine, ref);
    aesni_dec_32(&k.s[1], mine.data());
    EXPECT_EQ(mine, data);
    aesni_enc_block(&k.s[0], mine.data());
    aesni_dec_block(&k.s[1], mine.data());
    EXPECT_EQ(mine, data);
}
#endif

// IEEE Std 1619-2007 XTS-AES-256 vectors 10 and 14: Key1 = digits of e,
// Key2 = digits of pi, plaintext 00..ff twice.
const char k_key1[] = "2718281828459045235360287471352662497757247093699959574966967627";
const char k_key2[] = "3141592653589793238462643383279502884197169399375105820974944592";
struct ieee_case {
    uint64_t    unit;
    const char *cipher;
};
const ieee_case k_ieee[] = {
    {0xff,
     "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b5d31e276f8fe4a8d66b317f9ac683f44"
     "680a86ac35adfc3345befecb4bb188fd5776926c49a3095eb108fd1098baec70aaa66999a72a82f27d848b21d4a741b0"
     "c5cd4d5fff9dac89aeba122961d03a757123e9870f8acf1000020887891429ca2a3e7a7d7df7b10355165c8b9a6d0a7d"
     "e8b062c4500dc4cd120c0f7418dae3d0b5781c34803fa75421c790dfe1de1834f280d7667b327f6c8cd7557e12ac3a0f"
     "93ec05c52e0493ef31a12d3d9260f79a289d6a379bc70c50841473d1a8cc81ec583e9645e07b8d9670655ba5bbcfecc6"
     "dc3966380ad8fecb17b6ba02469a020a84e18e8f84252070c13e9f1f289be54fbc481457778f616015e1327a02b140f1"
     "505eb309326d68378f8374595c849d84f4c333ec4423885143cb47bd71c5edae9be69a2ffeceb1bec9de244fbe15992b"
     "11b77c040f12bd8f6a975a44a0f90c29a9abc3d4d893927284c58754cce294529f8614dcd2aba991925fedc4ae74ffac"
     "6e333b93eb4aff0479da9a410e4450e0dd7ae4c6e2910900575da401fc07059f645e8b7e9bfdef33943054ff84011493"
     "c27b3429eaedb4ed5376441a77ed43851ad77f16f541dfd269d50d6a5f14fb0aab1cbb4c1550be97f7ab4066193c4caa"
     "773dad38014bd2092fa755c824bb5e54c4f36ffda9fcea70b9c6e693e148c151"},
    {0xffffffffffULL,
     "64497e5a831e4a932c09be3e5393376daa599548b816031d224bbf50a818ed2350eae7e96087c8a0db51ad290bd00c1a"
     "c1620857635bf246c176ab463be30b808da548081ac847b158e1264be25bb0910bbc92647108089415d45fab1b3d2604"
     "e8a8eff1ae4020cfa39936b66827b23f371b92200be90251e6d73c5f86de5fd4a950781933d79a28272b782a2ec313ef"
     "dfcc0628f43d744c2dc2ff3dcb66999b50c7ca895b0c64791eeaa5f29499fb1c026f84ce5b5c72ba1083cddb5ce45434"
     "631665c333b60b11593fb253c5179a2c8db813782a004856a1653011e93fb6d876c18366dd8683f53412c0c180f9c848"
     "592d593f8609ca736317d356e13e2bff3a9f59cd9aeb19cd482593d8c46128bb32423b37a9adfb482b99453fbe25a41b"
     "f6feb4aa0bef5ed24bf73c762978025482c13115e4015aac992e5613a3b5c2f685b84795cb6e9b2656d8c88157e52c42"
     "f978d8634c43d06fea928f2822e465aa6576e9bf419384506cc3ce3c54ac1a6f67dc66f3b30191e698380bc999b05abc"
     "e19dc0c6dcc2dd001ec535ba18deb2df1a101023108318c75dc98611a09dc48a0acdec676fabdf222f07e026f059b672"
     "b56e5cbc8e1d21bbd867dd927212054681d70ea737134cdfce93b6f82ae22423274e58a0821cc5502e2d0ab4585e94de"
     "6975be5e0b4efce51cd3e70c25a1fbbbd609d273ad5b0d59631c531f6a0a57b9"},
};

TEST_P(CipherPath, Ieee1619Vectors)
{
    const key_pair data_key(from_hex(k_key1));
    const key_pair tweak_key(from_hex(k_key2));
    std::vector<uint8_t> plain(512);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] = static_cast<uint8_t>(i);
    for (const auto &c : k_ieee) {
        SCOPED_TRACE(c.unit);
        auto buf = plain;
        xts_encrypt(buf.data(), buf.size(), c.unit, 0, data_key.s, tweak_key.s, CIPHER_KIND_AES);
        EXPECT_EQ(buf, from_hex(c.cipher));
        xts_decrypt(buf.data(), buf.size(), c.unit, 0, data_key.s, tweak_key.s, CIPHER_KIND_AES);
        EXPECT_EQ(buf, plain);
    }
}

// Every path gives the bytes of the portable block-by-block form, through
// both entries: lengths that end inside a unit and inside a block, first
// blocks other than 0, runs of units across the batches whose tweaks are
// encrypted together, unit numbers that wrap past 2^64. Decryption gives the
// input back; a tail below 16 bytes is untouched.
TEST_P(CipherPath, MatchesPortableBlockForm)
{
    const key_pair k(pattern(32, 3));
    const struct { uint64_t len; uint32_t first_block; uint64_t unit; } cases[] = {
        {0, 0, 9}, {15, 0, 9}, {16, 0, 9}, {1000, 0, 9}, {512, 5, 9}, {4096 + 24, 31, 9}, {3 * 512, 0, 9},
        {17 * 512, 0, 1}, {9 * 512 + 100, 3, 7}, {6 * 512, 0, UINT64_MAX - 2}, {16 * 512, 0, 0xFFFFFFFCull},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.len << " from block " << c.first_block << " of unit " << c.unit);
        const auto plain = pattern(c.len, 4);
        auto ref = plain;
        ASSERT_EQ(cipher_path_force(CIPHER_PATH_PORTABLE), 0);
        xts_encrypt(ref.data(), ref.size(), c.unit, c.first_block, k.s, k.s, CIPHER_KIND_AES);
        ASSERT_EQ(cipher_path_force(GetParam()), 0);

        auto a = plain, b = plain;
        xts_encrypt(a.data(), a.size(), c.unit, c.first_block, k.s, k.s, CIPHER_KIND_AES);
        xts_encrypt_hw(b.data(), b.size(), c.unit, c.first_block, k.s, k.s, CIPHER_KIND_AES);
        EXPECT_EQ(a, ref);
        EXPECT_EQ(b, ref);
        const size_t tail = c.len % 16;
        EXPECT_TRUE(std::equal(a.end() - tail, a.end(), plain.end() - tail));
        if (c.len >= 16) {
            EXPECT_NE(a, plain);
        }
        xts_decrypt_hw(b.data(), b.size(), c.unit, c.first_block, k.s, k.s, CIPHER_KIND_AES);
        EXPECT_EQ(b, plain);
        xts_decrypt(a.data(), a.size(), c.unit, c.first_block, k.s, k.s, CIPHER_KIND_AES);
        EXPECT_EQ(a, plain);
    }
}

// A unit's tweak depends only on its number: encrypting units 2..5 in one
// call or one by one gives the same bytes, and equal plaintext in two units
// gives different ciphertext.
TEST_P(CipherPath, UnitsAdvanceEvery512Bytes)
{
    const key_pair k(pattern(32, 5));
    std::vector<uint8_t> whole(4 * 512, 0x42);
    xts_encrypt(whole.data(), whole.size(), 2, 0, k.s, k.s, CIPHER_KIND_AES);
    for (uint64_t u = 0; u < 4; u++) {
        std::vector<uint8_t> one(512, 0x42);
        xts_encrypt(one.data(), one.size(), 2 + u, 0, k.s, k.s, CIPHER_KIND_AES);
        EXPECT_TRUE(std::equal(one.begin(), one.end(), whole.begin() + 512 * u)) << "unit " << 2 + u;
    }
    EXPECT_FALSE(std::equal(whole.begin(), whole.begin() + 512, whole.begin() + 512));
}

TEST_P(CipherPath, UnknownKindOrFirstBlockChangesNothing)
{
    const key_pair k(pattern(32, 6));
    const auto plain = pattern(1024, 7);
    auto buf = plain;
    xts_encrypt(buf.data(), buf.size(), 0, 0, k.s, k.s, 2);
    xts_encrypt(buf.data(), buf.size(), 0, 32, k.s, k.s, CIPHER_KIND_AES);
    xts_decrypt_hw(buf.data(), buf.size(), 0, 40, k.s, k.s, CIPHER_KIND_AES);
    EXPECT_EQ(buf, plain);
}

TEST(CipherPathChoice, ForcingAPathTheProcessorLacksChangesNothing)
{
    const cipher_path before = cipher_path_current();
    for (const cipher_path p : k_cipher_paths) {
        if (!processor_has(p)) {
            EXPECT_EQ(cipher_path_force(p), -1) << cipher_path_name(p);
        }
    }
    EXPECT_EQ(cipher_path_force(static_cast<cipher_path>(4)), -1);
    EXPECT_STREQ(cipher_path_name(static_cast<cipher_path>(4)), "?");
    EXPECT_EQ(cipher_path_current(), before);
}

INSTANTIATE_TEST_SUITE_P(Paths, CipherPath, testing::ValuesIn(k_cipher_paths), cipher_path_test_name);

}  // namespace
