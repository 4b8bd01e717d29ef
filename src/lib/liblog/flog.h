// The line log: an append-only text file of audit lines (login checks) kept
// apart from the main log, with an optional date-and-time prefix per write, one
// reopen when a write fails, and a size cap that keeps the newest half. Beside
// it the shell's set-variable "log.level", which reads and changes the default
// log context's threshold at run time. Calls return 0, or -1 on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct os_mutex;
struct dvar_mgr;

constexpr uint32_t FLOG_OPT_TIME = 0x1;  // a "YYYY-MM-DD hh:mm:ss " prefix before each write

struct flog {
    FILE *stream;  // opened "a+"; nullptr after a failed reopen
    char *path;
    uint32_t max_size;  // 0: no cap
    uint32_t last_result;
    uint32_t opts;
    os_mutex *mutex;
};

struct flog_opts {
    uint32_t max_size;
    uint32_t opts;
};

// nullptr when the file cannot be opened (logged at dbg level) or memory runs out.
flog *flog_open(const char *path, const flog_opts *opts);
int flog_write(flog *log, const char *text, size_t len);
// Formats into 4096 bytes: at most 4095 characters are written.
int flog_printf(flog *log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int flog_last_result(const flog *log);
int flog_close(flog *log);

// Registers "log.level" (built once) in a set-variable registry.
int log_level_var_add(dvar_mgr *mgr);
int log_level_var_get(char *buf, size_t size);
// err holds 4096 bytes; an unknown level name gives "invalid param [%s]\n" and -1.
int log_level_var_set(const char *value, char *err);
