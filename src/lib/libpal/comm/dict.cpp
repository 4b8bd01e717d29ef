// Dictionary: open addressing over a power-of-two table with perturbed
// probing. Deleted slots become tombstones that keep probe chains whole; a
// rebuild drops them, so a table never fills up with them.
#include "libpal/comm/dict.h"

#include <bit>
#include <cstring>

#include "libpal/basic/os_malloc.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr uint32_t k_initial_size = 8;
// Beyond this size a rebuild only doubles over twice the live entries.
constexpr uint32_t k_big_table = 64001;
constexpr uint32_t k_max_size = 1u << 31;

char *tombstone()
{
    return reinterpret_cast<char *>(~uintptr_t{0});
}

bool is_tomb(const dict_slot *s)
{
    return s->key == tombstone();
}

bool is_live(const dict_slot *s)
{
    return s->key != nullptr && !is_tomb(s);
}

bool same_key(const dict_slot *s, const char *key, uint32_t hash)
{
    return s->key == key || (!is_tomb(s) && s->hash == hash && strcmp(s->key, key) == 0);
}

// The live slot of key; else the slot a new entry goes to (the first
// tombstone on the chain, or the empty slot that ends it); nullptr when the
// chain meets neither an empty slot nor the key. Once perturb has run down
// to 0 the step i -> 5i + 1 visits every slot within size steps, so a failed
// lookup has seen the whole table.
dict_slot *lookup(dict *d, const char *key, uint32_t hash)
{
    const uint32_t mask = d->size - 1;
    uint32_t i = hash & mask;
    dict_slot *s = &d->slots[i];
    if (s->key == nullptr || same_key(s, key, hash))
        return s;
    dict_slot *free_slot = is_tomb(s) ? s : nullptr;

    uint32_t perturb = hash;
    uint32_t left = d->size;
    for (bool first = true; left > 0; first = false) {
        if (!first)
            perturb >>= 5;
        i = (5 * i + perturb + 1) & mask;
        s = &d->slots[i];
        if (s->key == nullptr)
            return free_slot != nullptr ? free_slot : s;
        if (same_key(s, key, hash))
            return s;
        if (is_tomb(s) && free_slot == nullptr)
            free_slot = s;
        if (perturb == 0)
            left--;
    }
    return nullptr;
}

void release_entry(dict *d, dict_slot *s)
{
    if (d->flags & DICT_KEY_COPY)
        os_free(s->key);
    if (d->flags & (DICT_VAL_COPY | DICT_VAL_OWNED))
        os_free(s->value);
}

// Grows the table past (4, or 2 for big tables) x the live entries, or
// rebuilds it at its size when tombstones hold slots; 0 when neither is due.
int dict_resize(dict *d)
{
    const uint64_t limit = uint64_t{d->size < k_big_table ? 4u : 2u} * d->used;
    uint64_t new_size = d->size;
    while (new_size <= limit)
        new_size *= 2;
    if (new_size == d->size && d->fill == d->used)
        return 0;
    if (new_size > k_max_size) {
        ZLOG_ERR("dict size %llu too large\n", static_cast<unsigned long long>(new_size));
        return -1;
    }
    auto *slots = static_cast<dict_slot *>(os_zalloc(new_size * sizeof(dict_slot)));
    if (slots == nullptr)
        return -1;

    dict_slot *old = d->slots;
    const uint32_t old_size = d->size;
    d->slots = slots;
    d->size = static_cast<uint32_t>(new_size);
    d->fill = 0;
    d->used = 0;
    for (uint32_t i = 0; i < old_size; i++) {
        if (!is_live(&old[i]))
            continue;
        const uint32_t h = dict_hash(old[i].key);
        // A table without tombstones and with room always has an empty slot on the chain.
        dict_slot *s = lookup(d, old[i].key, h);
        *s = old[i];
        s->hash = h;
        d->fill++;
        d->used++;
    }
    os_free(old);
    return 0;
}

}  // namespace

dict *dict_new(uint32_t flags)
{
    auto *d = static_cast<dict *>(os_zalloc(sizeof(dict)));
    if (d == nullptr)
        return nullptr;
    d->slots = static_cast<dict_slot *>(os_zalloc(k_initial_size * sizeof(dict_slot)));
    if (d->slots == nullptr) {
        os_free(d);
        return nullptr;
    }
    d->flags = flags;
    d->size = k_initial_size;
    return d;
}

void dict_exit(dict *d)
{
    PL_ASSERT_TEXT_RET_VOID(d != nullptr, "d!=NULL");
    for (uint32_t i = 0; i < d->size; i++) {
        if (is_live(&d->slots[i]))
            release_entry(d, &d->slots[i]);
    }
    os_free(d->slots);
    os_free(d);
}

