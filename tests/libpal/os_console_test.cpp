#include "libpal/os/os_console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string written(void (*write)(FILE *))
{
    FILE *f = tmpfile();
    if (f == nullptr) {
        return "<no tmpfile>";
    }
    write(f);
    fflush(f);
    rewind(f);
    std::string out;
    int c = 0;
    while ((c = fgetc(f)) != EOF) {
        out += static_cast<char>(c);
    }
    fclose(f);
    return out;
}

TEST(OsConsole, ColourCodes)
{
    struct row {
        int colour;
        const char *seq;
    };
    const row rows[] = {
        {2, "\033[07;37m"}, {3, "\033[32m"},    {5, "\033[36m"},  {7, "\033[01;33m"},
        {8, "\033[01;31m"}, {9, "\033[01;07;31m"}, {4, "\033[37m"}, {1, "\033[37m"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.colour);
        EXPECT_STREQ(os_color_code(r.colour), r.seq);
    }
}

TEST(OsConsole, WriteWrapsTextInColourAndReset)
{
    EXPECT_EQ(written([](FILE *f) { os_color_write(f, 0, "plain\n"); }), "plain\n");
    EXPECT_EQ(written([](FILE *f) { os_color_write(f, 4, "grey"); }), "\033[37mgrey\033[0m");
    EXPECT_EQ(written([](FILE *f) { os_color_write(f, 8, "%s"); }), "\033[01;31m%s\033[0m");
    EXPECT_EQ(written([](FILE *f) { os_color_printf(f, 2, "n=%d", 5); }), "\033[07;37mn=5\033[0m");
}

TEST(OsConsole, PrintfCutsAtItsBuffer)
{
    const std::string out = written([](FILE *f) { os_color_printf(f, 0, "%s", std::string(9000, 'z').c_str()); });
    EXPECT_EQ(out, std::string(8191, 'z'));
}

}  // namespace
