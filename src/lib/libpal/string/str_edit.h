// Editing NUL-terminated byte strings in place: trimming, deleting,
// squeezing, case and order. Nothing here allocates or locks.
#pragma once

#include <cstddef>

// Each returns text unless said otherwise.
int str_prepend(char *text, size_t size, const char *prefix);
// Appends c unless text ends with it; a full buffer gets c as its last character.
int str_add_chr_not_exist_tail(char *text, size_t size, char c);
char *str_zero(char *text);
char *str_tolower(char *text);
char *str_toupper(char *text);
// Trailing, then leading characters for which pred is true (or equal to c
// without pred); a character of 128 or above stops the trim.
char *str_trim_by(char *text, bool (*pred)(int c), char c);
bool chr_is_space(int c);
bool chr_is_quote(int c);
char *str_trim(char *text);
char *str_trim_quote_chars(char *text);
char *str_trim_chr(char *text, char c);
char *str_rtrim_set(char *text, const char *set);
// Trailing blanks, tabs, VT and FF (not CR or LF).
char *str_rtrim_blank(char *text);
char *str_rtrim_chr(char *text, char c);
char *str_del_chr(char *text, char c);
char *str_del_chrs(char *text, const char *set);
char *str_del_chr_set(char *text, const char *set);
char *str_rdelchar(char *text, char c);
char *str_squeeze_chr(char *text, char c);
char *str_strip_ends(char *text);
char *str_strip_pair(char *text, char open, char close);
char *str_cut_suffix(char *text, const char *suffix);
char *str_del_range(char *text, size_t offset, size_t n);
char *str_del_range_copy(char *out, const char *text, size_t offset, size_t n);
// 1 when the first occurrence of sub was removed, 0 when sub does not occur.
int str_del_substr(char *text, const char *sub);
char *str_reverse(char *text);
// Rewrites text as its items (split at any character of seps) each followed by
// the whole seps text, within its old size. 0, or -1.
int str_resplit(char *text, const char *seps);
