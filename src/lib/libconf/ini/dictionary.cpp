// The INI dictionary: slots in file order, lookups by hash then exact key.
#include "libconf/ini/dictionary.h"

#include <cstring>
#include <string>

#include "libpal/basic/os_malloc.h"

#define ZLOG_TAG "conf"
#include "liblog/zlog.h"

namespace {

// A copy of text, or nullptr for nullptr; *failed when memory ran out.
char *dup_or_null(const char *text, bool *failed)
{
    if (text == nullptr) return nullptr;
    char *copy = os_strdup(text);
    if (copy == nullptr) *failed = true;
    return copy;
}

int bucket_of(const dictionary *d, uint32_t h)
{
    return static_cast<int>(h % static_cast<uint32_t>(d->size));
}

void index_add(dictionary *d, int slot)
{
    int b          = bucket_of(d, d->hash[slot]);
    d->next[slot]  = d->bucket[b];
    d->bucket[b]   = slot;
}

void index_remove(dictionary *d, int slot)
{
    int *link = &d->bucket[bucket_of(d, d->hash[slot])];
    while (*link != -1 && *link != slot) link = &d->next[*link];
    if (*link == slot) *link = d->next[slot];
    d->next[slot] = -1;
}

// Fills fresh index arrays of d->size entries from the slots.
void index_build(dictionary *d)
{
    for (int i = 0; i < d->size; i++) d->bucket[i] = d->next[i] = -1;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr) index_add(d, i);
    }
}

// The per-slot arrays of a dictionary.
struct slot_arrays {
    char **val;
    char **key;
    char **comment;
    uint32_t *hash;
    int *bucket;
    int *next;
};

slot_arrays slots_of(const dictionary *d)
{
    return {d->val, d->key, d->comment, d->hash, d->bucket, d->next};
}

void slots_free(const slot_arrays &a)
{
    os_free(a.val);
    os_free(a.key);
    os_free(a.comment);
    os_free(a.hash);
    os_free(a.bucket);
    os_free(a.next);
}

// n zeroed slots; false (nothing kept) when memory runs out.
bool slots_alloc(slot_arrays *a, size_t n)
{
    a->val     = static_cast<char **>(os_zalloc(n * sizeof(char *)));
    a->key     = static_cast<char **>(os_zalloc(n * sizeof(char *)));
    a->comment = static_cast<char **>(os_zalloc(n * sizeof(char *)));
    a->hash    = static_cast<uint32_t *>(os_zalloc(n * sizeof(uint32_t)));
    a->bucket  = static_cast<int *>(os_zalloc(n * sizeof(int)));
    a->next    = static_cast<int *>(os_zalloc(n * sizeof(int)));
    if (a->val && a->key && a->comment && a->hash && a->bucket && a->next) return true;
    slots_free(*a);
    return false;
}

void slots_set(dictionary *d, const slot_arrays &a, int size)
{
    d->val     = a.val;
    d->key     = a.key;
    d->comment = a.comment;
    d->hash    = a.hash;
    d->bucket  = a.bucket;
    d->next    = a.next;
    d->size    = size;
    index_build(d);
}

void free_slot(dictionary *d, int i)
{
    index_remove(d, i);
    os_free(d->key[i]);
    os_free(d->val[i]);
    os_free(d->comment[i]);
    d->key[i]     = nullptr;
    d->val[i]     = nullptr;
    d->comment[i] = nullptr;
    d->hash[i]    = 0;
    d->n--;
}

// True when key is name itself or begins with name and a TAB.
bool in_section(const char *key, const char *name, size_t name_len)
{
    return strncmp(key, name, name_len) == 0 && (key[name_len] == '\0' || key[name_len] == '\t');
}

// Doubles the slot arrays; false (nothing changed) when memory runs out.
bool grow(dictionary *d)
{
    slot_arrays a;
    if (!slots_alloc(&a, static_cast<size_t>(d->size) * 2)) return false;
    size_t old = static_cast<size_t>(d->size);
    memcpy(a.val, d->val, old * sizeof(char *));
    memcpy(a.key, d->key, old * sizeof(char *));
    memcpy(a.comment, d->comment, old * sizeof(char *));
    memcpy(a.hash, d->hash, old * sizeof(uint32_t));
    slots_free(slots_of(d));
    slots_set(d, a, d->size * 2);
    return true;
}

}  // namespace

