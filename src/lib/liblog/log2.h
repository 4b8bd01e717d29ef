// The logger: the one logging call of the whole program. A call carries a
// level with flags, a module tag, the source position and a format; the
// context's flag bits choose the line's prefixes, and the line goes to the
// enabled sinks (console, log file, syslog, user callbacks) and to the
// recent-lines buffer. A null context means the process-wide default one,
// created by the first call. A log call never changes errno; a call made from
// inside the logger on the same thread is dropped.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum : uint32_t {
    LOG2_CRIT = 2,
    LOG2_ERR  = 3,
    LOG2_WARN = 4,
    LOG2_NOTI = 5,
    LOG2_INFO = 6,
    LOG2_DBG  = 7,
    LOG2_VERB = 8,
};

// Message flags, added to the level of one call.
enum : uint32_t {
    LOG2_F_ERRNO   = 0x100,  // append the text of the current errno
    LOG2_F_NOEXIT  = 0x200,  // a crit message does not end the process
    LOG2_F_NET     = 0x400,  // the binary record also goes to the collector
    LOG2_F_BSVONLY = 0x800,  // only a binary record, no text sink
};

// Context flag bits: the pieces of a line's prefix.
enum : uint32_t {
    LOG2_FLAG_TID      = 0x01,
    LOG2_FLAG_TIME     = 0x02,
    LOG2_FLAG_FUNC     = 0x04,
    LOG2_FLAG_FILE     = 0x08,
    LOG2_FLAG_BASENAME = 0x10,
    LOG2_FLAG_COLOUR   = 0x20,
    LOG2_FLAG_TIME_MS  = 0x40,
    LOG2_FLAG_TID_NAME = 0x80,
};

struct log2_ctx;

using log2_hook = void (*)(uint32_t level, const char *tag, const char *file, int line, const char *func,
                           int eno, const char *fmt, va_list ap);
using log2_line_cb = void (*)(int level, const char *tag, const char *line, int len);

int log2_printf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
                 const char *fmt, va_list ap);
int log2_puts(log2_ctx *ctx, uint32_t level, const char *tag, const char *file, int line, const char *func,
              const char *text);
