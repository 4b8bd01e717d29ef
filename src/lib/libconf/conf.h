// Configuration API: one small set of calls over an open configuration, the
// conf_handle, whose backend (a conf_ops table; INI is the only one) is chosen
// by the file name or by a type number for text. Values are addressed by
// section and key, or by a path "section" TAB "key" (else "section:key",
// split at the first colon). Returned value texts belong to the handle and
// stay valid until the value changes or the handle is closed; returned
// vectors and maps are the caller's (str_vector_free, str_map_free). A handle
// is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

struct str_vector;
struct str_map;

struct conf_ops {
    uint32_t type;  // INI: 0
    int (*match)(const char *path);  // 0 when the backend handles files of this name
    void *(*load)(const char *path, int create);
    void *(*load_str)(const char *text);
    void (*close)(void *obj);  // frees without saving
    const char *(*get_str)(void *obj, const char *section, const char *key, const char *def);
    int (*set_str)(void *obj, const char *section, const char *key, const char *value);
    str_vector *(*get_sections)(void *obj);
    str_vector *(*get_keys)(void *obj, const char *section);
    int (*del_section)(void *obj, const char *section);
    int (*del_key)(void *obj, const char *section, const char *key);
    int (*rename_section)(void *obj, const char *old_name, const char *new_name);
    int (*rename_key)(void *obj, const char *section, const char *old_name, const char *new_name);
    void (*dump)(void *obj);  // on standard output
    int (*save)(void *obj);   // 0 for success
};

struct conf_handle {
    void *obj;  // owned by the backend
    const conf_ops *ops;
};

// Opening and closing; nullptr when no backend takes the name or the file
// (or text) does not load.
conf_handle *conf_load(const char *path);
// A missing file is created empty first.
conf_handle *conf_create_load(const char *path);
conf_handle *conf_open_imp(const char *path, int create);
// type: the backend's type number (0 for INI). The handle has no file.
conf_handle *conf_load_str(const char *text, uint32_t type);
// Nothing is saved.
void conf_close(conf_handle *h);
int  conf_save(conf_handle *h);
void conf_dump(conf_handle *h);

// By section and key.
const char *conf_get_str(conf_handle *h, const char *section, const char *key, const char *def);
int         conf_set_str(conf_handle *h, const char *section, const char *key, const char *value);
str_vector *conf_get_sections(conf_handle *h);
str_vector *conf_get_keys(conf_handle *h, const char *section);
int         conf_del_section(conf_handle *h, const char *section);
int         conf_del_key(conf_handle *h, const char *section, const char *key);
int         conf_rename_section(conf_handle *h, const char *old_name, const char *new_name);
int         conf_rename_key(conf_handle *h, const char *section, const char *old_name, const char *new_name);
// The section names matching the "|"-separated wildcard list (case-sensitive).
str_vector *conf_get_sections_match(conf_handle *h, const char *patterns);
bool        conf_has_section(conf_handle *h, const char *name);
bool        conf_has_key(conf_handle *h, const char *section, const char *key);
// def when the key is missing; a present value goes through str_atoi.
int conf_get_int(conf_handle *h, const char *section, const char *key, int def);
int conf_set_int(conf_handle *h, const char *section, const char *key, int value);

// By path. A path without TAB or colon yields def (or -1 for the setters).
const char *conf_get_path_str(conf_handle *h, const char *path, const char *def);
int         conf_get_path_int(conf_handle *h, const char *path, int def);
uint64_t    conf_get_path_size(conf_handle *h, const char *path, uint64_t def);
// A present value that is a whole decimal integer in [min, max] (blanks
// around it allowed): 0 with *out set, def when the key is missing. -1 with
// *out unchanged for any other text, nothing logged: the caller says what
// it does instead through conf_refuse. conf_parse_int reads a value text so.
int         conf_get_path_int_chk(conf_handle *h, const char *path, int def, int min, int max, int *out);
int         conf_parse_int(const char *text, int min, int max, int *out);
// A refused setting, once at warn level through the logger, naming the line
// as written: "config [section] key=value refused: why". conf_refusal only
// writes that line into out (for a logger context of the caller's); out.
void        conf_refuse(conf_handle *h, const char *section, const char *key, const char *why);
const char *conf_refusal(conf_handle *h, const char *section, const char *key, const char *why, char *out,
                         size_t size);
int         conf_set_path_str(conf_handle *h, const char *path, const char *value);
int         conf_set_path_int(conf_handle *h, const char *path, int value);

// Arrays: the values of the keys 0, 1, ... n-1 of a section. Empty and
// repeated values are left out. nullptr / -1 when the key list cannot be had.
str_vector *conf_get_array(conf_handle *h, const char *section) noexcept;
int         conf_array_add(conf_handle *h, const char *section, const char *value);
int         conf_array_del(conf_handle *h, const char *section, const char *value);
int         conf_array_clear(conf_handle *h, const char *section);
str_map    *conf_get_section_kv(conf_handle *h, const char *section);

// One-call file operations. The value (or def when the file or key is
// missing) is copied into buf with the strict bounded copy; returns buf.
char *conf_file_get_str(const char *file, const char *path, const char *def, char *buf, size_t size);
int   conf_file_get_int(const char *file, const char *path, int def);
// Copies into dst every value of a section and key that src also has, and
// saves dst when anything was copied. 0, or -1 when either file cannot be
// opened or the save fails.
int conf_file_merge(const char *dst, const char *src);
