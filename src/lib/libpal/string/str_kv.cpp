// Key/value text, field picks and variable expansion. Items are read through
// a fixed 8192-byte buffer (str_ctok), so a lookup never allocates from a
// length found in its input.
#define ZLOG_TAG "pal"

#include "libpal/string/str_kv.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/val_tab.h"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_edit.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_search.h"
#include "libpal/string/str_uri.h"

namespace {

constexpr size_t kv_item_size = 8192;

constexpr val_tab kv_mode_names[] = {
    {set_always, "set_always"},
    {set_not_exist, "set_not_exist"},
    {set_exist, "set_exist"},
    {del_exist, "del_exist"},
};

constexpr std::string_view true_words[] = {
    "true", "t", "yes", "y", "on", "up", "running", "enabled", "available",
};
constexpr std::string_view false_words[] = {
    "false", "f", "no", "n", "off", "down", "unused", "disabled", "unavailable",
};

enum class walk { next, found, stop };

// Calls visit(item) for every item of text cut at any character of seps; 0
// once visit answers found, -1 at the end, on stop or on an item that does
// not fit (reported by str_ctok).
template <typename Visit>
int for_each_item(const char *text, const char *seps, Visit visit)
{
    if (text == nullptr || seps == nullptr)
        return -1;
    char item[kv_item_size];
    const char *p = text;
    while (*p != '\0') {
        const char *end = str_ctok(p, seps, item, sizeof(item));
        if (end == nullptr)
            return -1;
        switch (visit(item)) {
        case walk::found:
            return 0;
        case walk::stop:
            return -1;
        case walk::next:
            break;
        }
        p = (*end != '\0') ? end + 1 : end;
    }
    return -1;
}

// A copy of text for strtok_r and friends; nullptr when memory runs out.
struct owned_text {
    char *text;
    explicit owned_text(const char *src) : text(src ? os_strdup(src) : nullptr) {}
    ~owned_text() { os_free(text); }
    owned_text(const owned_text &) = delete;
    owned_text &operator=(const owned_text &) = delete;
};

char *trimmed_dup(char *token)
{
    return safe_strdup(str_trim(token));
}

// The first answer of pick (a new string, or nullptr to go on) over the
// non-empty lines of a copy of text.
template <typename Pick>
char *first_line_pick(const char *text, Pick pick)
{
    owned_text copy(text);
    if (copy.text == nullptr)
        return nullptr;
    char *save = nullptr;
    for (char *line = strtok_r(copy.text, "\r\n", &save); line; line = strtok_r(nullptr, "\r\n", &save)) {
        if (char *found = pick(line))
            return found;
    }
    return nullptr;
}

bool is_ending_chr(char c)
{
    return c == '$' || c == '-' || c == '/' || c == ':' || c == '=' || c == '\\';
}

}  // namespace

const char *str_kv_mode_name(int mode)
{
    return val_tab_get_name(mode, kv_mode_names, std::size(kv_mode_names));
}

int str_kv_get_sep(const char *text, const char *seps, char kvsep, const char *key, char *out, size_t size)
{
    if (key == nullptr || out == nullptr)
        return -1;
    int copied = 0;
    const int r = for_each_item(text, seps, [&](char *item) {
        if (item[0] == '\0')
            return walk::next;
        char *sep = strchr(item, kvsep);
        if (sep == nullptr)
            return walk::stop;
        *sep = '\0';
        if (strcmp(str_trim(item), key) != 0)
            return walk::next;
        copied = str_safecopy(out, size, str_trim(sep + 1));
        return walk::found;
    });
    // A value that does not fit is a failed lookup, not an empty value.
    return (r == 0 && copied == 0) ? 0 : -1;
}

int str_kv_get(const char *text, const char *seps, const char *key, char *out, size_t size)
{
    return str_kv_get_sep(text, seps, '=', key, out, size);
}

int str_kv_get_lines(const char *text, const char *key, char *out, size_t size)
{
    return str_kv_get_sep(text, "\r\n", '=', key, out, size);
}

int str_kv_get_url(const char *text, const char *key, char *out, size_t size)
{
    char raw[kv_item_size];
    if (str_kv_get(text, "&", key, raw, sizeof(raw)) != 0)
        return -1;
    return str_unescape_url_args(raw, out, size);
}

int str_kv_get_sep_unquote(const char *text, const char *seps, char kvsep, const char *key, char *out,
                           size_t size)
{
    if (str_kv_get_sep(text, seps, kvsep, key, out, size) != 0)
        return -1;
    if (str_is_enclosed(out, '\'', '\'') || str_is_enclosed(out, '"', '"') || str_is_enclosed(out, '[', ']'))
        str_strip_ends(out);
    return 0;
}

