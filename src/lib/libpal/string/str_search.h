// Tests and searches over NUL-terminated byte strings (prefixes, suffixes,
// character classes, whole words, lists), a few small builders, and sorting
// and binary search over texts. Letters and digits are ASCII unless the
// locale is named. New strings come from os_malloc, freed with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

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
int str_bsearch_inline(void *const *entries, size_t count, const char *key);
int str_bsearch_ptr(void *const *entries, size_t count, const char *key);
