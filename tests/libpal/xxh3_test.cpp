#include "libpal/hash/xxh3.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "libpal/string/str_hex.h"
#include "str_log_capture.h"

namespace {

using state_ptr = std::unique_ptr<XXH3_state_t, decltype(&pl_xxh3_128_free)>;

state_ptr new_state()
{
    return state_ptr(pl_xxh3_128_new(), pl_xxh3_128_free);
}

std::string hex(const uint8_t *d, size_t n)
{
    std::string s(2 * n + 1, '\0');
    str_bin_to_hex(d, n, s.data(), s.size());
    s.pop_back();
    return s;
}

std::string one_shot(const std::string &m)
{
    uint8_t d[PL_XXH3_128_DIGEST_SIZE];
    pl_xxh3_128_buf(m.data(), m.size(), d);
    return hex(d, sizeof(d));
}

std::string finish(XXH3_state_t *s)
{
    uint8_t d[PL_XXH3_128_DIGEST_SIZE];
    pl_xxh3_128_final(s, d);
    return hex(d, sizeof(d));
}

std::string sample(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    return s;
}

std::string text_of(const XXH3_state_t *s)
{
    char text[PL_XXH3_CTX_TEXT_SIZE];
    EXPECT_EQ(pl_xxh3_128_get_ctx(s, text, sizeof(text)), 0);
    return text;
}

// The lengths where the library changes how it holds a message: short
// inputs, its 240-byte limit, its 256-byte buffer, a stripe, a block.
constexpr size_t k_cuts[] = {0, 1, 16, 128, 240, 241, 256, 257, 1024, 1025, 5000};

}  // namespace

TEST(Xxh3, KnownAnswersInCanonicalOrder)
{
    EXPECT_EQ(one_shot(""), "99aa06d3014798d86001c324468d497f");
    EXPECT_EQ(one_shot("abc"), "06b05ab6733a618578af5f94892f3950");
    // The library's own non-dispatching routine, high half first.
    const std::string million(1000000, 'a');
    const XXH128_hash_t h = XXH3_128bits(million.data(), million.size());
    char want[33];
    snprintf(want, sizeof(want), "%016llx%016llx", static_cast<unsigned long long>(h.high64),
             static_cast<unsigned long long>(h.low64));
    EXPECT_EQ(one_shot(million), want);

    state_ptr s = new_state();
    ASSERT_NE(s, nullptr);
    for (size_t at = 0; at < million.size(); at += 4099)
        ASSERT_EQ(pl_xxh3_128_update(s.get(), million.data() + at, std::min<size_t>(4099, million.size() - at)), 0);
    EXPECT_EQ(finish(s.get()), want);
}

TEST(Xxh3, ResumesFromItsText)
{
    const std::string m = sample(6000);
    for (size_t cut : k_cuts) {
        state_ptr a = new_state();
        pl_xxh3_128_update(a.get(), m.data(), cut);
        const std::string text = text_of(a.get());
        ASSERT_EQ(text.size(), 2 * PL_XXH3_STATE_SIZE);
        state_ptr b = new_state();
        ASSERT_EQ(pl_xxh3_128_set_ctx(b.get(), text.c_str()), 0) << cut;
        pl_xxh3_128_update(b.get(), m.data() + cut, m.size() - cut);
        EXPECT_EQ(finish(b.get()), one_shot(m)) << cut;
    }
}

// The text carries the writer's address of the library's secret; the reader
// uses its own, so a text from another process (another address) resumes.
TEST(Xxh3, ForeignSecretPointerIsReplaced)
{
    const std::string m = sample(3000);
    state_ptr a = new_state();
    pl_xxh3_128_update(a.get(), m.data(), 1000);
    std::string text = text_of(a.get());
    const size_t at = 2 * offsetof(XXH3_state_t, extSecret);
    text.replace(at, 16, "efbeaddeefbeadde");
    state_ptr b = new_state();
    ASSERT_EQ(pl_xxh3_128_set_ctx(b.get(), text.c_str()), 0);
    pl_xxh3_128_update(b.get(), m.data() + 1000, m.size() - 1000);
    EXPECT_EQ(finish(b.get()), one_shot(m));
}