int str_kv_get_unquote(const char *text, const char *key, char *out, size_t size)
{
    return str_kv_get_sep_unquote(text, "\n", '=', key, out, size);
}

int str_kv_get_bracket(const char *text, const char *key, char *out, size_t size)
{
    char value[kv_item_size];
    if (out == nullptr || str_kv_get_sep(text, "\n", '=', key, value, sizeof(value)) != 0)
        return -1;
    const char *open = strchr(value, '[');
    const char *close = open ? strrchr(open, ']') : nullptr;
    if (close == nullptr)
        return -1;
    const size_t distance = static_cast<size_t>(close - open);
    if (size < distance)
        return -1;
    memcpy(out, open + 1, distance - 1);
    out[distance - 1] = '\0';
    return 0;
}

int str_kv_get_key(const char *text, const char *seps, char kvsep, const char *value, char *key, size_t size)
{
    if (value == nullptr || key == nullptr)
        return -1;
    int copied = 0;
    const int r = for_each_item(text, seps, [&](char *item) {
        char *sep = strchr(item, kvsep);
        if (sep == nullptr)
            return walk::next;
        *sep = '\0';
        if (strcmp(str_trim(sep + 1), value) != 0)
            return walk::next;
        copied = str_safecopy(key, size, str_trim(item));
        return walk::found;
    });
    return (r == 0 && copied == 0) ? 0 : -1;
}

int str_list_find_tok(const char *text, const char *seps, const char *item)
{
    if (item == nullptr)
        return -1;
    return for_each_item(text, seps, [&](char *tok) {
        str_trim(tok);
        return (tok[0] != '\0' && strcmp(tok, item) == 0) ? walk::found : walk::next;
    });
}

char *str_get_field(const char *text, const char *seps, int n, char *out, size_t size)
{
    if (text == nullptr || seps == nullptr || out == nullptr || n < 0)
        return nullptr;
    const char *p = text;
    for (int i = 0;; i++) {
        const size_t len = strcspn(p, seps);
        if (i == n) {
            if (len + 1 > size)
                return nullptr;
            memcpy(out, p, len);
            out[len] = '\0';
            return out;
        }
        if (p[len] == '\0')
            return nullptr;
        p += len + 1;
    }
}

int str_get_key_and_val(const char *text, const char *seps, char *key, size_t key_size, char *val,
                        size_t val_size)
{
    if (str_get_field(text, seps, 0, key, key_size) == nullptr ||
        str_get_field(text, seps, 1, val, val_size) == nullptr)
        return -1;
    return 0;
}

char *str_tok_n(char *text, const char *seps, int n)
{
    if (text == nullptr || seps == nullptr || n < 0)
        return nullptr;
    char *save = nullptr;
    char *tok = strtok_r(text, seps, &save);
    for (int i = 0; tok != nullptr && i < n; i++)
        tok = strtok_r(nullptr, seps, &save);
    return tok;
}

char *str_tok_n_dup(const char *text, const char *seps, int n)
{
    owned_text copy(text);
    if (copy.text == nullptr)
        return nullptr;
    char *tok = str_tok_n(copy.text, seps, n);
    return tok ? safe_strdup(tok) : nullptr;
}

char *str_lines_get_field(const char *text, const char *seps, const char *key, int key_field, int value_field)
{
    if (key == nullptr)
        return nullptr;
    return first_line_pick(text, [&](char *line) -> char * {
        // Each token pick cuts its own copy of the line.
        owned_text for_key(line);
        owned_text for_value(line);
        if (for_key.text == nullptr || for_value.text == nullptr)
            return nullptr;
        const char *k = str_tok_n(for_key.text, seps, key_field);
        if (k == nullptr || strcmp(k, key) != 0)
            return nullptr;
        char *v = str_tok_n(for_value.text, seps, value_field);
        return v ? trimmed_dup(v) : nullptr;
    });
}

char *str_lines_find_field(const char *text, const char *pattern, const char *seps, int n)
{
    if (pattern == nullptr)
        return nullptr;
    return first_line_pick(text, [&](char *line) -> char * {
        if (strstr(line, pattern) == nullptr)
            return nullptr;
        char *v = str_tok_n(line, seps, n);
        return v ? trimmed_dup(v) : nullptr;
    });
}

