#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/hash/hash_cpu.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/string/str_hex.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

// One digest family behind plain function pointers, so every case runs over
// every algorithm. Contexts live in a zeroed, suitably aligned byte block.
struct digest_algo {
    const char *name;
    size_t digest_size;
    size_t ctx_size;
    size_t block;
    int sha256_impl;  // the SHA-256 routine to select, -1 for other algorithms
    void (*init)(void *ctx);
    void (*update)(void *ctx, const void *data, size_t len);
    void (*final)(void *ctx, uint8_t *digest);
    int (*get)(const void *ctx, char *text, size_t size);
    int (*set)(void *ctx, const char *text);
    void (*buf)(const void *data, size_t len, uint8_t *digest);
    size_t fields;
    size_t text_size;  // the longest text and its NUL
    const char *kat_empty;
    const char *kat_abc;
    const char *kat_million_a;
};

// Test names and failure lines show the algorithm's name, not its bytes.
void PrintTo(const digest_algo &a, std::ostream *os)
{
    *os << a.name;
}

template <typename Ctx, auto Init, auto Update, auto Final, auto Get, auto Set, auto Buf>
digest_algo make_algo(const char *name, size_t digest_size, size_t block, size_t fields, size_t text_size,
                      const char *e, const char *abc, const char *million, int impl = -1)
{
    return digest_algo{
        name,
        digest_size,
        sizeof(Ctx),
        block,
        impl,
        [](void *c) { Init(static_cast<Ctx *>(c)); },
        [](void *c, const void *d, size_t n) { Update(static_cast<Ctx *>(c), d, n); },
        [](void *c, uint8_t *out) { Final(static_cast<Ctx *>(c), out); },
        [](const void *c, char *t, size_t s) { return Get(static_cast<const Ctx *>(c), t, s); },
        [](void *c, const char *t) { return Set(static_cast<Ctx *>(c), t); },
        [](const void *d, size_t n, uint8_t *out) { Buf(d, n, out); },
        fields,
        text_size,
        e,
        abc,
        million,
    };
}

digest_algo md5_algo()
{
    return make_algo<md5_ctx, pl_md5_init, pl_md5_update, pl_md5_final, pl_md5_get_ctx, pl_md5_set_ctx, pl_md5_buf>(
        "md5", 16, 64, 70, PL_MD5_CTX_TEXT_SIZE, "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72",
        "7707d6ae4e027c70eea2a935c2296f21");
}

