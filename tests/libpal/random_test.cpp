#include "libpal/memory/random.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "str_log_capture.h"

namespace {

const std::string kAlnum = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The xorshift words that follow rand_seed(seed).
std::vector<uint64_t> words_after_seed(uint64_t seed, size_t n)
{
    rand_seed(seed);
    std::vector<uint64_t> w(n);
    for (auto &v : w)
        v = rand_xorshift64();
    return w;
}

}  // namespace

TEST(Xorshift, KnownStepsAndTheStuckSeed)
{
    // The initial state's first steps (shifts 13, 7, 17 in 64 bits).
    EXPECT_EQ(words_after_seed(0x811c9dc5 + 1, 3),
              (std::vector<uint64_t>{0x2006b901bffd75beULL, 0x710f1933acc220d5ULL, 0xefe84060dca131d4ULL}));
    EXPECT_EQ(words_after_seed(1, 4), std::vector<uint64_t>(4, 0));
}

TEST(Xorshift, FillTakesWholeWordsThenTheLowBytesOfOneMore)
{
    const std::vector<uint64_t> w = words_after_seed(12345, 2);
    std::array<unsigned char, 16> buf;
    buf.fill(0xAA);
    rand_seed(12345);
    EXPECT_EQ(memory_random(buf.data(), 13), 13u);
    uint64_t first;
    memcpy(&first, buf.data(), 8);
    EXPECT_EQ(first, w[0]);
    for (size_t i = 0; i < 5; i++)
        EXPECT_EQ(buf[8 + i], static_cast<unsigned char>(w[1] >> (8 * i))) << i;
    for (size_t i = 13; i < buf.size(); i++)
        EXPECT_EQ(buf[i], 0xAA) << "written past the length at " << i;

    buf.fill(0xAA);
    EXPECT_EQ(memory_random(buf.data(), 0), 0u);
    EXPECT_EQ(buf[0], 0xAA);

    log_capture cap;
    EXPECT_EQ(memory_random(nullptr, 8), SIZE_MAX);
    EXPECT_TRUE(cap.has("expr[buf]: assert failed\n"));
}

TEST(SystemRand, WordsJoinSixteenBitHalves)
{
    srand(7);
    uint32_t r[4];
    for (auto &v : r)
        v = static_cast<uint32_t>(rand());
    srand(7);
    EXPECT_EQ(rand_u32(), (r[0] << 16) | (r[1] & 0xffff));
    EXPECT_EQ(rand_u32(), (r[2] << 16) | (r[3] & 0xffff));
    srand(7);
    const uint64_t expected = (uint64_t{(r[0] << 16) | (r[1] & 0xffff)} << 32) | ((r[2] << 16) | (r[3] & 0xffff));
    EXPECT_EQ(rand_u64(), expected);
    srand(7);
    uint64_t filled = 0;
    EXPECT_EQ(memory_random_imp(1, &filled, sizeof(filled)), sizeof(filled));
    EXPECT_EQ(filled, expected);
}

TEST(SystemRand, RangeStaysInsideAndReachesEveryValue)
{
    struct row {
        uint32_t lo, hi;
    } rows[] = {{10, 20}, {0, 1}, {0xFFFFFFF0u, 0xFFFFFFFFu}, {0x80000000u, 0x80000002u}};
    for (const row &r : rows) {
        std::set<uint32_t> seen;
        for (int i = 0; i < 2000; i++) {
            uint32_t v = rand_range(r.lo, r.hi);
            ASSERT_GE(v, r.lo);
            ASSERT_LT(v, r.hi);
            seen.insert(v);
        }
        EXPECT_EQ(seen.size(), r.hi - r.lo) << r.lo;
    }
    log_capture cap;
    EXPECT_EQ(rand_range(5, 5), 5u);
    EXPECT_TRUE(cap.has("expr[lo < hi]: assert failed\n"));
}

