// The record filter's rule text: a state machine that reads statements
// ([~][!|@]name operator value, "#" comments, "'" blocks), hands each
// complete one to a caller's function, checks text and writes its normal
// form. Errors are written into the caller's 4096-byte error text with the
// line and column (from 1). Used by the rule sets in qexpr.h.
#pragma once

#include <cstddef>
#include <cstdint>

struct str_buf;

constexpr size_t QPARSER_ERR_SIZE  = 4096;
// Longer names, operators and values are syntax errors, never cut.
constexpr size_t QPARSER_MAX_VAR   = 255;
constexpr size_t QPARSER_MAX_OP    = 63;
constexpr size_t QPARSER_MAX_VALUE = 258;
// Rules one text (or one included file) may add; a rule function returns
// QPARSER_TOO_MANY past it.
constexpr size_t QPARSER_MAX_RULES = 4096;
constexpr int QPARSER_TOO_MANY = -3;

// One complete statement. kind: 0 plain, 1 negated "!", 2 command "@".
// expand: the value's variable references are still to be expanded.
struct qparser_stmt {
    uint8_t enabled;
    uint32_t kind;
    const char *var;
    uint32_t opcode;
    const char *value;
    bool expand;
};

// 0, -2 for an unknown variable, QPARSER_TOO_MANY, another negative value when out of memory.
using qparser_rule_fn = int (*)(void *ctx, const qparser_stmt *stmt);

// 0, or a negative value with err (QPARSER_ERR_SIZE bytes, may be nullptr) set.
// An empty text, or one of blanks and line ends only, is an error.
int qparser_parse(const char *text, qparser_rule_fn fn, void *ctx, char *err);
// Completes one statement: looks up the operator, unescapes a double-quoted
// value, calls fn. quote is '"', '\'' or 0; line is for the error text.
int expr_check(uint8_t enabled, uint32_t kind, const char *var, const char *op, const char *value,
               char quote, int line, qparser_rule_fn fn, void *ctx, char *err);

int qparser_check(const char *text, char *err);
// "file open failed" and -1 when the file cannot be read.
int qparser_check_file(const char *path, char *err);
// The text in normal form, one statement per line; freed with os_free.
// nullptr with err set on an error.
char *qparser_format(const char *text, char *err);
char *qparser_format_file(const char *path, char *err);
// Appends one statement in normal form; the value is quoted (and escaped) when
// an unquoted one would not read back the same. 0 or -1 (no memory).
// True when an unquoted value would not read back the same (empty, blanks,
// ";", "#", a leading quote, backslashes, control characters).
bool qparser_needs_quotes(const char *value);
int qparser_dump_line(str_buf *sb, const qparser_stmt *stmt);

// Formats into err (QPARSER_ERR_SIZE bytes) unless it is nullptr.
void qparser_set_err(char *err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// A rule file's text (freed with os_free), or nullptr with errno set: only
// regular files are read (a directory gives EISDIR, another kind EINVAL).
char *qparser_read_file(const char *path);
