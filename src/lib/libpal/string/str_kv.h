// Key/value text and variable expansion: lists of 'key=value' items separated
// by "&", line ends or other characters (URL queries, command output,
// configuration fragments) read by key, searched by value and changed by mode;
// field and token picks; '$name', '${name}' and '%NAME%' expansion. Lookups
// answer -1 or nullptr and report nothing; new strings are freed with os_free.
#pragma once

#include <cstddef>

struct str_buf;

// Change modes of str_kv_set (and of URL query changes).
enum : int {
    set_always    = 1,  // replace the item when present, else add it
    set_not_exist = 2,  // add only when absent
    set_exist     = 3,  // replace only when present
    del_exist     = 4,  // delete when present
};
const char *str_kv_mode_name(int mode);

// Reading. Items are cut at any character of seps (at most 8191 characters
// each); an item without kvsep ends the search. Key and value are trimmed.
// 0 with the value in (out, size), or -1.
int str_kv_get_sep(const char *text, const char *seps, char kvsep, const char *key, char *out, size_t size);
int str_kv_get(const char *text, const char *seps, const char *key, char *out, size_t size);
int str_kv_get_lines(const char *text, const char *key, char *out, size_t size);
// "&"-separated items; the value percent-decoded into (out, size).
int str_kv_get_url(const char *text, const char *key, char *out, size_t size);
// Then one enclosing pair of '', "" or [] removed from the value.
int str_kv_get_sep_unquote(const char *text, const char *seps, char kvsep, const char *key, char *out,
                           size_t size);
int str_kv_get_unquote(const char *text, const char *key, char *out, size_t size);
// The text between the first "[" and the last "]" of the key's value (LF lines).
int str_kv_get_bracket(const char *text, const char *key, char *out, size_t size);
// The key of the first item whose trimmed value equals value.
int str_kv_get_key(const char *text, const char *seps, char kvsep, const char *value, char *key, size_t size);
// 0 when a trimmed non-empty token of text equals item.
int str_list_find_tok(const char *text, const char *seps, const char *item);

// Field n (from 0); every single separator delimits a field. nullptr when
// there are fewer fields or the field does not fit.
char *str_get_field(const char *text, const char *seps, int n, char *out, size_t size);
// Fields 0 and 1 ('a=b=c' at "=" gives "a" and "b"); 0 or -1.
int str_get_key_and_val(const char *text, const char *seps, char *key, size_t key_size, char *val,
                        size_t val_size);
// Token n (from 0) by strtok_r: runs of separators count as one; text changes.
char *str_tok_n(char *text, const char *seps, int n);
char *str_tok_n_dup(const char *text, const char *seps, int n);
// Token value_field, trimmed, of the first line whose token key_field is key.
char *str_lines_get_field(const char *text, const char *seps, const char *key, int key_field, int value_field);
// Token n, trimmed, of the first line that contains pattern.
char *str_lines_find_field(const char *text, const char *pattern, const char *seps, int n);
// At most length characters from offset, cut to size-1; empty past the end.
char *str_substr_buf(const char *srcstr, size_t offset, size_t length, char *out, size_t size);
// The same as a new string; nullptr when offset is at or beyond the end.
char *str_substr(const char *text, size_t offset, size_t length);
// text cut to blen-1 characters, then at the last sep within what was kept.
char *str_get_sep_max_substr_buf(const char *text, char sep, char *out, size_t blen);
// 1 for a true word, 0 for a false word, -1 for anything else (any case).
int str_to_bool(const char *text);

// Rewrites text in place (within size) with key=value set, added or deleted by
// mode; items are rejoined with the seps text and empty items dropped. 0, or -1
// with the text unchanged when the result does not fit or memory runs out.
int str_kv_set(char *text, size_t size, const char *seps, int mode, const char *key, const char *value);
// Appends "&" (unless buffer is empty) and key=value with the value
// percent-encoded; an addition that does not fit is left out. Returns buffer.
char *str_kv_add_url(char *buffer, size_t size, const char *key, const char *value);

// A variable's value as a new string, or nullptr when it has none.
using str_var_getter = char *(*)(const char *name, void *ctx);

// Expands '$name' and '${name}' through getter; a variable without value
// stays as '${name}'. Never nullptr.
char *str_expand_vars_imp(const char *text, str_var_getter getter, void *ctx);
// Appends the value of name to sb (or '${name}' when the getter has none: -1).
int   str_var_get(const char *text, str_buf *sb, str_var_getter getter, const char *name, void *ctx);
char *str_var_get_env(const char *name, void *ctx);
char *str_var_get_mask(const char *name, void *ctx);  // "?*" for any name
char *str_expand_vars_env(const char *text);
char *str_expand_vars_mask(const char *text);
// Strict copy of the expansion into (out, size): 0, or the copy's error code.
int   str_expand_vars_env_buf(const char *text, char *out, size_t size);
int   str_expand_vars_mask_buf(const char *text, char *out, size_t size);
// '%NAME%' from the environment; an unset name stays as it is.
char *str_expand_pct_env(const char *text);
int   str_expand_pct_env_buf(const char *text, char *out, size_t size);
