// Value tables: arrays of {number, name} rows, always passed with their row
// count, that map numbers to names and back (log levels, identifiers, stream
// drivers). A row whose index equals its value is found without a search.
// The tables take no lock; their owners serialise changes.
#pragma once

#include <cstddef>
#include <cstdint>

struct val_tab {
    int32_t value;
    const char *name;  // may be nullptr
};

// The name of the row holding value, or "unkown(%d)" with the value in a
// per-thread buffer that the next miss on the same thread overwrites.
const char *val_tab_get_name_imp(int32_t value, const val_tab *tab, size_t count, bool sorted);
const char *val_tab_get_name(int32_t value, const val_tab *tab, size_t count);
// Requires: tab sorted by value (val_tab_sort).
const char *val_tab_get_name_sorted(int32_t value, const val_tab *tab, size_t count);

// The value of the first row whose name equals name (case-sensitive), else -1.
int32_t val_tab_get_val(const char *name, const val_tab *tab, size_t count);
// The value of the first row whose name is this very pointer, else -1.
int32_t val_tab_get_val_ptr(const char *name, const val_tab *tab, size_t count);
// 0 after storing name in the row holding value, -1 when no row holds it.
int val_tab_set_name(int32_t value, val_tab *tab, size_t count, const char *name);

void val_tab_sort(val_tab *tab, size_t count);
// Two rows by value.
int val_tab_cmp(const void *a, const void *b);
// A pointer to an int32_t value against a row.
int val_tab_cmp_val(const void *value, const void *row);
