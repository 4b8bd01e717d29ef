// Configuration API over the backend registry.
#include "libconf/conf.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "libconf/ini/ini_conf.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_nothrow.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_check.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "conf"
#include "liblog/zlog.h"

namespace {

// Sentinels passed as defaults: the integer getters treat the first as a
// missing key; the array and map readers take the second for a value that
// vanished while they read.
constexpr const char *kNotFound = "NOT_FOUND";
constexpr const char *kErrorVal = "ERROR VAL!!!";
// A path's section part is at most this long (a longer one is cut).
constexpr size_t kPathSectionMax = 8191;

constexpr size_t kBackendSlots = 4;
// A refusal line: section, key and value are each escaped into at most 1 KiB.
constexpr size_t kRefusalSize = 4 * STR_ESCAPE_LOG_SIZE;

struct backend_registry {
    std::once_flag once;
    std::array<const conf_ops *, kBackendSlots> slots{};
    conf_ops ini{};
};

backend_registry &registry()
{
    static backend_registry r;
    std::call_once(r.once, [] {
        ini_conf_ops_init(&r.ini);
        for (auto &slot : r.slots) {
            if (slot == nullptr) {
                slot = &r.ini;
                break;
            }
        }
    });
    return r;
}

conf_handle *wrap(const conf_ops *ops, void *obj)
{
    auto *h = static_cast<conf_handle *>(safe_malloc(sizeof(conf_handle)));
    h->obj  = obj;
    h->ops  = ops;
    return h;
}

using vector_ptr = pl_owned<str_vector, str_vector_free>;

// Splits path at its first TAB, else its first colon.
using section_buf = std::array<char, kPathSectionMax + 1>;

bool split_path(const char *path, section_buf *section, const char **key)
{
    if (path == nullptr) return false;
    const char *sep = strchr(path, '\t');
    if (sep == nullptr) sep = strchr(path, ':');
    if (sep == nullptr) return false;
    const size_t n = std::min(static_cast<size_t>(sep - path), kPathSectionMax);
    memcpy(section->data(), path, n);
    (*section)[n] = '\0';
    *key          = sep + 1;
    return true;
}

// Numeric keys compare by value: shorter digit runs (after leading zeros) first.
bool numeric_less(std::string_view a, std::string_view b)
{
    auto strip = [](std::string_view s) {
        while (s.size() > 1 && s[0] == '0') s.remove_prefix(1);
        return s;
    };
    a = strip(a);
    b = strip(b);
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The index a numeric key is written for ("0", "1", ... without leading
// zeros), or a value beyond every list for any other digit run.
long long array_index(const char *key)
{
    size_t n = strlen(key);
    if (n == 0 || n > 10 || (n > 1 && key[0] == '0')) return LLONG_MAX;
    return strtoll(key, nullptr, 10);
}

// Writes the list under the keys 0..n-1 and removes every other numeric key
// (gaps, strays, "07"). The keys 0..n-1 that exist are changed in place, so
// their comments and their places in the file stay.
int array_write(conf_handle *h, const char *section, const str_vector *list)
{
    vector_ptr keys(conf_get_keys(h, section));
    if (!keys) return -1;
    for (uint32_t i = 0; i < keys->count; i++) {
        const char *k = keys->items[i];
        if (str_is_digits(k) && array_index(k) >= static_cast<long long>(list->count)) conf_del_key(h, section, k);
    }
    for (uint32_t i = 0; i < list->count; i++) {
        char key[32];
        snprintf(key, sizeof(key), "%u", i);
        if (conf_set_str(h, section, key, list->items[i]) != 0) return -1;
    }
    return 0;
}

}  // namespace

conf_handle *conf_open_imp(const char *path, int create)
{
    if (path == nullptr) return nullptr;
    backend_registry &r = registry();
    for (const conf_ops *ops : r.slots) {
        if (ops == nullptr || ops->match(path) != 0) continue;
        void *obj = ops->load(path, create);
        return obj != nullptr ? wrap(ops, obj) : nullptr;
    }
    return nullptr;
}

conf_handle *conf_load(const char *path)
{
    return conf_open_imp(path, 0);
}

conf_handle *conf_create_load(const char *path)
{
    return conf_open_imp(path, 1);
}

conf_handle *conf_load_str(const char *text, uint32_t type)
{
    backend_registry &r = registry();
    for (const conf_ops *ops : r.slots) {
        if (ops == nullptr || ops->type != type) continue;
        void *obj = ops->load_str(text);
        return obj != nullptr ? wrap(ops, obj) : nullptr;
    }
    return nullptr;
}

void conf_close(conf_handle *h)
{
    if (h == nullptr) return;
    h->ops->close(h->obj);
    os_free(h);
}

int conf_save(conf_handle *h)
{
    return h != nullptr ? h->ops->save(h->obj) : -1;
}

void conf_dump(conf_handle *h)
{
    if (h != nullptr) h->ops->dump(h->obj);
}

const char *conf_get_str(conf_handle *h, const char *section, const char *key, const char *def)
{
    return h != nullptr ? h->ops->get_str(h->obj, section, key, def) : def;
}

int conf_set_str(conf_handle *h, const char *section, const char *key, const char *value)
{
    return h != nullptr ? h->ops->set_str(h->obj, section, key, value) : -1;
}

str_vector *conf_get_sections(conf_handle *h)
{
    return h != nullptr ? h->ops->get_sections(h->obj) : nullptr;
}

str_vector *conf_get_keys(conf_handle *h, const char *section)
{
    return h != nullptr ? h->ops->get_keys(h->obj, section) : nullptr;
}

int conf_del_section(conf_handle *h, const char *section)
{
    return h != nullptr ? h->ops->del_section(h->obj, section) : -1;
}

int conf_del_key(conf_handle *h, const char *section, const char *key)
{
    return h != nullptr ? h->ops->del_key(h->obj, section, key) : -1;
}

int conf_rename_section(conf_handle *h, const char *old_name, const char *new_name)
{
    return h != nullptr ? h->ops->rename_section(h->obj, old_name, new_name) : -1;
}

int conf_rename_key(conf_handle *h, const char *section, const char *old_name, const char *new_name)
{
    return h != nullptr ? h->ops->rename_key(h->obj, section, old_name, new_name) : -1;
}

str_vector *conf_get_sections_match(conf_handle *h, const char *patterns)
{
    vector_ptr all(conf_get_sections(h));
    if (!all || patterns == nullptr) return all.release();
    // Each name is tested exactly once, in order.
    str_vector *v = str_vector_new(STR_F_OWN | STR_F_NO_EMPTY | STR_F_UNIQUE);
    for (uint32_t i = 0; v != nullptr && i < all->count; i++) {
        if (pl_glob_match_list(all->items[i], patterns) && str_vector_push_back(v, all->items[i]) != 0) {
            str_vector_free(v);
            v = nullptr;
        }
    }
    return v;
}

bool conf_has_section(conf_handle *h, const char *name)
{
    vector_ptr v(conf_get_sections(h));
    return v && name != nullptr && str_vector_find_cs(v.get(), name) >= 0;
}

bool conf_has_key(conf_handle *h, const char *section, const char *key)
{
    vector_ptr v(conf_get_keys(h, section));
    return v && key != nullptr && str_vector_find_cs(v.get(), key) >= 0;
}

int conf_get_int(conf_handle *h, const char *section, const char *key, int def)
{
    const char *v = conf_get_str(h, section, key, kNotFound);
    if (v == nullptr || strcmp(v, kNotFound) == 0) return def;
    return str_atoi(v);
}

int conf_set_int(conf_handle *h, const char *section, const char *key, int value)
{
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return conf_set_str(h, section, key, text);
}

const char *conf_get_path_str(conf_handle *h, const char *path, const char *def)
{
    section_buf section;
    const char *key;
    if (!split_path(path, &section, &key)) return def;
    return conf_get_str(h, section.data(), key, def);
}

int conf_get_path_int(conf_handle *h, const char *path, int def)
{
    section_buf section;
    const char *key;
    if (!split_path(path, &section, &key)) return def;
    return conf_get_int(h, section.data(), key, def);
}

uint64_t conf_get_path_size(conf_handle *h, const char *path, uint64_t def)
{
    section_buf section;
    const char *key;
    if (!split_path(path, &section, &key)) return def;
    const char *v = conf_get_str(h, section.data(), key, kNotFound);
    if (v == nullptr || strcmp(v, kNotFound) == 0) return def;
    return str_atosize(v);
}

int conf_parse_int(const char *text, int min, int max, int *out)
{
    std::string_view t(text != nullptr ? text : "");
    while (!t.empty() && isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
    while (!t.empty() && isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
    // A leading "+" is no digit for from_chars: skipped here, a sign after it refused.
    if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc{} || end != t.data() + t.size() || value < min || value > max) return -1;
    *out = static_cast<int>(value);
    return 0;
}

int conf_get_path_int_chk(conf_handle *h, const char *path, int def, int min, int max, int *out)
{
    section_buf section;
    const char *key;
    if (!split_path(path, &section, &key)) return -1;
    const char *v = conf_get_str(h, section.data(), key, kNotFound);
    if (v == nullptr || strcmp(v, kNotFound) == 0) {
        *out = def;
        return 0;
    }
    return conf_parse_int(v, min, max, out);
}

const char *conf_refusal(conf_handle *h, const char *section, const char *key, const char *why, char *out,
                         size_t size)
{
    const char *value = conf_get_str(h, section, key, "");
    str_sprintf_s2(out, size, "config [%s] %s=%s refused: %s\n", str_log_text(section).c_str(),
                   str_log_text(key).c_str(), str_log_text(value != nullptr ? value : "").c_str(), why);
    return out;
}

void conf_refuse(conf_handle *h, const char *section, const char *key, const char *why)
{
    char text[kRefusalSize];
    ZLOG_WARN("%s", conf_refusal(h, section, key, why, text, sizeof(text)));
}

int conf_set_path_str(conf_handle *h, const char *path, const char *value)
{
    section_buf section;
    const char *key;
    if (!split_path(path, &section, &key)) return -1;
    return conf_set_str(h, section.data(), key, value);
}

int conf_set_path_int(conf_handle *h, const char *path, int value)
{
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return conf_set_path_str(h, path, text);
}

str_vector *conf_get_array(conf_handle *h, const char *section) noexcept
{
    return pl_nothrow<str_vector *>(nullptr, [&]() -> str_vector * {
        vector_ptr keys(conf_get_keys(h, section));
        if (!keys) return nullptr;
        // By index, whatever order the keys have in the section: slots freed by
        // earlier changes can place a higher index before a lower one.
        std::vector<const char *> numeric;
        for (uint32_t i = 0; i < keys->count; i++) {
            if (str_is_digits(keys->items[i])) numeric.push_back(keys->items[i]);
        }
        std::stable_sort(numeric.begin(), numeric.end(),
                         [](const char *a, const char *b) { return numeric_less(a, b); });
        vector_ptr v(str_vector_new(STR_F_OWN | STR_F_NO_EMPTY | STR_F_UNIQUE));
        if (!v) return nullptr;
        for (const char *k : numeric) {
            if (str_vector_push_back(v.get(), conf_get_str(h, section, k, kErrorVal)) != 0) return nullptr;
        }
        return v.release();
    });
}

int conf_array_add(conf_handle *h, const char *section, const char *value)
{
    vector_ptr list(conf_get_array(h, section));
    if (!list || value == nullptr) return -1;
    if (str_vector_find_cs(list.get(), value) >= 0) return 0;
    if (str_vector_push_back(list.get(), value) != 0) return -1;
    return array_write(h, section, list.get());
}

int conf_array_del(conf_handle *h, const char *section, const char *value)
{
    vector_ptr list(conf_get_array(h, section));
    if (!list || value == nullptr) return -1;
    if (str_vector_find_cs(list.get(), value) < 0) return 0;
    str_vector_remove(list.get(), value);
    return array_write(h, section, list.get());
}

int conf_array_clear(conf_handle *h, const char *section)
{
    vector_ptr keys(conf_get_keys(h, section));
    if (!keys) return -1;
    for (uint32_t i = 0; i < keys->count; i++) {
        if (str_is_digits(keys->items[i])) conf_del_key(h, section, keys->items[i]);
    }
    return 0;
}

str_map *conf_get_section_kv(conf_handle *h, const char *section)
{
    vector_ptr keys(conf_get_keys(h, section));
    if (!keys) return nullptr;
    str_map *m = str_map_new(STR_F_OWN | STR_F_VAL_INLINE);
    if (m == nullptr) return nullptr;
    for (uint32_t i = 0; i < keys->count; i++) {
        if (str_map_add(m, keys->items[i], conf_get_str(h, section, keys->items[i], kErrorVal)) != 0) {
            str_map_free(m);
            return nullptr;
        }
    }
    return m;
}

char *conf_file_get_str(const char *file, const char *path, const char *def, char *buf, size_t size)
{
    conf_handle *h = conf_load(file);
    str_safecopy(buf, size, h != nullptr ? conf_get_path_str(h, path, def) : def);
    conf_close(h);
    return buf;
}

int conf_file_get_int(const char *file, const char *path, int def)
{
    conf_handle *h = conf_load(file);
    if (h == nullptr) return def;
    int v = conf_get_path_int(h, path, def);
    conf_close(h);
    return v;
}

int conf_file_merge(const char *dst, const char *src)
{
    conf_handle *d = conf_load(dst);
    conf_handle *s = conf_load(src);
    int          r = -1;
    if (d != nullptr && s != nullptr) {
        r = 0;
        int        copied = 0;
        vector_ptr sections(conf_get_sections(d));
        for (uint32_t i = 0; sections && i < sections->count; i++) {
            const char *sec = sections->items[i];
            vector_ptr  keys(conf_get_keys(d, sec));
            for (uint32_t j = 0; keys && j < keys->count; j++) {
                if (!conf_has_key(s, sec, keys->items[j])) continue;
                if (conf_set_str(d, sec, keys->items[j], conf_get_str(s, sec, keys->items[j], "")) != 0) r = -1;
                copied++;
            }
        }
        if (copied > 0 && conf_save(d) != 0) r = -1;
    }
    conf_close(d);
    conf_close(s);
    return r;
}