digest_algo sha1_algo()
{
    return make_algo<sha1_ctx, pl_sha1_init, pl_sha1_update, pl_sha1_final, pl_sha1_get_ctx, pl_sha1_set_ctx,
                     pl_sha1_buf>("sha1", 20, 64, 71, PL_SHA1_CTX_TEXT_SIZE, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
                                  "a9993e364706816aba3e25717850c26c9cd0d89d",
                                  "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

digest_algo sha256_algo(const char *name, int impl)
{
    return make_algo<sha256_ctx, pl_sha256_init, pl_sha256_update, pl_sha256_final, pl_sha256_get_ctx,
                     pl_sha256_set_ctx, pl_sha256_buf>(
        name, 32, 64, 74, PL_SHA256_CTX_TEXT_SIZE, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", impl);
}

digest_algo sha512_algo()
{
    return make_algo<sha512_ctx, pl_sha512_init, pl_sha512_update, pl_sha512_final, pl_sha512_get_ctx,
                     pl_sha512_set_ctx, pl_sha512_buf>(
        "sha512", 64, 128, 138, PL_SHA512_CTX_TEXT_SIZE,
        "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
        "63b931bd47417a81a538327af927da3e",
        "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
        "454d4423643ce80e2a9ac94fa54ca49f",
        "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
        "eb009c5c2c49aa2e4eadb217ad8cc09b");
}

digest_algo sm3_algo()
{
    return make_algo<sm3_ctx, pl_sm3_init, pl_sm3_update, pl_sm3_final, pl_sm3_get_ctx, pl_sm3_set_ctx, pl_sm3_buf>(
        "sm3", 32, 64, 74, PL_SM3_CTX_TEXT_SIZE, "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b",
        "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0",
        "c8aaf89429554029e231941a2acc0ad61ff2a5acd8fadd25847a3a732b3b02c3");
}

std::vector<digest_algo> all_algos()
{
    return {md5_algo(), sha1_algo(), sha256_algo("sha256_portable", PL_SHA256_PORTABLE),
            sha256_algo("sha256_sha_ni", PL_SHA256_SHA_NI), sha512_algo(), sm3_algo()};
}

std::string hex(const std::vector<uint8_t> &d)
{
    std::string s(2 * d.size() + 1, '\0');
    str_bin_to_hex(d.data(), d.size(), s.data(), s.size());
    s.pop_back();
    return s;
}

// A context block of one algorithm, zeroed.
class ctx_block {
public:
    explicit ctx_block(size_t size) : words_(size / 8 + 1), size_(size) {}
    void *get() { return words_.data(); }
    bool same_as(const ctx_block &o) const { return memcmp(words_.data(), o.words_.data(), size_) == 0; }

private:
    std::vector<uint64_t> words_;
    size_t size_;
};

bool sha_ni_expected()
{
    return __builtin_cpu_supports("sha") && __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}

class Digest : public ::testing::TestWithParam<digest_algo> {
protected:
    void SetUp() override
    {
        const digest_algo &a = GetParam();
        if (a.sha256_impl < 0)
            return;
        saved_impl_ = pl_sha256_selected();
        // The compiler's own view of the processor decides, so a probe that
        // stops finding the extensions fails here instead of skipping.
        if (a.sha256_impl == PL_SHA256_SHA_NI && !sha_ni_expected())
            GTEST_SKIP() << "this processor has no SHA extensions";
        ASSERT_EQ(pl_sha256_select(a.sha256_impl), 0);
    }
    void TearDown() override
    {
        if (saved_impl_ >= 0)
            pl_sha256_select(saved_impl_);
    }

    const digest_algo &algo() const { return GetParam(); }
    ctx_block new_ctx() const { return ctx_block(algo().ctx_size); }

    std::vector<uint8_t> one_shot(const std::string &m) const
    {
        std::vector<uint8_t> d(algo().digest_size);
        algo().buf(m.data(), m.size(), d.data());
        return d;
    }

    std::vector<uint8_t> in_pieces(const std::string &m, size_t piece) const
    {
        ctx_block c = new_ctx();
        algo().init(c.get());
        for (size_t at = 0; at < m.size(); at += piece)
            algo().update(c.get(), m.data() + at, std::min(piece, m.size() - at));
        std::vector<uint8_t> d(algo().digest_size);
        algo().final(c.get(), d.data());
        return d;
    }

    // The context text after the first cut bytes of m.
    std::string text_after(const std::string &m, size_t cut) const
    {
        ctx_block c = new_ctx();
        algo().init(c.get());
        algo().update(c.get(), m.data(), cut);
        char text[600];
        EXPECT_EQ(algo().get(c.get(), text, sizeof(text)), 0);
        return text;
    }

    int saved_impl_ = -1;
};

const std::string k_million_a(1000000, 'a');

std::string sample(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i * 37 + i / 251);
    return s;
}

}  // namespace

TEST_P(Digest, KnownAnswers)
{
    EXPECT_EQ(hex(one_shot("")), algo().kat_empty);
    EXPECT_EQ(hex(one_shot("abc")), algo().kat_abc);
    EXPECT_EQ(hex(one_shot(k_million_a)), algo().kat_million_a);
}

TEST_P(Digest, PiecesGiveTheSameDigestAsOneUpdate)
{
    for (size_t piece : {1u, 63u, 64u, 65u, 127u, 128u, 129u, 4096u}) {
        EXPECT_EQ(hex(in_pieces("abc", piece)), algo().kat_abc) << piece;
        EXPECT_EQ(hex(in_pieces(k_million_a, piece)), algo().kat_million_a) << piece;
    }
}

// Saved and restored at every padding boundary, the digest is the one of the
// uninterrupted run, whether the message ends at the cut or goes on.
TEST_P(Digest, ResumesFromItsTextAtEveryPaddingBoundary)
{
    std::vector<size_t> cuts = {0, 1, 55, 56, 63, 64, 65};
    if (algo().block == 128)
        cuts.insert(cuts.end(), {111, 112, 127, 128, 129});
    const std::string m = sample(400);
    for (size_t cut : cuts) {
        for (size_t total : {cut, cut + 1, cut + 200}) {
            const std::string msg = m.substr(0, total);
            const std::string text = text_after(msg, cut);
            ctx_block c = new_ctx();
            ASSERT_EQ(algo().set(c.get(), text.c_str()), 0) << cut;
            algo().update(c.get(), msg.data() + cut, total - cut);
            std::vector<uint8_t> d(algo().digest_size);
            algo().final(c.get(), d.data());
            EXPECT_EQ(hex(d), hex(one_shot(msg))) << "cut " << cut << " total " << total;
        }
    }
}

TEST_P(Digest, TextHasItsFieldCountAndLongestSize)
{
    const std::string text = text_after(sample(100), 100);
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1, algo().fields);
    // All ones in every word and byte gives the longest text.
    ctx_block c = new_ctx();
    memset(c.get(), 0xFF, algo().ctx_size);
    char out[600];
    ASSERT_EQ(algo().get(c.get(), out, sizeof(out)), 0);
    EXPECT_EQ(strlen(out) + 1, algo().text_size);
    // Zero fields are written as one digit and read back.
    std::string zeros = "0";
    for (size_t i = 1; i < algo().fields; i++)
        zeros += ",0";
    ASSERT_EQ(algo().set(c.get(), zeros.c_str()), 0);
    ASSERT_EQ(algo().get(c.get(), out, sizeof(out)), 0);
    EXPECT_EQ(zeros, out);
}

