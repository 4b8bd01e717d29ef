// Option keys: the table of keys through which "-s key=value" on the command
// line overrides values of the configuration file. The option loop collects
// the values with os_opt_kv_get; the application frame applies them with
// os_opt_kv_apply after the configuration file has been read, then frees them
// with os_opt_kv_free. Used on the main thread during start-up only.
#pragma once

#include <cstdint>

// One row of a key table; a table ends with a row whose key is nullptr.
struct os_opt_kv {
    const char *key;
    void *target;   // an int (type VALUE_TYPE_INT) or a char * owned by the program (any other type)
    uint32_t type;
    char *value;    // the collected text (heap), nullptr until set
};

// "list": prints the keys on standard error and ends the process with
// status 0. "key=value": stores a copy of value in the row whose key equals
// key without regard to case. -1 (logged) for a text without "=", a key no
// row has, or a value of an int row that is not a decimal number of the int
// range; the table is then unchanged.
int os_opt_kv_get(os_opt_kv *table, const char *arg);
// Writes every collected value into its target: an int target receives
// str_atoi of it (a text that is no number gives 0), a text target a new copy
// (the earlier text is freed). 0.
int os_opt_kv_apply(os_opt_kv *table);
// Writes one target directly, as os_opt_kv_apply would. -1 (logged) for a
// key no row has.
int os_opt_kv_set2(os_opt_kv *table, const char *key, const char *value);
// Frees every collected value. 0.
int os_opt_kv_free(os_opt_kv *table);