int dict_set(dict *d, const char *key, void *value)
{
    PL_ASSERT_TEXT_RET(d != nullptr, "d!=NULL", -1);
    PL_ASSERT_TEXT_RET(key != nullptr, "key!=NULL", -1);
    const uint32_t h = dict_hash(key);
    dict_slot *s = lookup(d, key, h);
    if (s == nullptr) {
        ZLOG_DBG("dict_lookup failed resize retry...");
        if (dict_resize(d) != 0)
            return -1;
        s = lookup(d, key, h);
        if (s == nullptr)
            return -1;
    }

    // The new value's copy is made before anything changes, so a failed copy
    // leaves an existing entry with its old value and adds no entry.
    void *val = value;
    if ((d->flags & DICT_VAL_COPY) && value != nullptr) {
        val = dict_strdup(static_cast<const char *>(value));
        if (val == nullptr)
            return -1;
    }

    if (is_live(s)) {
        if (d->flags & (DICT_VAL_COPY | DICT_VAL_OWNED))
            os_free(s->value);
        s->value = val;
        return 0;
    }

    char *k = const_cast<char *>(key);
    if (d->flags & DICT_KEY_COPY) {
        k = dict_strdup(key);
        if (k == nullptr) {
            if (d->flags & DICT_VAL_COPY)
                os_free(val);
            return -1;
        }
    }
    // A reused tombstone was already counted as filled.
    if (s->key == nullptr)
        d->fill++;
    d->used++;
    s->key = k;
    s->hash = h;
    s->value = val;
    if (3 * uint64_t{d->fill} >= 2 * uint64_t{d->size})
        return dict_resize(d) == 0 ? 0 : -1;
    return 0;
}

void *dict_get(dict *d, const char *key, void *def)
{
    if (d == nullptr || key == nullptr)
        return def;
    const dict_slot *s = lookup(d, key, dict_hash(key));
    return s != nullptr && is_live(s) ? s->value : def;
}

uint32_t dict_count(const dict *d)
{
    return d != nullptr ? d->used : 0;
}

int dict_del(dict *d, const char *key)
{
    PL_ASSERT_TEXT_RET(d != nullptr, "d!=NULL", -1);
    PL_ASSERT_TEXT_RET(key != nullptr, "key!=NULL", -1);
    dict_slot *s = lookup(d, key, dict_hash(key));
    if (s == nullptr || !is_live(s))
        return -1;
    release_entry(d, s);
    s->key = tombstone();
    s->value = nullptr;
    d->used--;
    return 0;
}

int dict_next(dict *d, int rank, const char **key, void **value)
{
    if (key != nullptr)
        *key = nullptr;
    if (value != nullptr)
        *value = nullptr;
    if (d == nullptr || key == nullptr || value == nullptr || rank < 0)
        return -1;
    for (uint32_t i = static_cast<uint32_t>(rank); i < d->size; i++) {
        if (is_live(&d->slots[i])) {
            *key = d->slots[i].key;
            *value = d->slots[i].value;
            return static_cast<int>(i + 1);
        }
    }
    return -1;
}

int dict_get_key_list(dict *d, dict_key_node **list)
{
    if (list == nullptr)
        return -1;
    *list = nullptr;
    if (d == nullptr)
        return -1;
    dict_key_node **tail = list;
    for (uint32_t i = 0; i < d->size; i++) {
        if (!is_live(&d->slots[i]))
            continue;
        auto *n = static_cast<dict_key_node *>(os_calloc(1, sizeof(dict_key_node)));
        char *k = n != nullptr ? dict_strdup(d->slots[i].key) : nullptr;
        if (k == nullptr) {
            os_free(n);
            while (*list != nullptr) {
                dict_key_node *next = (*list)->next;
                os_free((*list)->key);
                os_free(*list);
                *list = next;
            }
            return -1;
        }
        n->key = k;
        *tail = n;
        tail = &n->next;
    }
    return 0;
}

void dict_dump(dict *d, FILE *out)
{
    if (out == nullptr)
        return;
    const char *key = nullptr;
    void *value = nullptr;
    for (int rank = dict_next(d, 0, &key, &value); rank > 0; rank = dict_next(d, rank, &key, &value))
        fprintf(out, "[rank=%d] %s: %s\n", rank, key, value != nullptr ? static_cast<const char *>(value) : "UNDEF");
}

uint32_t dict_hash(const char *key)
{
    if (key == nullptr || key[0] == '\0')
        return 0;
    constexpr uint32_t m = 0x5bd1e995;
    constexpr int r = 24;
    const auto *p = reinterpret_cast<const unsigned char *>(key);
    auto len = static_cast<uint32_t>(strlen(key));
    const uint32_t seed = len ^ 0xbadcafe;
    uint32_t h = seed ^ len;
    for (; len >= 4; p += 4, len -= 4) {
        uint32_t k = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
    }
    switch (len) {
    case 3:
        h ^= uint32_t{p[2]} << 16;
        [[fallthrough]];
    case 2:
        h ^= uint32_t{p[1]} << 8;
        [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= m;
        break;
    default:
        break;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

char *dict_strdup(const char *text)
{
    return text != nullptr ? os_strdup(text) : nullptr;
}

int bits_ilog2(uint32_t x)
{
    return x > 1 ? std::bit_width(x) - 1 : 0;
}

int bits_ilog2_64(uint64_t x)
{
    return x > 1 ? std::bit_width(x) - 1 : 0;
}
