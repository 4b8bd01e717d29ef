#include "libblock/bd_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cipher_paths.h"
#include "xts_reference.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"

namespace {

struct cipher_deleter {
    void operator()(bd_cipher *c) const { bd_cipher_free(c); }
};
using cipher_ptr = std::unique_ptr<bd_cipher, cipher_deleter>;

cipher_ptr keyed(const std::string &key_hex)
{
    cipher_ptr c(bd_cipher_new("aes"));
    std::vector<uint8_t> key(64, 0);
    const auto k = from_hex(key_hex);
    std::copy(k.begin(), k.end(), key.begin());
    EXPECT_EQ(bd_cipher_set_key(c.get(), key.data()), 0);
    return c;
}

using BdCipher = CipherPath;

// One key as data key and tweak key, units from the export's first byte:
// the bytes match XTS built by hand on AES-ECB outside this code, and that
// code decrypts what was written. Keys: all zero (an export without a key
// text), one byte padded with zeros, and 64 bytes of which only the first 32
// count. A length of 1000 leaves its last 8 bytes as they were; 19 units
// cross the batches whose tweaks are encrypted together.
TEST_P(BdCipher, MatchesIndependentXts)
{
    const std::string long_key = "00112233445566778899aabbccddeeff102132435465768798a9bacbdcedfe0f"
                                 "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    const struct { std::string key; int64_t offset; size_t len; } cases[] = {
        {"", 0, 512},
        {"5a", 1024, 4096},
        {"c0ffee", 1024, 1000},
        {"c0ffee", 512 * 5, 512 * 19},
        {long_key, 512 * 1000003LL, 3 * 512},
        {long_key.substr(0, 64), 512 * 1000003LL, 3 * 512},
    };
    xts_reference ref;
    std::vector<std::vector<uint8_t>> plain, mine;
    for (const auto &c : cases) {
        plain.push_back(pattern(c.len, static_cast<uint32_t>(c.offset)));
        mine.push_back(plain.back());
        auto ctx = keyed(c.key);
        bd_cipher_encrypt(ctx.get(), c.offset, mine.back().data(), c.len);
        ref.add("enc", c.key, c.offset, plain.back());
        ref.add("dec", c.key, c.offset, mine.back());
    }
    const auto out = ref.run();
    ASSERT_EQ(out.size(), 2 * std::size(cases));
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto &c = cases[i];
        SCOPED_TRACE(c.key + " at " + std::to_string(c.offset));
        EXPECT_EQ(mine[i], out[2 * i]);
        EXPECT_EQ(plain[i], out[2 * i + 1]);
        const size_t tail = c.len % 16;
        EXPECT_TRUE(std::equal(mine[i].end() - tail, mine[i].end(), plain[i].end() - tail));
        auto back = mine[i];
        auto ctx = keyed(c.key);
        bd_cipher_decrypt(ctx.get(), c.offset, back.data(), back.size());
        EXPECT_EQ(back, plain[i]);
    }
}

TEST(BdCipherGlue, OnlyAesIsKnown)
{
    for (const char *name : {"AES", "des", "", "aes "})
        EXPECT_EQ(bd_cipher_new(name), nullptr) << name;
    EXPECT_EQ(bd_cipher_new(nullptr), nullptr);
    str_vector *v = bd_cipher_list();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->count, 1u);
    EXPECT_STREQ(v->items[0], "aes");
    str_vector_free(v);
}

TEST(BdCipherGlue, UnknownKindRefusesKeyAndKeepsSchedulesZero)
{
    cipher_ptr c(bd_cipher_new("aes"));
    ASSERT_NE(c, nullptr);
    c->kind = 2;
    const std::vector<uint8_t> key(32, 1);
    EXPECT_EQ(bd_cipher_set_key(c.get(), key.data()), -1);
    const aes_schedule zero[2] = {};
    EXPECT_EQ(memcmp(c->schedules, zero, sizeof(zero)), 0);
}

// The schedules are the key in another form: freeing the context clears
// them before the memory goes back to the allocator.
const aes_schedule *g_watched = nullptr;
bool                g_watched_clear = false;
pl_free_proc        g_real_free = nullptr;

void watching_free(void *p)
{
    if (p != nullptr && p == g_watched) {
        const auto *b = static_cast<const uint8_t *>(p);
        g_watched_clear = std::all_of(b, b + 2 * sizeof(aes_schedule), [](uint8_t x) { return x == 0; });
    }
    g_real_free(p);
}

TEST(BdCipherGlue, FreeClearsTheSchedules)
{
    auto c = keyed("0123456789abcdef");
    g_watched = c->schedules;
    g_real_free = g_free_proc;
    pl_malloc_init(g_malloc_proc, g_realloc_proc, watching_free);
    c.reset();
    pl_malloc_init(g_malloc_proc, g_realloc_proc, g_real_free);
    EXPECT_TRUE(g_watched_clear);
}

INSTANTIATE_TEST_SUITE_P(Paths, BdCipher, testing::ValuesIn(k_cipher_paths), cipher_path_test_name);

}  // namespace
