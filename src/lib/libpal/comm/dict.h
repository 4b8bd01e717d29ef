// String-keyed hash dictionary with open addressing, optionally owning copies
// of its keys and values; and the integer logarithm. Used by the login
// lock-out counters and the record filter. Takes no lock: its owner serialises
// every call. A deleted slot stays as a tombstone until the next rebuild.
#pragma once

#include <cstdint>
#include <cstdio>

enum : uint32_t {
    DICT_KEY_COPY  = 0x1,    // keys copied (os_malloc)
    DICT_VAL_COPY  = 0x100,  // values are texts, copied
    DICT_VAL_OWNED = 0x200,  // values owned, freed with os_free
};

struct dict_slot {
    char *key;  // nullptr empty; all bits set for a deleted slot
    void *value;
    uint32_t hash;
};

struct dict {
    uint32_t flags;
    uint32_t fill;  // slots filled since the last rebuild, tombstones included
    uint32_t used;  // live entries
    uint32_t size;  // slot count, a power of two
    dict_slot *slots;
};

struct dict_key_node {
    char *key;
    dict_key_node *next;
};

dict *dict_new(uint32_t flags);
// Frees the live keys and values the flags give to the dictionary, then it.
void dict_exit(dict *d);
// 0, or -1 when a copy, the key's slot or a rebuild could not be had.
int dict_set(dict *d, const char *key, void *value);
void *dict_get(dict *d, const char *key, void *def);
uint32_t dict_count(const dict *d);
// 0, or -1 when the key is absent.
int dict_del(dict *d, const char *key);
// The first live entry at slot index >= rank: stores it and returns index + 1;
// -1 with both outputs nullptr at the end. A walk starts at rank 0.
int dict_next(dict *d, int rank, const char **key, void **value);
// A list of key copies in slot order; the caller frees every node and key
// with os_free. 0, or -1 (nothing built) when memory runs out.
int dict_get_key_list(dict *d, dict_key_node **list);
// One line "[rank=N] key: value" per entry; values are texts ("UNDEF" for none).
void dict_dump(dict *d, FILE *out);
// MurmurHash2 of the text without its NUL, seeded with length ^ 0xbadcafe; 0 for "".
uint32_t dict_hash(const char *key);
char *dict_strdup(const char *text);

// The number of halvings that bring x down to 1 or less (0 for 0 and 1).
int bits_ilog2(uint32_t x);
int bits_ilog2_64(uint64_t x);
