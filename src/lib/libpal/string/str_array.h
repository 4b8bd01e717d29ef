// String containers: ptr_array (a growable array of pointers, e.g. the
// registries' name lists), str_map (key/value string pairs, optionally kept
// sorted: URL queries, configuration key sets) and str_vector (a growable
// array of strings that also splits texts into fields), with double-NUL
// lists and a bounded base64 appender. Memory comes from os_malloc; nothing
// here locks: each container has one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Flag bits shared by the three containers. The low four bits are also the
// comparator mode (1 or 2 texts, 4 pointer values, 8 records whose first
// field is a text), so an owning container sorts as texts.
enum : uint32_t {
    STR_F_OWN        = 0x1,    // the container stores (and frees) copies
    STR_F_CMP_STR    = 0x2,
    STR_F_CMP_PTR    = 0x4,
    STR_F_CMP_PPSTR  = 0x8,
    STR_F_CMP_MASK   = 0x0F,
    STR_F_ICASE      = 0x10,   // str_vector: finds ignore ASCII case
    STR_F_NO_EMPTY   = 0x20,   // str_vector: empty strings are not pushed
    STR_F_UNIQUE     = 0x40,   // str_vector: a string already present is not pushed
    STR_F_SORTED     = 0x80,   // str_map: entries kept sorted by key
    STR_F_VAL_INLINE = 0x100,  // str_map: the value's characters live in the entry
    STR_F_OWN_VAL    = 0x200,  // str_map: values held by pointer are freed by the map
};

struct ptr_array {
    void   **items;     // capacity + 1 slots; the slots from count on are nullptr
    uint32_t count;
    uint32_t capacity;
    uint32_t flags;
};

ptr_array *ptr_array_new(uint32_t capacity, uint32_t flags);
// Stores a copy of the text with STR_F_OWN. 0, or -1 (array unchanged).
int  ptr_array_add(ptr_array *array, const void *item);
void ptr_array_truncate(ptr_array *array, uint32_t n);
void ptr_array_free(ptr_array *array);
void ptr_array_sort(ptr_array *array);
// Removes adjacent duplicates.
void ptr_array_unique(ptr_array *array);
// A new owning array of every field between separator characters, empty ones included.
ptr_array *ptr_array_split(const char *text, const char *seps);

// Each entry is one block: the key (inline with STR_F_OWN, else a pointer to
// the caller's text) followed by the value (inline with STR_F_VAL_INLINE,
// else a pointer, owned by the map with STR_F_OWN_VAL).
struct str_map {
    void   **entries;
    uint32_t count;
    uint32_t capacity;
    uint32_t flags;
};

// Allocates capacity slots when map->capacity is already set. 0 or -1.
int      str_map_init(str_map *map, uint32_t flags);
str_map *str_map_new(uint32_t flags);
// Appends without looking for the key. 0 or -1.
int  str_map_add(str_map *map, const char *key, const char *value);
// Replaces the value of an existing key, else adds the pair. 0 or -1.
int  str_map_set(str_map *map, const char *key, const char *value);
const char *str_map_get(const str_map *map, const char *key);
int  str_map_find(const str_map *map, const char *key);
int  str_map_del(str_map *map, const char *key);
const char *str_map_key_at(const str_map *map, int index);
const char *str_map_val_at(const str_map *map, int index);
void str_map_sort(str_map *map);
// Releases the entry and empties its slot; the count stays.
void str_map_entry_free(str_map *map, int index);
void str_map_clear(str_map *map);
int  str_map_exit(str_map *map);
int  str_map_free(str_map *map);

// After a split, items[count] is nullptr, so items is an argument vector.
struct str_vector {
    char   **items;
    uint32_t count;
    uint32_t capacity;
    uint32_t flags;
    uint32_t heap;        // set by str_vector_new: str_vector_free frees the record
    char    *split_buf;   // private copy of the last split text; split items point into it
    size_t   split_size;
};

void        str_vector_init(str_vector *v, uint32_t flags);
str_vector *str_vector_new(uint32_t flags);
void        str_vector_free(str_vector *v);
void        str_vector_exit(str_vector *v);
// Frees owned items and the split buffer; count 0, the item array stays.
void        str_vector_clear(str_vector *v);
int         str_vector_push_back(str_vector *v, const char *text);
int         str_vector_find_cs(const str_vector *v, const char *text);
// Ignores ASCII case with STR_F_ICASE.
int         str_vector_find(const str_vector *v, const char *text);
// Removes every equal item; 0 when one or more were removed, else -1.
int         str_vector_remove(str_vector *v, const char *text);
void        str_vector_sort(str_vector *v);
void        str_vector_unique(str_vector *v);
// Writes nullptr after the last item, growing when needed. 0 or -1.
int         str_vector_terminate(str_vector *v);
// Splits at any character of seps; adjacent separators give empty items. With
// max > 0 the max-th item holds the rest of the text unsplit. The vector's old
// items are dropped, not freed. The item count, or -1.
int str_vector_split(const char *text, const char *seps, str_vector *v);
int str_vector_split_n(const char *text, const char *seps, int max, str_vector *v);
int str_vector_split_inplace(char *text, const char *seps, str_vector *v);
int str_vector_split_inplace_n(char *text, const char *seps, int max, str_vector *v);
// Splits at separators outside quotes (any quote character opens or closes);
// the quotes stay in the items. -1 with "syntax error\n" for an odd number of quotes.
int str_split_esape(const char *text, const char *seps, const char *quotes, str_vector *v);

// Double-NUL lists: strings one after another, ended by an empty string.
// Stores up to max string pointers in array and returns their number (-1 when
// the list holds more); without array only measures (returns 0). *total: the
// list's size with its final NUL.
int    str_split_zz(const char *list, const char **array, int max, size_t *total);
// Offset of the NUL that ends the last string, searched within bound bytes
// (65536 when 0); -1 when no terminating pair lies within the bound.
int    str_zz_len(const char *list, size_t bound);
// A copy of the whole list, or nullptr when it holds more than max strings.
char  *str_zz_dup(const char *list, int max);

// The base64 encoding of text into out; 0, or -1 with out empty when it does not fit.
int str_base64_encode_cat(const char *text, char *out, size_t size);
