// Escaped texts: JSON, tab-text and CSV escaping for the web tool and the
// logs, peer text made safe for a log line, and C backslash escapes read from
// configuration and commands.
// Refusals are reported at err level (tag "pal"); _dup and _dyn results come
// from os_malloc and are freed with os_free.
#pragma once

#include <array>
#include <cstddef>

// JSON, tab-text and CSV escaping. The _imp forms: without out, the size
// needed; with out, the length written (0 with out empty when it did not fit;
// size 0 means the caller measured out).
size_t str_escape_json_imp(const void *data, size_t len, char *out, size_t size);
char *str_escape_json(const char *text, char *out, size_t size);
char *str_escape_json_dup(const char *text);
size_t str_escape_tab_imp(const void *data, size_t len, char *out, size_t size);
char *str_escape_tab_buf(const char *text, char *out, size_t size);
char *str_escape_tab_dup(const char *text);
// A double-NUL list with its two final NULs, tab-escaped; bound 0 is 65536.
char *str_escape_tab_zz_buf(const char *list, size_t bound, char *out, size_t size);
// JSON escaping, double-quoted when the text holds a comma and does not begin
// with a double quote.
char *str_escape_csv(const char *text, char *out, size_t size);
char *str_escape_csv_dup(const char *text);

// Text a peer sent, for a log line: bytes below 0x20, 0x7f, the C1 controls
// (U+0080 to U+009F) and every byte that is not part of well-formed UTF-8
// are written as "\xNN"; everything else, multi-byte characters included,
// as is. No peer can then start a log line or send a terminal escape to
// whoever reads the log. At most size - 1 bytes and a NUL are written: the
// text is cut before the first escape or character that would not fit whole.
// The length written (0 when size is 0).
size_t str_escape_log_imp(const void *data, size_t len, char *out, size_t size);
// text up to its NUL (nullptr: ""); returns out.
const char *str_escape_log(const char *text, char *out, size_t size);
// Enough for a header value, a user name or a short command line.
constexpr size_t STR_ESCAPE_LOG_SIZE = 1024;
// text escaped for the one statement that logs it, at most N - 1 bytes:
// ZLOG_DBG("open [%s]\n", str_log_text(path).c_str()).
template <size_t N = STR_ESCAPE_LOG_SIZE>
class str_log_text {
public:
    explicit str_log_text(const char *text) { str_escape_log(text, buf_.data(), N); }
    const char *c_str() const { return buf_.data(); }

private:
    std::array<char, N> buf_;
};

// Backslash escapes (C forms: \n, \x41, \101, ...).
// The next decoded character, or -1 at the end of the text.
int str_unescape_get_chr(const char **pos);
// len receives the decoded bytes plus the final NUL (1 on failure).
char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len);
char *str_unescape_cstr_dyn(const char *text, int *len);
char *str_unescape_cstr_inplace(char *text, int *len);
char *str_unescape_cstr_unquote_dup(const char *text);
// pos points after a backslash: octal or one of "abfnrtv\\"; any other
// character gives a backslash and is left unread.
int str_cescape_get_chr(const char **pos);
