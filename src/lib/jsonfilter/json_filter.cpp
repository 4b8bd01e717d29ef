// The filter API over json-c: bounded texts in, parsed documents, and the
// matches of a JSONPath expression out as text.
#define ZLOG_TAG "jsonpath"

#include "jsonfilter/json_filter.h"

#include <json.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "jsonfilter/json_path.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_array.h"
#include "liblog/zlog.h"

struct json_filter {
    json_object *doc;
    char *result;  // the last query's text
};

namespace {

constexpr int kMapMatches = 5;
constexpr size_t kReadChunk = 64 << 10;

struct match_list {
    std::vector<json_object *> items;
};

void collect(json_object *match, void *priv)
{
    try {
        static_cast<match_list *>(priv)->items.push_back(match);
    } catch (const std::bad_alloc &) {
        // The match is dropped; the others still count.
    }
}

// The text a match adds to a result: strings raw, nulls nothing.
void append_match(std::string &out, json_object *m)
{
    if (m == nullptr)
        return;
    if (json_object_get_type(m) == json_type_string)
        out.append(json_object_get_string(m), static_cast<size_t>(json_object_get_string_len(m)));
    else
        out.append(json_object_to_json_string(m));
    out.push_back('\n');
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

json_object *parse_json(const char *text, const char **error)
{
    const char *dummy = nullptr;
    const char **err = error != nullptr ? error : &dummy;
    if (text == nullptr) {
        *err = "no text";
        return nullptr;
    }
    size_t len = strnlen(text, JSON_FILTER_MAX_TEXT + 1);
    if (len > JSON_FILTER_MAX_TEXT) {
        *err = "text too long";
        return nullptr;
    }
    json_tokener *tok = json_tokener_new();
    if (tok == nullptr) {
        *err = "out of memory";
        return nullptr;
    }
    json_object *doc = json_tokener_parse_ex(tok, text, static_cast<int>(len));
    json_tokener_error rc = json_tokener_get_error(tok);
    size_t end = json_tokener_get_parse_end(tok);
    json_tokener_free(tok);
    if (rc == json_tokener_continue) {
        *err = json_tokener_error_desc(json_tokener_error_parse_eof);
        json_object_put(doc);
        return nullptr;
    }
    if (rc != json_tokener_success) {
        *err = json_tokener_error_desc(rc);
        json_object_put(doc);
        return nullptr;
    }
    // A second value after the first is not one document.
    while (end < len && is_blank(text[end]))
        end++;
    if (end < len) {
        *err = json_tokener_error_desc(json_tokener_error_parse_unexpected);
        json_object_put(doc);
        return nullptr;
    }
    return doc;
}

char *filter_json(json_object *doc, const char *expr, int max)
{
    jp_state *s = jp_parse(expr);
    if (s == nullptr) {
        ZLOG_ERR("jp_parse out of memory\n");
        return nullptr;
    }
    if (s->error_code != 0) {
        ZLOG_ERR("jp_parse error_code=%d\n", s->error_code);
        jp_free(s);
        return nullptr;
    }
    char *text = nullptr;
    try {
        match_list list;
        jp_match(s->path, doc, collect, &list);
        if (!list.items.empty()) {
            std::string out;
            for (size_t i = 0; i < list.items.size() && static_cast<int64_t>(i) < max; i++)
                append_match(out, list.items[i]);
            if (!out.empty())
                out.pop_back();
            text = os_strdup(out.c_str());
        }
    } catch (const std::bad_alloc &) {
        text = nullptr;
    }
    jp_free(s);
    return text;
}

char *json_get_val(const char *text, const char *expr)
{
    const char *error = nullptr;
    json_object *doc = parse_json(text, &error);
    if (doc == nullptr) {
        ZLOG_ERR("Failed to parse json data: %s\n", error);
        return nullptr;
    }
    char *val = filter_json(doc, expr, 1);
    json_object_put(doc);
    return val;
}

json_filter *json_filter_open_string(const char *text)
{
    const char *error = nullptr;
    json_object *doc = parse_json(text, &error);
    if (doc == nullptr) {
        ZLOG_DBG("parse_json Failed error: %s\n", error);
        return nullptr;
    }
    auto *h = static_cast<json_filter *>(os_zalloc(sizeof(json_filter)));
    if (h == nullptr) {
        json_object_put(doc);
        return nullptr;
    }
    h->doc = doc;
    return h;
}

char *json_filter_load_text(const char *path)
{
    os_file_ctx *f = os_file_open(path, OS_PF_RDONLY);
    if (f == nullptr)
        return nullptr;
    std::string text;
    bool ok = true;
    try {
        std::vector<char> chunk(kReadChunk);
        while (true) {
            int64_t n = os_file_read(f, chunk.data(), chunk.size());
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            text.append(chunk.data(), static_cast<size_t>(n));
            if (text.size() > JSON_FILTER_MAX_TEXT) {
                errno = EFBIG;
                ok = false;
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        ok = false;
    }
    int saved = errno;
    os_file_close(f);
    errno = saved;
    if (!ok)
        return nullptr;
    // A NUL inside ends the text, as for any C string.
    return os_strdup(text.c_str());
}

json_filter *json_filter_open_file(const char *path)
{
    char *text = json_filter_load_text(path);
    if (text == nullptr)
        return nullptr;
    json_filter *h = json_filter_open_string(text);
    os_free(text);
    return h;
}

const char *json_filter_get(json_filter *h, const char *expr)
{
    if (h == nullptr)
        return nullptr;
    os_free(h->result);
    h->result = filter_json(h->doc, expr, 1);
    return h->result;
}

str_map *json_filter_get_map(json_filter *h, const char *expr)
{
    if (h == nullptr)
        return nullptr;
    char *text = filter_json(h->doc, expr, kMapMatches);
    if (text == nullptr)
        return nullptr;
    json_object *obj = json_tokener_parse(text);
    os_free(text);
    if (json_object_get_type(obj) != json_type_object) {
        json_object_put(obj);
        return nullptr;
    }
    str_map *map = str_map_new(STR_F_OWN | STR_F_VAL_INLINE);
    if (map != nullptr) {
        json_object_object_foreach(obj, key, val) {
            if (str_map_add(map, key, json_object_to_json_string(val)) != 0) {
                str_map_free(map);
                map = nullptr;
                break;
            }
        }
    }
    json_object_put(obj);
    return map;
}

void json_filter_close(json_filter *h)
{
    if (h == nullptr)
        return;
    json_object_put(h->doc);
    os_free(h->result);
    os_free(h);
}