uint32_t dictionary_hash(const char *key)
{
    uint32_t h = 0;
    for (const char *p = key; *p != '\0'; p++) {
        h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

dictionary *dictionary_new(int size)
{
    if (size < DICT_MIN_SIZE) size = DICT_MIN_SIZE;
    auto *d = static_cast<dictionary *>(os_zalloc(sizeof(dictionary)));
    if (d == nullptr) return nullptr;
    slot_arrays a;
    if (!slots_alloc(&a, static_cast<size_t>(size))) {
        os_free(d);
        return nullptr;
    }
    slots_set(d, a, size);
    return d;
}

void dictionary_del(dictionary *d)
{
    if (d == nullptr) return;
    for (int i = 0; i < d->size; i++) {
        os_free(d->key[i]);
        os_free(d->val[i]);
        os_free(d->comment[i]);
    }
    slots_free(slots_of(d));
    os_free(d->tail_comment);
    os_free(d);
}

int dictionary_find(const dictionary *d, const char *key)
{
    if (d == nullptr || key == nullptr || d->n == 0) return -1;
    uint32_t h = dictionary_hash(key);
    for (int i = d->bucket[bucket_of(d, h)]; i != -1; i = d->next[i]) {
        if (d->hash[i] == h && strcmp(d->key[i], key) == 0) return i;
    }
    return -1;
}

const char *dictionary_get(const dictionary *d, const char *key, const char *def)
{
    int i = dictionary_find(d, key);
    return i < 0 ? def : d->val[i];
}

int dictionary_set(dictionary *d, const char *key, const char *val, const char *comment)
{
    if (d == nullptr || key == nullptr) return -1;
    bool failed = false;
    int  i      = dictionary_find(d, key);
    if (i >= 0) {
        char *copy = dup_or_null(val, &failed);
        if (failed) return -1;
        os_free(d->val[i]);
        d->val[i] = copy;
        return 0;
    }
    if (d->n == d->size && !grow(d)) return -1;
    char *k = dup_or_null(key, &failed);
    char *v = dup_or_null(val, &failed);
    char *c = dup_or_null(comment, &failed);
    if (failed) {
        os_free(k);
        os_free(v);
        os_free(c);
        return -1;
    }
    // The first free slot at or after the count, wrapping to slot 0.
    int slot = d->n;
    while (d->key[slot] != nullptr) slot = (slot + 1) % d->size;
    d->key[slot]     = k;
    d->val[slot]     = v;
    d->comment[slot] = c;
    d->hash[slot]    = dictionary_hash(key);
    index_add(d, slot);
    d->n++;
    return 0;
}

int dictionary_unset(dictionary *d, const char *key)
{
    int i = dictionary_find(d, key);
    if (i < 0) return -1;
    free_slot(d, i);
    return 0;
}

int dictionary_unset_section(dictionary *d, const char *name)
{
    if (d == nullptr || name == nullptr) return -2;
    size_t len     = strlen(name);
    int    removed = 0;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr && in_section(d->key[i], name, len)) {
            free_slot(d, i);
            removed++;
        }
    }
    return removed > 0 ? 0 : -2;
}

int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name)
{
    if (d == nullptr || old_name == nullptr || new_name == nullptr) return -2;
    if (dictionary_find(d, new_name) >= 0) {
        ZLOG_ERR("nsec=%s exist error\n", new_name);
        return -1;
    }
    size_t len = strlen(old_name);
    // Every new key is made first, so a failure changes nothing.
    int renamed = 0;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr && in_section(d->key[i], old_name, len)) renamed++;
    }
    if (renamed == 0) return -2;
    auto **keys = static_cast<char **>(os_zalloc(static_cast<size_t>(renamed) * sizeof(char *)));
    if (keys == nullptr) return -1;
    int k = 0;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] == nullptr || !in_section(d->key[i], old_name, len)) continue;
        std::string nk = std::string(new_name) + (d->key[i] + len);
        keys[k]        = os_strdup(nk.c_str());
        if (keys[k] == nullptr) {
            for (int j = 0; j < k; j++) os_free(keys[j]);
            os_free(keys);
            return -1;
        }
        k++;
    }
    k = 0;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] == nullptr || !in_section(d->key[i], old_name, len)) continue;
        index_remove(d, i);
        os_free(d->key[i]);
        d->key[i]  = keys[k++];
        d->hash[i] = dictionary_hash(d->key[i]);
        index_add(d, i);
    }
    os_free(keys);
    return 0;
}

int dictionary_set_tail_comment(dictionary *d, const char *text)
{
    if (d == nullptr) return -1;
    bool  failed = false;
    char *copy   = dup_or_null(text, &failed);
    if (failed) return -1;
    os_free(d->tail_comment);
    d->tail_comment = copy;
    return 0;
}

void dictionary_dump(const dictionary *d, FILE *out)
{
    if (d == nullptr || out == nullptr) return;
    if (d->n < 1) {
        fprintf(out, "empty dictionary\n");
        return;
    }
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] != nullptr) fprintf(out, "%20s\t[%s]\n", d->key[i], d->val[i] != nullptr ? d->val[i] : "UNDEF");
    }
}
