#include "libpal/memory/mem_add.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "str_log_capture.h"

TEST(MemAdd, PacksTextsWithTheirNuls)
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

TEST(MemAdd, SingleCopyAndEmptyList)
{
    char buf[4] = "xyz";
    EXPECT_EQ(mem_add_str(buf, sizeof(buf), "q", 0), 0);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(mem_add_str(buf, sizeof(buf), "1234", 4), 4);
    EXPECT_EQ(memcmp(buf, "1234", 4), 0);
    EXPECT_EQ(mem_add_strs(buf, sizeof(buf), nullptr), 0);
    EXPECT_EQ(mem_add_strs(buf, 1, "", nullptr), 1);
}
