// String builder: a growing, always NUL-terminated text buffer in which
// multi-line outputs are built (dumps, listings, command output, log
// messages). It starts with 4096 zeroed bytes and grows four-fold below
// 65536 bytes, two-fold from then on, zero-filling the new space. One owner
// at a time; nothing here locks. Memory comes from os_malloc.
#pragma once

#include <cstdarg>
#include <cstddef>

struct str_buf {
    char  *text;  // NUL at text[len]
    size_t len;   // bytes in use, without the NUL
    size_t cap;   // bytes allocated
};

constexpr size_t STR_BUF_INIT_SIZE = 4096;

// nullptr when memory runs out.
str_buf *str_buf_new();
int      str_buf_free(str_buf *sb);
// Frees the record and hands the text to the caller (free it with os_free);
// an empty builder gives nullptr (its text is freed).
char *str_buf_detach(str_buf *sb);
// As str_buf_detach, but an empty builder gives a new empty string.
char *str_buf_detach_nonnull(str_buf *sb);
int   str_buf_reset(str_buf *sb);
// The text, or nullptr while the builder is empty.
const char *str_buf_cstr(const str_buf *sb);

// Appends n bytes (NULs allowed) and a NUL; 0, or -1 when growing fails
// (the builder is then unchanged). n == 0 does nothing.
int str_buf_append(str_buf *sb, const void *bytes, size_t n);
// The formatted length; a result below 1 appends nothing.
int str_buf_vappendf(str_buf *sb, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int str_buf_appendf(str_buf *sb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int str_buf_append_str(str_buf *sb, const char *text);
int str_buf_putc(str_buf *sb, char c);
// Appends c unless the builder already ends with it.
int str_buf_putc_once(str_buf *sb, char c);
// Removes the last character; the old length (0 when empty).
size_t str_buf_del_last(str_buf *sb);
// Removes and zeroes the last min(n, len) characters; 0.
int str_buf_del_tail(str_buf *sb, size_t n);
// Replaces every occurrence of old_text by new_text; -1 when that fails.
int str_buf_replace(str_buf *sb, const char *old_text, const char *new_text);
