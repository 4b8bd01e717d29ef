// Option keys given with -s.
#define ZLOG_TAG "pal"

#include "libpal/os/os_opt.h"

#include <strings.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/value/value2.h"
#include "liblog/zlog.h"

namespace {

constexpr size_t k_part_size = 256;

os_opt_kv *find_row(os_opt_kv *table, const char *key)
{
    for (os_opt_kv *row = table; row != nullptr && row->key != nullptr; row++) {
        if (strcasecmp(row->key, key) == 0)
            return row;
    }
    return nullptr;
}

// An optional sign and decimal digits, the whole text, within int: a value
// that would read as 0 or as some other number is refused.
bool is_int(std::string_view text)
{
    int value = 0;
    const char *end = text.data() + text.size();
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

void set_target(const os_opt_kv *row, const char *value)
{
    if (row->target == nullptr)
        return;
    if (row->type == VALUE_TYPE_INT) {
        *static_cast<int *>(row->target) = str_atoi(value);
        return;
    }
    char **text = static_cast<char **>(row->target);
    char *copy = os_strdup(value);
    if (copy == nullptr)
        return;
    os_free(*text);
    *text = copy;
}

}  // namespace

int os_opt_kv_get(os_opt_kv *table, const char *arg)
{
    if (arg == nullptr)
        return -1;
    if (strcmp(arg, "list") == 0) {
        fputs("support the following key settings\n", stderr);
        for (const os_opt_kv *row = table; row != nullptr && row->key != nullptr; row++)
            fprintf(stderr, "%s\n", row->key);
        os_process_exit(0);
    }
    char key[k_part_size];
    char value[k_part_size];
    if (strchr(arg, '=') == nullptr || str_get_key_and_val(arg, "=", key, sizeof(key), value, sizeof(value)) != 0) {
        ZLOG_ERR("%s syntax error Example: k=v\n", arg);
        return -1;
    }
    os_opt_kv *row = find_row(table, key);
    if (row == nullptr) {
        ZLOG_ERR("unsupported key [%s]\n", key);
        return -1;
    }
    if (row->type == VALUE_TYPE_INT && !is_int(value)) {
        ZLOG_ERR("%s=%s: the value is not a number of the int range\n", row->key, value);
        return -1;
    }
    char *copy = safe_strdup(value);
    if (copy == nullptr)
        return -1;
    os_free(row->value);
    row->value = copy;
    return 0;
}

int os_opt_kv_apply(os_opt_kv *table)
{
    for (const os_opt_kv *row = table; row != nullptr && row->key != nullptr; row++) {
        if (row->value != nullptr)
            set_target(row, row->value);
    }
    return 0;
}

int os_opt_kv_set2(os_opt_kv *table, const char *key, const char *value)
{
    os_opt_kv *row = key == nullptr ? nullptr : find_row(table, key);
    if (row == nullptr) {
        ZLOG_ERR("unsupported key=[%s] val=[%s]\n", key != nullptr ? key : "", value != nullptr ? value : "");
        return -1;
    }
    set_target(row, value != nullptr ? value : "");
    return 0;
}

int os_opt_kv_free(os_opt_kv *table)
{
    for (os_opt_kv *row = table; row != nullptr && row->key != nullptr; row++) {
        os_free(row->value);
        row->value = nullptr;
    }
    return 0;
}
