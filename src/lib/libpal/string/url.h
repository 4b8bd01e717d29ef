// URLs: every destination given as text (log collectors, the debug client's
// target, proxies, client sessions "///name", export names with "?"
// parameters). Parses a URL into a url_info whose fields live in one
// caller-supplied 8192-byte store, builds URL texts back, and reads and
// changes the query of a URL text in place in its 8192-byte buffer. Texts for
// log lines go through url_safe_fmt: no password and no "key"/"alg" value.
#pragma once

#include <cstddef>
#include <cstdint>

struct str_map;

#define URL_BUF_SIZE 8192

// Every field but port is a NUL-terminated string inside store, in this
// order; a field the text does not give is empty. protocol "file": the text
// had no "://"; protocol "name": it began with "///".
struct url_info {
    char    *protocol;
    char    *user;
    char    *passwd;
    char    *host;
    uint16_t port;  // 0 when none was given
    char    *path;
    char    *query;
    char    *hash;  // the fragment
    char    *store;
};

// Parsing and building. url_parser zeroes info and store (URL_BUF_SIZE bytes)
// first. 0, or -1 for a missing store, a text of URL_BUF_SIZE bytes or more,
// a port above 65535 or fields that do not fit the store.
int   url_parser(url_info *info, char *store, const char *text);
int   url_parser_imp(url_info *info, const char *text);
// In place: enclosing blanks and quotes removed, backslashes to '/'.
char *url_fix_sep(char *text);
char *url_normalize(char *text);
// Into out (URL_BUF_SIZE bytes); empty when the URL does not fit.
char *url_build(const url_info *info, char *out);
// Each non-empty field on standard output, "name=value" per line.
void  url_info_print(const url_info *info);

// Single fields into out (4096 bytes): 0, or -1 when the text does not parse
// or (host, path) the field is empty.
int   url_get_protocol(const char *text, char *out);
int   url_get_host(const char *text, char *out);
int   url_get_path(const char *text, char *out);
// "proto://..." (4096 bytes), "file://..." for a text that does not parse.
char *url_get_proto_prefix(const char *text, char *out);
// 1 file, 8 name, 3 http(s), 5 ftp(s), 4 qdp(s), 0 anything else.
int   url_get_type(const char *text);
// The explicit port, else 80 for http and 443 for https, else 0.
int   url_get_port(const url_info *info);
bool  url_proto_is_supported(const url_info *info);  // tcp|tcps|http|https|qdp|qdps
bool  url_proto_is_tls(const url_info *info);        // tcps|https|qdps
bool  url_is_plain(const char *text);
bool  url_is_absolute(const char *text);
// "///name/rest" into name and rest (URL_BUF_SIZE bytes each). 0, or -1 for a
// text too long for its buffer.
int   url_name_split(const char *text, char *name, char *rest, bool keep_sep);
// "mem://%p_%zu" (URL_BUF_SIZE bytes) and back: 0 when both values were read.
char *url_mem_fmt(char *out, const void *address, size_t size);
int   url_mem_parse(const char *text, void **address, size_t *size);
// A decimal digit followed by ':'.
bool  str_is_disk_index(const char *text);
// In place in the text's URL_BUF_SIZE buffer; unchanged when the quoted form
// would not fit.
char *url_quote(char *text);
char *url_quote_sq(char *text);

// Texts for messages (URL_BUF_SIZE bytes): "url parser error" when the text
// does not parse. The hide form shows the shape ("user:pwd@host:port");
// the safe form shows user, host and port. Neither shows a password, and the
// values of the query keys "alg" and "key" become "_". Both are escaped as
// peer text for a log line (str_escape_log), cut to fit.
char *url_safe_hide_fmt(const char *text, char *out);
char *url_safe_fmt(const char *text, char *out);
// In place, in a text of a URL_BUF_SIZE buffer: the values of "alg" and "key"
// in its query (the whole text without "?") become "_", their names compared
// without case, blanks or percent-escapes ("KEY", "%20key", "key%3D..." are
// masked too). A text that cannot be masked becomes "url parser error".
char *url_mask_secrets(char *text);

// Reading the query of a URL text without parsing it: the items after the
// first "?" (the whole text without one), values percent-decoded. A missing
// key gives the default. url_get_query_imp: 0 when found, -1 when the default
// was used (also when the value does not fit: out is then empty).
int         url_get_query_imp(const char *text, const char *key, const char *def, char *out, size_t size);
char       *url_get_query_buf(const char *text, const char *key, const char *def, char *out, size_t size);
char       *url_get_query_dup(const char *text, const char *key, const char *def);
int         url_get_query_int(const char *text, const char *key, int def);
int64_t     url_get_query_ll(const char *text, const char *key, int64_t def);
uint64_t    url_get_query_size(const char *text, const char *key, uint64_t def);
bool        url_has_query(const char *text, const char *key);
// A new map (freed with str_map_free), nullptr without a query.
str_map    *url_get_query_map(const char *text);

// Changing the query of a URL held in a URL_BUF_SIZE buffer, by the modes
// set_always, set_not_exist, set_exist and del_exist of str_kv.h. 0, or -1
// with the URL unchanged (a refused key or value, or a result that would not
// fit).
int url_set_query(char *url, const char *key, const char *value, int escape, int mode);
int url_set_query_mode(char *url, const char *key, const char *value, int mode);
int url_set_query_str(char *url, const char *key, const char *value);
int url_set_query_raw(char *url, const char *key, const char *value);
int url_set_query_int(char *url, const char *key, int value, int mode);
int url_set_query_ll(char *url, const char *key, long value, int mode);
int url_set_query_int_always(char *url, const char *key, int value);
int url_set_query_ll_always(char *url, const char *key, long value);
int url_set_query_str_alias(char *url, const char *key, const char *value);
int url_set_query_int_always_alias(char *url, const char *key, int value);
int url_set_query_ll_always_alias(char *url, const char *key, long value);
// 'key=value' split at its first "="; -1 (nothing changed) when it does not split.
int url_set_query_kv(char *url, const char *kv);
int url_set_query_kv_raw(char *url, const char *kv);
// The text and its NUL, base64-encoded; -1 (nothing changed) when that fails.
int url_set_query_b64(char *url, const char *key, const char *text);
int url_set_query_b64url(char *url, const char *key, const char *text);
int url_del_query(char *url, const char *key);
// Appends "?item" or "&item".
int url_add_query_raw(char *url, const char *item);
// Appends a path segment before the query.
int url_add_path(char *url, const char *segment);
