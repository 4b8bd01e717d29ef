// The JSON filter: a parsed document (json-c) queried with JSONPath
// expressions, each answer given as text. The virtual devices read their
// description file through it, one value per query. Texts and files above
// JSON_FILTER_MAX_TEXT bytes, and documents nested deeper than json-c's
// default depth (32), are refused with an error, never parsed.
#pragma once

#include <cstddef>

struct json_object;
struct json_filter;
struct str_map;

constexpr size_t JSON_FILTER_MAX_TEXT = 1 << 20;

// The filter API. Opens return nullptr when the text is not valid JSON (logged
// "parse_json Failed error: %s\n" at dbg level with json-c's description) or
// the file cannot be read. Requires: json_filter_close on the handle.
json_filter *json_filter_open_string(const char *text);
json_filter *json_filter_open_file(const char *path);
// The text of the first match, or nullptr; valid until the next query or the
// close.
const char *json_filter_get(json_filter *h, const char *expr);
// Each member of the object the expression finds, its key to its JSON text;
// nullptr when nothing is found or what is found is not an object. The caller
// frees the map with str_map_free.
str_map *json_filter_get_map(json_filter *h, const char *expr);
void json_filter_close(json_filter *h);

// The whole text of a file of at most JSON_FILTER_MAX_TEXT bytes (free with
// os_free); nullptr with errno set when it cannot be read, EFBIG when it is
// larger. Nothing larger than the bound is ever held in memory.
char *json_filter_load_text(const char *path);

// The core calls. parse_json: the document (json_object_put frees it), or
// nullptr with *error set to json-c's description (or our own for a text too
// long or followed by more than blanks).
json_object *parse_json(const char *text, const char **error);
// At most max matches as text, joined by newlines (strings raw, others as
// json-c writes them, nulls as nothing); nullptr when nothing matches or the
// expression does not parse (its code logged). Free with os_free.
char *filter_json(json_object *doc, const char *expr, int max);
// filter_json of a JSON text with max 1.
char *json_get_val(const char *text, const char *expr);