char *str_substr_buf(const char *srcstr, size_t offset, size_t length, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return out;
    out[0] = '\0';
    PL_ASSERT_RET(length > 0, out);
    PL_ASSERT_TEXT_RET(srcstr != nullptr, "srcstr != NULL", out);
    const size_t len = strlen(srcstr);
    if (offset >= len)
        return out;
    size_t n = len - offset;
    if (n > length)
        n = length;
    if (n > size - 1)
        n = size - 1;
    memcpy(out, srcstr + offset, n);
    out[n] = '\0';
    return out;
}

char *str_substr(const char *text, size_t offset, size_t length)
{
    if (text == nullptr)
        return nullptr;
    const size_t len = strlen(text);
    if (offset >= len)
        return nullptr;
    const size_t n = (len - offset < length) ? len - offset : length;
    char *piece = static_cast<char *>(os_malloc(n + 1));
    if (piece == nullptr)
        return nullptr;
    memcpy(piece, text + offset, n);
    piece[n] = '\0';
    return piece;
}

char *str_get_sep_max_substr_buf(const char *text, char sep, char *out, size_t blen)
{
    if (out == nullptr)
        return nullptr;
    if (blen > 0)
        out[0] = '\0';
    PL_ASSERT_RET(blen>=2, out);
    if (text == nullptr)
        return out;
    str_safecopy2(out, blen, text);
    char *last = strrchr(out, sep);
    if (last != nullptr)
        *last = '\0';
    return out;
}

int str_to_bool(const char *text)
{
    if (text == nullptr)
        return -1;
    char word[16];
    // A text of 16 or more characters is no boolean word.
    if (strnlen(text, sizeof(word)) >= sizeof(word))
        return -1;
    strcpy(word, text);
    str_tolower(word);
    for (std::string_view w : true_words)
        if (w == word)
            return 1;
    for (std::string_view w : false_words)
        if (w == word)
            return 0;
    return -1;
}

int str_kv_set(char *text, size_t size, const char *seps, int mode, const char *key, const char *value)
{
    if (text == nullptr || size == 0 || seps == nullptr || key == nullptr)
        return -1;
    if (mode < set_always || mode > del_exist) {
        ZLOG_ERR("mode=%d unknown\n", mode);
        return -1;
    }
    if (value == nullptr && mode != del_exist)
        return -1;

    str_vector items;
    str_vector_init(&items, STR_F_NO_EMPTY);
    char *out = static_cast<char *>(os_malloc(size));
    if (out == nullptr || str_vector_split(text, seps, &items) < 0) {
        os_free(out);
        str_vector_exit(&items);
        return -1;
    }
    out[0] = '\0';
    const size_t key_len = strlen(key);
    bool matched = false;
    bool fits = true;
    // Items are joined with the seps text, which drops the trailing one.
    auto add = [&](const char *a, const char *b, const char *c) {
        if (out[0] != '\0')
            fits = fits && str_safecat(out, size, seps) == 0;
        fits = fits && str_safecat(out, size, a) == 0;
        fits = fits && str_safecat(out, size, b) == 0;
        fits = fits && str_safecat(out, size, c) == 0;
    };
    for (uint32_t i = 0; i < items.count && fits; i++) {
        const char *item = items.items[i];
        const bool is_key = strncmp(item, key, key_len) == 0 && item[key_len] == '=';
        if (!is_key) {
            add(item, "", "");
            continue;
        }
        matched = true;
        if (mode == set_always || mode == set_exist)
            add(key, "=", value);
        else if (mode == set_not_exist)
            add(item, "", "");
    }
    if (fits && !matched && (mode == set_always || mode == set_not_exist))
        add(key, "=", value);
    str_vector_exit(&items);
    if (fits)
        memcpy(text, out, strlen(out) + 1);
    os_free(out);
    return fits ? 0 : -1;
}

char *str_kv_add_url(char *buffer, size_t size, const char *key, const char *value)
{
    if (buffer == nullptr || key == nullptr || value == nullptr)
        return buffer;
    char escaped[kv_item_size];
    if (str_escape_url_args(value, escaped, sizeof(escaped)) != 0)
        return buffer;
    strcat_printf(buffer, size, "%s%s=%s", buffer[0] != '\0' ? "&" : "", key, escaped);
    return buffer;
}

int str_var_get(const char *text, str_buf *sb, str_var_getter getter, const char *name, void *ctx)
{
    char *value = getter(name, ctx);
    if (value == nullptr) {
        ZLOG_ERR("[%s] var=[%s] get_failed", text, name);
        str_buf_appendf(sb, "${%s}", name);
        return -1;
    }
    str_buf_append_str(sb, value);
    os_free(value);
    return 0;
}

