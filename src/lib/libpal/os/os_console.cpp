#include "libpal/os/os_console.h"

#include <array>
#include <cstdarg>

#include "libpal/string/str_safe.h"

namespace {

struct colour_row {
    int colour;
    const char *seq;
};

constexpr std::array<colour_row, 6> kColours{{
    {2, "\033[07;37m"},
    {3, "\033[32m"},
    {5, "\033[36m"},
    {7, "\033[01;33m"},
    {8, "\033[01;31m"},
    {9, "\033[01;07;31m"},
}};

constexpr const char *kDefaultColour = "\033[37m";
constexpr size_t kPrintfSize = 8192;

}  // namespace

const char *os_color_code(int colour)
{
    for (const auto &row : kColours) {
        if (row.colour == colour) {
            return row.seq;
        }
    }
    return kDefaultColour;
}

int os_color_write(FILE *stream, int colour, const char *text)
{
    if (stream == nullptr || text == nullptr) {
        return 0;
    }
    if (colour == 0) {
        fputs(text, stream);
    } else {
        fprintf(stream, "%s%s%s", os_color_code(colour), text, OS_COLOR_RESET);
    }
    return 0;
}

int os_color_printf(FILE *stream, int colour, const char *fmt, ...)
{
    char buf[kPrintfSize];
    buf[0] = '\0';
    va_list ap;
    va_start(ap, fmt);
    str_vsprintf_s2(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return os_color_write(stream, colour, buf);
}
