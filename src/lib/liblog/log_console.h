// Console sink of the logger: writes a line on standard error, coloured by
// level when the context's colour flag is set, and flushes. Runs inside the
// log call under the context's mutex.
#pragma once

struct log2_ctx;

// Colours by level: crit 9, err 8, warn 7, noti 2, info 0 (plain), dbg 5, verb 3.
int log_console_write(log2_ctx *ctx, int level, const char *tag, const char *line, int len);