char *str_var_get_env(const char *name, void *)
{
    const char *value = name ? getenv(name) : nullptr;
    return value ? os_strdup(value) : nullptr;
}

char *str_var_get_mask(const char *, void *)
{
    return os_strdup("?*");
}

char *str_expand_vars_imp(const char *text, str_var_getter getter, void *ctx)
{
    str_buf *sb = str_buf_new();
    if (sb == nullptr || text == nullptr || getter == nullptr) {
        str_buf_free(sb);
        return safe_strdup("");
    }
    enum class state { plain, name, braced };
    state st = state::plain;
    // Names up to 4095 characters; a reference with a longer name is copied
    // as it stands.
    char name[4096];
    size_t name_len = 0;
    bool name_long = false;
    const char *ref = nullptr;  // the reference's "$"

    auto add_name_chr = [&](char c) {
        if (name_len + 1 < sizeof(name))
            name[name_len++] = c;
        else
            name_long = true;
    };
    auto start_ref = [&](const char *at) {
        st = state::name;
        name_len = 0;
        name_long = false;
        ref = at;
    };
    // Resolves the name read so far; end is one past the reference's text.
    auto resolve = [&](const char *end) {
        if (name_long) {
            ZLOG_ERR("[%.64s] var name too long\n", text);
            str_buf_append(sb, ref, static_cast<size_t>(end - ref));
        } else if (name_len > 0) {
            name[name_len] = '\0';
            str_var_get(text, sb, getter, name, ctx);
        }
    };

    const char *p = text;
    for (; *p != '\0'; p++) {
        const char c = *p;
        switch (st) {
        case state::plain:
            if (c == '$')
                start_ref(p);
            else
                str_buf_putc(sb, c);
            break;
        case state::name:
            if (c == '{') {
                st = state::braced;
            } else if (is_ending_chr(c)) {
                resolve(p);
                if (c == '$') {
                    start_ref(p);
                } else {
                    str_buf_putc(sb, c);
                    st = state::plain;
                }
            } else {
                add_name_chr(c);
            }
            break;
        case state::braced:
            if (c == '}') {
                resolve(p + 1);
                st = state::plain;
            } else {
                add_name_chr(c);
            }
            break;
        }
    }
    if (st == state::name) {
        resolve(p);
    } else if (st == state::braced) {
        ZLOG_ERR("[%s] syntax error", text);
        if (name_long) {
            str_buf_append_str(sb, ref);
        } else {
            str_buf_append(sb, "${", 2);
            str_buf_append(sb, name, name_len);
        }
    }
    char *result = str_buf_detach_nonnull(sb);
    return result ? result : safe_strdup("");
}

char *str_expand_vars_env(const char *text)
{
    return str_expand_vars_imp(text, str_var_get_env, nullptr);
}

char *str_expand_vars_mask(const char *text)
{
    return str_expand_vars_imp(text, str_var_get_mask, nullptr);
}

namespace {

int copy_and_free(char *result, char *out, size_t size)
{
    const int r = str_safecopy(out, size, result);
    os_free(result);
    return r;
}

}  // namespace

int str_expand_vars_env_buf(const char *text, char *out, size_t size)
{
    return copy_and_free(str_expand_vars_env(text), out, size);
}

int str_expand_vars_mask_buf(const char *text, char *out, size_t size)
{
    return copy_and_free(str_expand_vars_mask(text), out, size);
}

char *str_expand_pct_env(const char *text)
{
    str_buf *sb = str_buf_new();
    if (sb == nullptr || text == nullptr) {
        str_buf_free(sb);
        return safe_strdup("");
    }
    const char *p = text;
    while (*p != '\0') {
        const char *open = strchr(p, '%');
        const char *close = open ? strchr(open + 1, '%') : nullptr;
        if (close == nullptr) {
            // Plain text, or an unclosed "%" with everything after it.
            str_buf_append_str(sb, p);
            break;
        }
        str_buf_append(sb, p, static_cast<size_t>(open - p));
        const size_t name_len = static_cast<size_t>(close - open - 1);
        if (name_len > 0) {
            char *name = os_strndup(open + 1, name_len);
            const char *value = name ? getenv(name) : nullptr;
            if (value != nullptr)
                str_buf_append_str(sb, value);
            else
                str_buf_append(sb, open, name_len + 2);
            os_free(name);
        }
        p = close + 1;
    }
    char *result = str_buf_detach_nonnull(sb);
    return result ? result : safe_strdup("");
}

int str_expand_pct_env_buf(const char *text, char *out, size_t size)
{
    return copy_and_free(str_expand_pct_env(text), out, size);
}
