#include "libpal/string/str_tail.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "heap_text.h"
#include "libpal/basic/os_malloc.h"
#include "str_log_capture.h"

namespace {

// Longer than the fixed buffers of the calls under test.
const std::string k_long(300, 'L');

}  // namespace

namespace {

struct tail_fixture {
    char buf[16];
    str_tail tail;
    tail_fixture() { str_tail_init(&tail, buf, sizeof(buf)); }
};

}  // namespace

TEST(RecentLines, KeepsTheNewestWholeLines)
{
    struct {
        std::vector<std::string> adds;
        const char *expected;
    } const cases[] = {
        {{"one\n", "two\n"}, "one\ntwo\n"},
        // Exactly fills 15 characters.
        {{"aaaa\n", "bbbb\n", "cccc\n"}, "aaaa\nbbbb\ncccc\n"},
        // Dropping one line is enough: the newer ones stay.
        {{"aaaa\n", "bbbb\n", "cccc\n", "dd\n"}, "bbbb\ncccc\ndd\n"},
        {{"a\n", "b\n", "c\n", "dddddddddd\n"}, "b\nc\ndddddddddd\n"},
        // Longer than the whole buffer: not kept, nothing lost.
        {{"keep\n", std::string(16, 'x')}, "keep\n"},
        {{"keep\n", k_long}, "keep\n"},
        // Exactly the buffer's capacity, after dropping everything.
        {{"keep\n", std::string(14, 'y') + "\n"}, "yyyyyyyyyyyyyy\n"},
        // No whole line to drop: the new text is not kept.
        {{"no line end..."}, "no line end..."},
        {{"no line end...", "x\n"}, "no line end..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        tail_fixture t;
        for (const auto &a : c.adds) {
            str_tail_add(&t.tail, a.c_str());
        }
        EXPECT_STREQ(t.buf, c.expected);
        EXPECT_EQ(t.tail.len, strlen(c.expected));
    }
}