TEST_P(Digest, TextThatDoesNotFitIsEmptiedAndFails)
{
    const std::string text = text_after(sample(100), 100);
    ctx_block c = new_ctx();
    ASSERT_EQ(algo().set(c.get(), text.c_str()), 0);
    std::vector<char> small(text.size());  // one short: no room for the NUL
    small[0] = 'x';
    log_capture log;
    EXPECT_EQ(algo().get(c.get(), small.data(), small.size()), -1);
    EXPECT_EQ(small[0], '\0');
    std::vector<char> exact(text.size() + 1);
    EXPECT_EQ(algo().get(c.get(), exact.data(), exact.size()), 0);
    EXPECT_EQ(text, exact.data());
}

// Each bad text is refused with -1 and leaves the context as it was.
TEST_P(Digest, BadTextIsRefusedAndLeavesTheContext)
{
    const std::string good = text_after(sample(100), 70);
    std::vector<std::string> bad = {
        "",
        good + ",0",                             // one field too many
        good.substr(0, good.rfind(',')),         // one field too few
        good + ",",                              // an empty last field
        "zz" + good.substr(good.find(',')),      // not hex
        "-1" + good.substr(good.find(',')),      // a sign
        good.substr(0, good.rfind(',')) + ",100",  // a buffer byte wider than a byte
    };
    // A first word wider than its width.
    const size_t first_width = algo().block == 128 || std::string(algo().name).rfind("sha256", 0) == 0 ? 16 : 8;
    bad.push_back(std::string(first_width + 1, '1') + good.substr(good.find(',')));

    ctx_block c = new_ctx();
    ASSERT_EQ(algo().set(c.get(), good.c_str()), 0);
    ctx_block before = new_ctx();
    ASSERT_EQ(algo().set(before.get(), good.c_str()), 0);
    log_capture log;
    for (const std::string &t : bad) {
        EXPECT_EQ(algo().set(c.get(), t.c_str()), -1) << t;
        EXPECT_TRUE(c.same_as(before)) << t;
    }
}

// Every other algorithm's text is refused, by its field count or, between
// SHA-256 and SM3 (74 fields each), by the field that cannot hold the other's
// value (SHA-256's buffered count, SM3's length).
TEST_P(Digest, AnotherAlgorithmsTextIsRefused)
{
    ctx_block c = new_ctx();
    algo().init(c.get());
    algo().update(c.get(), "abc", 3);
    ctx_block before = new_ctx();
    algo().init(before.get());
    algo().update(before.get(), "abc", 3);
    log_capture log;
    for (const digest_algo &other : all_algos()) {
        if (other.set == algo().set)
            continue;
        ctx_block o(other.ctx_size);
        other.init(o.get());
        other.update(o.get(), "abc", 3);
        char text[600];
        ASSERT_EQ(other.get(o.get(), text, sizeof(text)), 0);
        EXPECT_EQ(algo().set(c.get(), text), -1) << other.name;
        EXPECT_TRUE(c.same_as(before)) << other.name;
    }
}

INSTANTIATE_TEST_SUITE_P(AllDigests, Digest, ::testing::ValuesIn(all_algos()),
                         [](const ::testing::TestParamInfo<digest_algo> &p) { return std::string(p.param.name); });

TEST(DigestProbe, ShaExtensionsFoundWhenTheProcessorHasThem)
{
    EXPECT_EQ(hash_cpu_sha_ni() != 0, sha_ni_expected());
    // Start-up picks the extensions whenever they are there.
    EXPECT_EQ(pl_sha256_selected(), sha_ni_expected() ? PL_SHA256_SHA_NI : PL_SHA256_PORTABLE);
    if (!sha_ni_expected()) {
        EXPECT_EQ(pl_sha256_select(PL_SHA256_SHA_NI), -1);
    }
    EXPECT_EQ(pl_sha256_select(7), -1);
}