TEST(Xxh3, ResumesInASecondProcess)
{
    const std::string m = sample(3000);
    for (size_t cut : {size_t{100}, size_t{2000}}) {
        state_ptr a = new_state();
        pl_xxh3_128_update(a.get(), m.data(), cut);
        const std::string cmd = std::string(XXH3_RESUME_BIN) + " " + text_of(a.get()) + " " + m.substr(cut);
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char out[64] = {};
        const bool got = fgets(out, sizeof(out), p) != nullptr;
        EXPECT_EQ(pclose(p), 0);
        ASSERT_TRUE(got);
        EXPECT_EQ(std::string(out), one_shot(m) + "\n") << cut;
    }
}

TEST(Xxh3, TextBufferTooSmallFails)
{
    state_ptr s = new_state();
    char text[PL_XXH3_CTX_TEXT_SIZE - 1];
    log_capture log;
    EXPECT_EQ(pl_xxh3_128_get_ctx(s.get(), text, sizeof(text)), -1);
    EXPECT_TRUE(log.has("str_bin_encode_hex failed\n"));
}

// A refused text leaves the state as it was: it still gives the digest of
// what it was fed.
TEST(Xxh3, BadTextIsRefusedAndLeavesTheState)
{
    const std::string m = sample(2000);
    state_ptr ref = new_state();
    pl_xxh3_128_update(ref.get(), m.data(), 700);
    const std::string good = text_of(ref.get());

    auto patched = [&](size_t offset, const char *hex_bytes) {
        std::string t = good;
        t.replace(2 * offset, strlen(hex_bytes), hex_bytes);
        return t;
    };
    struct row {
        const char *what;
        std::string text;
        const char *report;
    } rows[] = {
        {"odd length", good.substr(1), "str_hex_decode_bin failed\n"},
        {"not hex", "zz" + good.substr(2), "str_hex_decode_bin failed\n"},
        {"longer than the state", good + "00", "str_hex_decode_bin failed\n"},
        {"buffered beyond the buffer", patched(offsetof(XXH3_state_t, bufferedSize), "ffffffff"), nullptr},
        {"buffered disagrees with a short length", patched(offsetof(XXH3_state_t, totalLen), "1000000000000000"),
         nullptr},
        {"stripe count beyond a block", patched(offsetof(XXH3_state_t, nbStripesSoFar), "ffff000000000000"), nullptr},
        {"another secret size", patched(offsetof(XXH3_state_t, secretLimit), "01"), nullptr},
        {"a seeded state", patched(offsetof(XXH3_state_t, useSeed), "01"), nullptr},
    };
    state_ptr s = new_state();
    pl_xxh3_128_update(s.get(), m.data(), 700);
    for (const row &r : rows) {
        log_capture log;
        EXPECT_EQ(pl_xxh3_128_set_ctx(s.get(), r.text.c_str()), -1) << r.what;
        if (r.report != nullptr) {
            EXPECT_TRUE(log.has(r.report)) << r.what;
        }
        EXPECT_EQ(text_of(s.get()), good) << r.what;
    }
    pl_xxh3_128_update(s.get(), m.data() + 700, m.size() - 700);
    EXPECT_EQ(finish(s.get()), one_shot(m));
}

// A shorter valid text replaces only the leading bytes of the state.
TEST(Xxh3, ShortTextReplacesLeadingBytes)
{
    state_ptr s = new_state();
    pl_xxh3_128_update(s.get(), "abcdef", 6);
    const std::string before = text_of(s.get());
    ASSERT_EQ(pl_xxh3_128_set_ctx(s.get(), "01020304"), 0);
    const std::string after = text_of(s.get());
    EXPECT_EQ(after.substr(0, 8), "01020304");
    EXPECT_EQ(after.substr(8), before.substr(8));
}
