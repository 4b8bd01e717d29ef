// Value tables: lookups by value (direct index, scan or binary search) and by name.
#include "libpal/basic/val_tab.h"

#include <cstring>

#include "libpal/string/str_safe.h"
#include "libpal/utils/pl_cmp.h"

int val_tab_cmp(const void *a, const void *b)
{
    int32_t x = static_cast<const val_tab *>(a)->value;
    int32_t y = static_cast<const val_tab *>(b)->value;
    return x < y ? -1 : (x > y ? 1 : 0);
}

int val_tab_cmp_val(const void *value, const void *row)
{
    int32_t x = *static_cast<const int32_t *>(value);
    int32_t y = static_cast<const val_tab *>(row)->value;
    return x < y ? -1 : (x > y ? 1 : 0);
}

const char *val_tab_get_name_imp(int32_t value, const val_tab *tab, size_t count, bool sorted)
{
    // Tables whose row i holds value i are answered without a search.
    if (value >= 0 && static_cast<size_t>(value) < count && tab[value].value == value)
        return tab[value].name;
    int64_t idx = -1;
    if (sorted) {
        idx = arr_bsearch(&value, tab, count, sizeof(val_tab), val_tab_cmp_val);
    } else {
        for (size_t i = 0; i < count && idx < 0; i++) {
            if (tab[i].value == value)
                idx = static_cast<int64_t>(i);
        }
    }
    if (idx >= 0)
        return tab[idx].name;
    // One buffer per thread: a miss on one thread never rewrites the text
    // another thread is reading.
    thread_local char missing[32];
    str_sprintf_s2(missing, sizeof(missing), "unkown(%d)", value);
    return missing;
}

const char *val_tab_get_name(int32_t value, const val_tab *tab, size_t count)
{
    return val_tab_get_name_imp(value, tab, count, false);
}

const char *val_tab_get_name_sorted(int32_t value, const val_tab *tab, size_t count)
{
    return val_tab_get_name_imp(value, tab, count, true);
}

int32_t val_tab_get_val(const char *name, const val_tab *tab, size_t count)
{
    if (name == nullptr)
        return -1;
    for (size_t i = 0; i < count; i++) {
        if (tab[i].name != nullptr && strcmp(tab[i].name, name) == 0)
            return tab[i].value;
    }
    return -1;
}

int32_t val_tab_get_val_ptr(const char *name, const val_tab *tab, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (tab[i].name == name)
            return tab[i].value;
    }
    return -1;
}

int val_tab_set_name(int32_t value, val_tab *tab, size_t count, const char *name)
{
    if (value >= 0 && static_cast<size_t>(value) < count && tab[value].value == value) {
        tab[value].name = name;
        return 0;
    }
    for (size_t i = 0; i < count; i++) {
        if (tab[i].value == value) {
            tab[i].name = name;
            return 0;
        }
    }
    return -1;
}

void val_tab_sort(val_tab *tab, size_t count)
{
    arr_sort(tab, count, sizeof(val_tab), val_tab_cmp);
}
