#include "liblog/log_console.h"

#include <array>
#include <cstdio>

#include "liblog/log2.h"
#include "libpal/os/os_console.h"

namespace {

// Indexed by level; 0 writes the line plain.
constexpr std::array<int, LOG2_VERB + 1> kLevelColour{0, 0, 9, 8, 7, 2, 0, 5, 3};

int log_console_color(int level)
{
    if (level < static_cast<int>(LOG2_CRIT) || level > static_cast<int>(LOG2_VERB)) {
        return 0;
    }
    return kLevelColour[static_cast<size_t>(level)];
}

}  // namespace

int log_console_write(log2_ctx *ctx, int level, const char *tag, const char *line, int len)
{
    (void)tag;
    (void)len;
    if (line == nullptr) {
        return 0;
    }
    const bool colour = ctx != nullptr && (ctx->flags.load(std::memory_order_relaxed) & LOG2_FLAG_COLOUR) != 0;
    os_color_write(stderr, colour ? log_console_color(level) : 0, line);
    fflush(stderr);
    return 0;
}