// A restored SHA-256 context's buffered count must be below 64 and the one
// its length implies.
TEST(DigestText, Sha256BufferedCountOutOfRangeIsRefused)
{
    sha256_ctx c;
    pl_sha256_init(&c);
    pl_sha256_update(&c, "abcdef", 6);
    char text[PL_SHA256_CTX_TEXT_SIZE];
    ASSERT_EQ(pl_sha256_get_ctx(&c, text, sizeof(text)), 0);
    std::string t = text;
    // count(30 bits = 0x30),h0..h7,buffered,...
    const size_t at = [&] {
        size_t p = 0;
        for (int i = 0; i < 9; i++)
            p = t.find(',', p) + 1;
        return p;
    }();
    ASSERT_EQ(t.substr(at, 2), "6,");
    log_capture log;
    for (const char *buffered : {"40", "ffffffff", "7"}) {
        std::string bad = t.substr(0, at) + buffered + t.substr(t.find(',', at));
        sha256_ctx d = c;
        EXPECT_EQ(pl_sha256_set_ctx(&d, bad.c_str()), -1) << buffered;
        EXPECT_EQ(memcmp(&d, &c, sizeof(c)), 0);
    }
}

namespace {

// One block fed to a context whose low length word is one block short of
// wrapping: the low word wraps to 0 and the high word counts 1.
template <typename Ctx, typename Word>
void expect_carry(void (*init)(Ctx *), void (*update)(Ctx *, const void *, size_t), Word (Ctx::*count)[2],
                  Word low, size_t block)
{
    Ctx c;
    init(&c);
    (c.*count)[0] = low;
    const std::string data(block, 'x');
    update(&c, data.data(), data.size());
    EXPECT_EQ((c.*count)[0], 0u);
    EXPECT_EQ((c.*count)[1], 1u);
}

}  // namespace

TEST(DigestText, LengthsCarryIntoTheHighWord)
{
    expect_carry(pl_md5_init, pl_md5_update, &md5_ctx::count, 0xFFFFFE00u, 64);     // bits
    expect_carry(pl_sha1_init, pl_sha1_update, &sha1_ctx::count, 0xFFFFFE00u, 64);   // bits
    expect_carry(pl_sm3_init, pl_sm3_update, &sm3_ctx::count, 0xFFFFFFC0u, 64);      // bytes
    expect_carry(pl_sha512_init, pl_sha512_update, &sha512_ctx::count, ~uint64_t{0} - 1023, 128);  // bits
}

TEST(DigestFinal, MissingOutputsAndContexts)
{
    sha256_ctx a, b;
    pl_sha256_init(&a);
    pl_sha256_update(&a, "abc", 3);
    b = a;
    pl_sha256_final(&a, nullptr);  // pads, writes nothing
    EXPECT_NE(a.count, b.count);

    sha512_ctx c, d;
    pl_sha512_init(&c);
    pl_sha512_update(&c, "abc", 3);
    d = c;
    pl_sha512_final(&c, nullptr);  // does nothing
    EXPECT_EQ(memcmp(&c, &d, sizeof(c)), 0);
    pl_sha512_init(nullptr);
}

TEST(Md5Text, StringDigestAndEmptyText)
{
    char out[33] = "x";
    EXPECT_STREQ(pl_md5_str("abc", out), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_STREQ(pl_md5_str("", out), "");
}

using Md5File = temp_dir_test;

TEST_F(Md5File, WholeFileEqualsOneShot)
{
    constexpr size_t k_piece = 2 * 1024 * 1024;
    for (size_t len : {size_t{0}, size_t{3}, k_piece, k_piece + 1}) {
        const std::string data = sample(len);
        const std::string p = make_file("f" + std::to_string(len), data);
        uint8_t want[16], got[16];
        pl_md5_buf(data.data(), data.size(), want);
        ASSERT_EQ(pl_md5_file(p.c_str(), got), 0) << len;
        EXPECT_EQ(memcmp(want, got, 16), 0) << len;
        char text[33];
        ASSERT_EQ(pl_md5_file_hex(p.c_str(), text), 0);
        EXPECT_EQ(text, hex(std::vector<uint8_t>(want, want + 16)));
    }
}

TEST_F(Md5File, UnopenablePathFailsAndLeavesTheDigest)
{
    uint8_t d[16];
    memset(d, 0x55, sizeof(d));
    log_capture log;
    EXPECT_EQ(pl_md5_file(path("missing").c_str(), d), -1);
    for (uint8_t b : d)
        EXPECT_EQ(b, 0x55);
    char text[33] = "junk";
    EXPECT_EQ(pl_md5_file_hex(path("missing").c_str(), text), -1);
    EXPECT_STREQ(text, "");
    // A directory opens but cannot be read.
    EXPECT_EQ(pl_md5_file(dir_.c_str(), d), -1);
}
