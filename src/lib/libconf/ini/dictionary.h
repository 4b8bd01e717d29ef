// The INI dictionary: parallel slot arrays of keys, values, comments and
// hashes. A section is an entry keyed by its name with no value; a key is the
// entry "section" TAB "key". Slot order is file order, and the comment kept
// with an entry is written back before it. Names are case-sensitive; every
// text is the dictionary's own copy. No locking: one owner at a time.
#pragma once

#include <cstdint>
#include <cstdio>

struct dictionary {
    int n;           // entries in use
    int size;        // slots
    char **val;      // nullptr for a section entry
    char **key;      // nullptr for a free slot
    char **comment;  // the comment lines kept before the entry, or nullptr
    uint32_t *hash;  // 0 for a free slot
    char *tail_comment;
    // Lookup index over the slots: chains of slot numbers by hash.
    int *bucket;  // size entries: the first slot of each chain, or -1
    int *next;    // size entries: the next slot of the chain, or -1
};

constexpr int DICT_MIN_SIZE = 128;

// One-at-a-time hash over the key's bytes taken as signed characters.
uint32_t dictionary_hash(const char *key);

// At least DICT_MIN_SIZE slots; nullptr when memory runs out.
dictionary *dictionary_new(int size);
void        dictionary_del(dictionary *d);

// The value of the exactly matching entry, or def.
const char *dictionary_get(const dictionary *d, const char *key, const char *def);
// The slot of the exactly matching entry, or -1.
int dictionary_find(const dictionary *d, const char *key);
// An existing key gets a copy of val (its comment stays); a new one takes a
// slot with copies of key, val and comment. 0, or -1 when memory runs out.
int dictionary_set(dictionary *d, const char *key, const char *val, const char *comment);
// 0, or -1 when there is no such entry.
int dictionary_unset(dictionary *d, const char *key);
// The section entry and every key of it: 0, or -2 when nothing was removed.
int dictionary_unset_section(dictionary *d, const char *name);
// 0; -1 (logged) when new_name exists; -2 when old_name matched nothing.
int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name);
// 0, or -1 when memory runs out (the old comment then stays).
int dictionary_set_tail_comment(dictionary *d, const char *text);

// Debug listing: "empty dictionary\n", or "%20s\t[%s]\n" per entry.
void dictionary_dump(const dictionary *d, FILE *out);