TEST(RandomText, SizesAndCharacterSets)
{
    rand_seed(99);
    char text[16];
    memset(text, '#', sizeof(text));
    rand_str(text, 1);
    rand_str(text, 0);
    EXPECT_EQ(text[0], '#');
    rand_str(text, 9);
    EXPECT_EQ(strlen(text), 8u);
    EXPECT_EQ(strspn(text, kAlnum.c_str()), 8u);
    EXPECT_EQ(text[9], '#');
    rand_hex_str(text, 16);
    EXPECT_EQ(strlen(text), 15u);
    EXPECT_EQ(strspn(text, "0123456789abcdef"), 15u);
}

TEST(RandomText, PasswordsHoldEveryChosenClass)
{
    struct row {
        uint32_t classes;
        const char *extra;
        size_t size;
        const char *allowed;
    } rows[] = {
        {0x7, nullptr, 9, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
        {0x1, "!", 3, "0123456789!"},
        {0x6, "-_", 4, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"},
        {0x0, "xyz", 5, "xyz"},
    };
    rand_seed(4242);
    for (const row &r : rows) {
        for (int round = 0; round < 50; round++) {
            char pw[32] = {};
            rand_passwd(pw, r.size, r.extra, r.classes);
            ASSERT_EQ(strlen(pw), r.size - 1) << r.classes;
            ASSERT_EQ(strspn(pw, r.allowed), r.size - 1) << pw;
            const std::string s = pw;
            auto any_of = [&s](const char *set) { return s.find_first_of(set) != std::string::npos; };
            EXPECT_TRUE(!(r.classes & RAND_PW_DIGIT) || any_of("0123456789")) << pw;
            EXPECT_TRUE(!(r.classes & RAND_PW_LOWER) || any_of("abcdefghijklmnopqrstuvwxyz")) << pw;
            EXPECT_TRUE(!(r.classes & RAND_PW_UPPER) || any_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ")) << pw;
            EXPECT_TRUE(!r.extra || any_of(r.extra)) << pw;
        }
    }
}

TEST(RandomText, ImpossiblePasswordsAreRefusedNotSpun)
{
    const std::string long_extra(250, '!');
    struct row {
        uint32_t classes;
        const char *extra;
        size_t size;
    } rows[] = {
        {0x0, nullptr, 9},             // no class at all
        {0x7, nullptr, 3},             // two characters for three classes
        {0x7, "!", 4},                 // three for four
        {0x1, long_extra.c_str(), 9},  // a set above 255 characters
    };
    for (const row &r : rows) {
        char pw[16];
        memset(pw, '#', sizeof(pw));
        log_capture cap;
        rand_passwd(pw, r.size, r.extra, r.classes);
        EXPECT_STREQ(pw, "") << r.classes << "/" << r.size;
        EXPECT_FALSE(cap.all().empty());
    }
    // A generator stuck on one value never mixes classes: the call gives up.
    rand_seed(1);
    char pw[16];
    log_capture cap;
    rand_passwd(pw, 9, nullptr, 0x7);
    EXPECT_STREQ(pw, "");
    EXPECT_FALSE(cap.all().empty());
    rand_seed(77);
}

namespace {

// 0 when the table this process starts with is the one seed 1 gives.
[[noreturn]] void compare_initial_table_with_seed_one()
{
    std::vector<uint32_t> first(100), again(100);
    for (auto &v : first)
        v = rand_add_next();
    rand_add_seed(1);
    for (auto &v : again)
        v = rand_add_next();
    _exit(first == again ? 0 : 1);
}

}  // namespace

TEST(AdditiveGeneratorDeathTest, SeedOneReproducesTheInitialTable)
{
    // A freshly started process, whatever this one has drawn already.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(compare_initial_table_with_seed_one(), ::testing::ExitedWithCode(0), "");
}

TEST(AdditiveGenerator, SeedsReproduceTheirSequences)
{
    rand_add_seed(5);
    std::vector<uint32_t> a(40), b(40), c(40);
    for (auto &v : a)
        v = rand_add_next();
    rand_add_seed(5);
    for (auto &v : b)
        v = rand_add_next();
    rand_add_seed(6);
    for (auto &v : c)
        v = rand_add_next();
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](uint32_t v) { return v <= 0x7FFFFFFFu; }));
}
