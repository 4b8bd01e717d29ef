#include "libpal/memory/mem_pack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

TEST(MemPack, PacksTextsWithTheirNuls)
{
    struct {
        size_t room;
        int    expected;
    } const cases[] = {
        {5, 5},   // exactly "ab\0c\0"
        {16, 5},
        {4, -1},  // the second text's NUL does not fit
        {2, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room);
        log_capture cap;
        // Exactly room bytes, so that ASan sees a write past them.
        std::unique_ptr<char[]> buf(new char[c.room]);
        EXPECT_EQ(mem_add_strs(buf.get(), c.room, "ab", "c", nullptr), c.expected);
        if (c.expected > 0) {
            EXPECT_EQ(memcmp(buf.get(), "ab\0c\0", 5), 0);
        } else {
            EXPECT_TRUE(cap.has("expr[slen <= blen]: assert failed"));
        }
    }
}

TEST(MemPack, SingleCopyAndEmptyList)
{
    char buf[4] = "xyz";
    EXPECT_EQ(mem_add_str(buf, sizeof(buf), "q", 0), 0);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(mem_add_str(buf, sizeof(buf), "1234", 4), 4);
    EXPECT_EQ(memcmp(buf, "1234", 4), 0);
    EXPECT_EQ(mem_add_strs(buf, sizeof(buf), nullptr), 0);
    EXPECT_EQ(mem_add_strs(buf, 1, "", nullptr), 1);
}

TEST(MemPack, CatCutsTheLastTextAndEndsWithNul)
{
    struct {
        size_t      room;
        int         expected;
        const char *bytes;
    } const cases[] = {
        {5, 5, "ab\0c"},  // the second text cut to one character and a NUL
        {6, 6, "ab\0cd"},  // exactly fits
        {9, 6, "ab\0cd"},
        {3, 3, "ab"},      // the first text ends the room; nothing of the second
        {2, 2, "a"},
        {1, 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room);
        std::unique_ptr<char[]> buf(new char[c.room]);
        memset(buf.get(), 'x', c.room);
        EXPECT_EQ(mem_cat_strs(buf.get(), c.room, "ab", "cd", nullptr), c.expected);
        EXPECT_EQ(memcmp(buf.get(), c.bytes, static_cast<size_t>(c.expected)), 0);
    }
    char none = 'x';
    EXPECT_EQ(mem_cat_strs(&none, 0, "ab", nullptr), 0);
    EXPECT_EQ(none, 'x');
}

TEST(MemPack, BufferPairsStrictAndCut)
{
    const mem_pair pairs[] = {{"abc", 3}, {"", 0}, {"defg", 4}};
    struct {
        size_t      room;
        int         strict;  // mem_add_bufs
        int         cut;     // mem_cat_bufs
        const char *bytes;   // what mem_cat_bufs leaves
    } const cases[] = {
        {8, 7, 7, "abcdefg"},
        {7, 7, 7, "abcdef"},  // the last piece reaches the end: its last byte becomes NUL
        {5, -1, 5, "abcd"},
        {3, -1, 3, "ab"},
        {0, -1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room);
        log_capture cap;
        std::unique_ptr<char[]> buf(new char[c.room + 1]);
        EXPECT_EQ(mem_add_bufs(buf.get(), c.room, pairs, 3), c.strict);
        if (c.strict < 0) {
            EXPECT_TRUE(cap.has("expr[slen <= blen]: assert failed"));
        }
        EXPECT_EQ(mem_cat_bufs(buf.get(), c.room, pairs, 3), c.cut);
        EXPECT_EQ(memcmp(buf.get(), c.bytes, static_cast<size_t>(c.cut)), 0);
    }
}

TEST(MemPack, PackIntoOneBlock)
{
    size_t total = 0;
    char *block = mem_strs_pack(&total, "ab", "", "cde", nullptr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(total, 8u);
    EXPECT_EQ(memcmp(block, "ab\0\0cde", 8), 0);
    os_free(block);
    block = mem_strs_pack(nullptr, nullptr);
    ASSERT_NE(block, nullptr);
    os_free(block);
}
