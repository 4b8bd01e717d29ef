// String tools: quoting, replacing, searching, trimming and deleting in place
// on NUL-terminated byte strings, a bounded buffer of recent whole lines (the
// logger's recent-lines view) and sorting/binary-search wrappers. Letters and
// digits are ASCII unless the locale is named. Calls that can refuse return
// -1 or nullptr and log the reason at err level (tag "pal"); new strings come
// from os_malloc and are freed by the caller with os_free. Nothing here locks.
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

// Tests and searches. An empty prefix or suffix is always found.
bool str_startswith(const char *text, const char *prefix);
bool str_endswith(const char *text, const char *suffix);
bool str_istartswith(const char *text, const char *prefix);
bool str_iendswith(const char *text, const char *suffix);
bool str_is_enclosed(const char *text, char open, char close);
bool str_is_all_chr(const char *text, char c);

// Masks of str_is_class.
enum : int {
    STR_CLASS_ALPHA  = 0x1,
    STR_CLASS_DIGIT  = 0x2,
    STR_CLASS_XDIGIT = 0x4,
};
// Character class bits of str_ctype_is.
enum : int {
    STR_CTYPE_ALPHA  = 0x100,
    STR_CTYPE_CNTRL  = 0x200,
    STR_CTYPE_DIGIT  = 0x400,
    STR_CTYPE_GRAPH  = 0x800,
    STR_CTYPE_LOWER  = 0x1000,
    STR_CTYPE_PUNCT  = 0x2000,
    STR_CTYPE_SPACE  = 0x4000,
    STR_CTYPE_UPPER  = 0x8000,
    STR_CTYPE_XDIGIT = 0x10000,
    STR_CTYPE_BLANK  = 0x20000,
    STR_CTYPE_PRINT  = 0x40000,
};
// True for the empty text.
bool str_is_class(const char *text, int mask);
// The locale's class bits of c (0 outside 0..255) ANDed with mask.
int str_ctype_is(int c, int mask);

char *str_istr(const char *text, const char *sub);
char *str_rstr(const char *text, const char *sub);
// word as a whole word: neither neighbour is a letter or digit.
char *str_gfind(const char *text, const char *word);
char *str_igfind(const char *text, const char *word);
// One step of the whole-word search from *cur: -1 when word no longer occurs;
// 1 with *cur at an occurrence that is a whole word; 0 with *cur moved past
// an occurrence that is not.
int str_find_word_step(const char *text, const char **cur, const char *word, bool icase);
// The first character of set (in set's order) that occurs in text.
char *str_find_any(const char *text, const char *set);
char *str_rfind_any(const char *text, const char *set);
// The n-th (from 1) occurrence of c.
char *str_chr_nth(const char *text, char c, size_t n);
size_t str_count_chr(const char *text, char c);
size_t str_count_set(const char *text, const char *set);
// 0 when item equals one entry of the sep-separated list, else -1.
int str_list_find(const char *item, const char *list, char sep);
// Index of item in a list of texts ended by an empty text, or -1.
int str_zz_find(const char *list, const char *item);
// At most size-1 characters of text with every CR and LF removed.
char *str_get_head(const char *text, char *buf, size_t size);
// Copies the part of text before its first separator into out; returns the
// position of that separator (or the NUL), nullptr when the part does not fit.
const char *str_ctok(const char *text, const char *seps, char *out, size_t size);
char *str_concat_dup(const char *a, const char *b);
char *str_add_chr_dup(const char *text, char c);
// Logs every offset within a's length where a and b differ. Requires: b at least as long as a.
int str_cmp_show_dbg(const char *a, const char *b);

// Sorting and binary search over texts. entries of str_bsearch_inline point
// at the keys; those of str_bsearch_ptr at records whose first field is the
// key pointer. Both return the index, or -1.
void sort_chars(char *bytes, size_t count);
void sort_strings(char **strs, size_t count);
void sort_str_records(void **records, size_t count);
void sort_u64(uint64_t *values, size_t count);
int  str_bsearch_inline(void *const *entries, size_t count, const char *key);
int  str_bsearch_ptr(void *const *entries, size_t count, const char *key);

// Editing in place; each returns text unless said otherwise.
int   str_prepend(char *text, size_t size, const char *prefix);
// Appends c unless text ends with it; a full buffer gets c as its last character.
int   str_add_chr_not_exist_tail(char *text, size_t size, char c);
char *str_zero(char *text);
char *str_tolower(char *text);
char *str_toupper(char *text);
// Trailing, then leading characters for which pred is true (or equal to c
// without pred); a character of 128 or above stops the trim.
char *str_trim_by(char *text, bool (*pred)(int c), char c);
bool  chr_is_space(int c);
bool  chr_is_quote(int c);
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
int   str_del_substr(char *text, const char *sub);
char *str_reverse(char *text);
// Rewrites text as its items (split at any character of seps) each followed by
// the whole seps text, within its old size. 0, or -1.
int   str_resplit(char *text, const char *seps);

// Recent lines: a caller's buffer that keeps the most recent whole lines.
struct str_tail {
    char  *buf;
    size_t size;
    size_t len;
};
void str_tail_init(str_tail *tail, char *buf, size_t size);
// Appends text after dropping the fewest leading whole lines that make room;
// a text that cannot fit after dropping every whole line is not added.
void str_tail_add(str_tail *tail, const char *text);
