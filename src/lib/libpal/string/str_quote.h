// Quoting and replacing in NUL-terminated byte strings: texts quoted for
// configuration, environment and shell lines, and replacement of substrings
// and characters. Calls that can refuse return nullptr and log the reason at
// err level (tag "pal"); new strings come from os_malloc, freed with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

// Quoting.
// text unchanged when it holds none of seps or already begins with quote;
// a missing or empty text gives two quote characters; else quote+text+quote.
char *str_quote_if(const char *text, const char *seps, char quote, char *out, size_t size);
char *str_quote_dq(const char *text, char *out, size_t size);      // " \t;" in double quotes
char *str_quote_sq(const char *text, char *out, size_t size);      // " \t;" in single quotes
char *str_quote_sq_env(const char *text, char *out, size_t size);  // " \t$%;" in single quotes
char *str_quote_dq_env(const char *text, char *out, size_t size);  // " \t$%;" in double quotes
char *str_quote_dq_cfg(const char *text, char *out, size_t size);  // " #;" in double quotes
// text quoted for a POSIX shell; nullptr when the result does not fit in size.
char *str_shell_escape(const char *text, char *out, size_t size);
// In place: trims white space and enclosing quote pairs until nothing changes.
char *str_unquote(char *text);

// Replacing.
// Every occurrence of old_text (at most max_count when not 0), left to right,
// without overlap. out nullptr: a new allocation; with out: nullptr when the
// result does not fit. An empty old_text gives a copy.
char *str_replace_imp(const char *text, const char *old_text, const char *new_text, size_t max_count, char *out,
                      size_t size);
char *str_replace_buf(const char *text, const char *old_text, const char *new_text, char *out, size_t size);
char *str_replace_dup(const char *text, const char *old_text, const char *new_text);
char *str_replace_chr(char *text, char from, char to);
uint32_t *wstr_replace_chr(uint32_t *text, uint32_t from, uint32_t to);
// The first n occurrences (n 0: all).
char *str_replace_chr_n(char *text, size_t n, char from, char to);
char *str_set_last_chr(char *text, char c);
