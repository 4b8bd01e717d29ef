#include "libpal/memory/mem_find.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

// The offset of a match in mem, or -1 for none.
long at(const void *mem, const void *found)
{
    return found == nullptr ? -1 : static_cast<const uint8_t *>(found) - static_cast<const uint8_t *>(mem);
}

}  // namespace

TEST(MemFind, ExactPatterns)
{
    struct {
        std::string mem;
        std::string pattern;
        long        expected;
    } const cases[] = {
        {"abcabd", "abd", 3},
        {"abcabd", "bd", 4},       // at the very end
        {"abc", "abcd", -1},       // longer than the memory
        {"abc", "", -1},
        {"aab", "ab", 1},          // the first byte twice, then the second
        {"xyzzy", "zy", 3},
        {std::string("a\0b\0c", 5), std::string("\0c", 2), 3},
        {"aaaa", "b", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mem + " / " + c.pattern);
        const char *m = c.mem.data();
        EXPECT_EQ(at(m, mem_find(m, c.mem.size(), c.pattern.data(), c.pattern.size())), c.expected);
        EXPECT_EQ(at(m, mem_find_linear(m, c.mem.size(), c.pattern.data(), c.pattern.size())), c.expected);
    }
    const char text[] = "find the needle";
    EXPECT_EQ(at(text, mem_find_str(text, sizeof(text) - 1, "needle")), 9);
}

TEST(MemFind, MaskedPatterns)
{
    const uint8_t mem[] = {0x11, 0x11, 0x22, 0x33, 0x44};
    const uint8_t pattern[] = {0x11, 0x22};
    EXPECT_EQ(at(mem, mem_find_mask(mem, sizeof(mem), pattern, 2, "__")), 1);
    const uint8_t wild[] = {0x22, 0x00, 0x44};
    EXPECT_EQ(at(mem, mem_find_mask(mem, sizeof(mem), wild, 3, "_?_")), 2);
    EXPECT_EQ(at(mem, mem_find_mask(mem, sizeof(mem), wild, 3, "_?")), -1);  // mask shorter than the pattern
    EXPECT_EQ(at(mem, mem_find_mask(mem, sizeof(mem), wild, 3, nullptr)), -1);
}

TEST(MemFind, HexPatternTexts)
{
    const uint8_t mem[] = {0x00, 0xab, 0xab, 0xcd, 0x01, 0x02, 0xef};
    struct {
        const char *pattern;
        long        expected;
    } const cases[] = {
        {"abcd", 2},
        {"ABCD", 2},
        {"cd??ef", 3},    // each "?" is one byte of any value
        {"cd?ef", -1},
        {"cd???ef", -1},
        {"??", 0},
        {"abc", -1},   // odd length
        {"zz", -1},
        {"", -1},
        {"a?", -1},    // half a byte
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(at(mem, mem_find_pattern(mem, sizeof(mem), c.pattern)), c.expected);
    }
}
