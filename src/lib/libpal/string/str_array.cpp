// String containers: pointer array, string map, string vector, double-NUL
// lists and the base64 appender.
#include "libpal/string/str_array.h"

#include <cstring>
#include <utility>

#define ZLOG_TAG "pal"
#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/memory/mem_pack.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_search.h"
#include "libpal/utils/pl_cmp.h"

namespace {

// Containers that start empty get this many slots on their first growth.
constexpr uint32_t FIRST_CAPACITY = 16;
// Pointer arrays and maps grow four-fold while small, then two-fold.
constexpr uint32_t FAST_GROWTH_BELOW = 64001;

uint32_t with_default_mode(uint32_t flags, uint32_t mode)
{
    return (flags & STR_F_CMP_MASK) != 0 ? flags : flags | mode;
}

// The next capacity, or 0 when it would not fit in 32 bits.
uint32_t next_capacity(uint32_t cap, bool fast)
{
    if (cap == 0)
        return FIRST_CAPACITY;
    const uint64_t mul = (fast && cap < FAST_GROWTH_BELOW) ? 4 : 2;
    const uint64_t next = cap * mul;
    return next > UINT32_MAX - 1 ? 0 : static_cast<uint32_t>(next);
}

// Reallocates an array of pointers from old_slots to new_slots, zeroing the
// added slots. nullptr on failure, the old array untouched.
template <typename T>
T **grow_slots(T **slots, size_t old_slots, size_t new_slots)
{
    auto **p = static_cast<T **>(os_realloc(slots, new_slots * sizeof(T *)));
    if (p == nullptr)
        return nullptr;
    std::fill(p + old_slots, p + new_slots, nullptr);
    return p;
}

cmp_proc container_cmp(uint32_t flags)
{
    return cmp_array_get_proc(flags & STR_F_CMP_MASK, nullptr, false);
}

// Stores item without copying it; the slot after the last item stays nullptr.
int ptr_array_push(ptr_array *a, void *item)
{
    if (a->count >= a->capacity) {
        const uint32_t cap = next_capacity(a->capacity, true);
        if (cap == 0)
            return -1;
        void **p = grow_slots(a->items, a->capacity + 1ull, cap + 1ull);
        if (p == nullptr)
            return -1;
        a->items = p;
        a->capacity = cap;
    }
    a->items[a->count++] = item;
    return 0;
}

}  // namespace

// ---- pointer array ----

ptr_array *ptr_array_new(uint32_t capacity, uint32_t flags)
{
    auto *a = static_cast<ptr_array *>(os_zalloc(sizeof(ptr_array)));
    if (a == nullptr)
        return nullptr;
    a->items = static_cast<void **>(os_zalloc((capacity + 1ull) * sizeof(void *)));
    if (a->items == nullptr) {
        os_free(a);
        return nullptr;
    }
    a->capacity = capacity;
    a->flags = with_default_mode(flags, STR_F_CMP_PTR);
    return a;
}

int ptr_array_add(ptr_array *array, const void *item)
{
    PL_ASSERT_TEXT_RET(array != nullptr, "array != NULL", -1);
    void *stored = const_cast<void *>(item);
    if (array->flags & STR_F_OWN) {
        PL_ASSERT_TEXT_RET(item != nullptr, "item != NULL", -1);
        stored = os_strdup(static_cast<const char *>(item));
        if (stored == nullptr)
            return -1;
    }
    if (ptr_array_push(array, stored) != 0) {
        if (array->flags & STR_F_OWN)
            os_free(stored);
        return -1;
    }
    return 0;
}

void ptr_array_truncate(ptr_array *array, uint32_t n)
{
    if (array == nullptr || array->count <= n)
        return;
    for (uint32_t i = n; i < array->count; i++) {
        if (array->flags & STR_F_OWN)
            os_free(array->items[i]);
        array->items[i] = nullptr;
    }
    array->count = n;
}

void ptr_array_free(ptr_array *array)
{
    if (array == nullptr)
        return;
    ptr_array_truncate(array, 0);
    os_free(array->items);
    os_free(array);
}

void ptr_array_sort(ptr_array *array)
{
    if (array == nullptr || array->count == 0)
        return;
    if (cmp_proc cmp = container_cmp(array->flags))
        arr_sort(array->items, array->count, sizeof(void *), cmp);
}

void ptr_array_unique(ptr_array *array)
{
    if (array == nullptr || array->count == 0)
        return;
    if (cmp_proc cmp = container_cmp(array->flags))
        ptr_array_truncate(array, static_cast<uint32_t>(arr_unique(array->items, array->count, sizeof(void *), cmp)));
}

ptr_array *ptr_array_split(const char *text, const char *seps)
{
    PL_ASSERT_TEXT_RET(text != nullptr, "text != NULL", nullptr);
    if (seps == nullptr)
        seps = "";
    ptr_array *a = ptr_array_new(FIRST_CAPACITY, STR_F_OWN);
    if (a == nullptr)
        return nullptr;
    for (const char *p = text;;) {
        const size_t n = strcspn(p, seps);
        char *field = os_strndup(p, n);
        if (field == nullptr || ptr_array_push(a, field) != 0) {
            os_free(field);
            ptr_array_free(a);
            return nullptr;
        }
        if (p[n] == '\0')
            break;
        p += n + 1;
    }
    return a;
}

// ---- string map ----

namespace {

const char *entry_key(uint32_t flags, const void *e)
{
    if (flags & STR_F_OWN)
        return static_cast<const char *>(e);
    const char *k = nullptr;
    memcpy(&k, e, sizeof(k));
    return k;
}

// Where the value (its characters, or its pointer) starts in the entry.
char *entry_val_field(uint32_t flags, void *e)
{
    auto *b = static_cast<char *>(e);
    return (flags & STR_F_OWN) ? b + strlen(b) + 1 : b + sizeof(char *);
}

const char *entry_val(uint32_t flags, void *e)
{
    char *f = entry_val_field(flags, e);
    if (flags & STR_F_VAL_INLINE)
        return f;
    const char *v = nullptr;
    memcpy(&v, f, sizeof(v));
    return v;
}

// One block in the layout the flags choose (the pointer after an inline key
// is stored unaligned, hence memcpy).
void *entry_new(uint32_t flags, const char *key, const char *value)
{
    const bool key_inline = flags & STR_F_OWN;
    const bool val_inline = flags & STR_F_VAL_INLINE;
    if (val_inline && value == nullptr)
        value = "";
    const size_t klen = key_inline ? strlen(key) + 1 : sizeof(char *);
    const size_t vlen = val_inline ? strlen(value) + 1 : sizeof(char *);
    auto *p = static_cast<char *>(os_malloc(klen + vlen));
    if (p == nullptr)
        return nullptr;
    if (key_inline && val_inline) {
        mem_add_strs(p, klen + vlen, key, value, nullptr);
        return p;
    }
    if (key_inline)
        memcpy(p, key, klen);
    else
        memcpy(p, &key, sizeof(key));
    if (val_inline)
        memcpy(p + klen, value, vlen);
    else
        memcpy(p + klen, &value, sizeof(value));
    return p;
}

bool valid_index(const str_map *map, int index)
{
    return map != nullptr && index >= 0 && static_cast<uint32_t>(index) < map->count;
}

}  // namespace

int str_map_init(str_map *map, uint32_t flags)
{
    PL_ASSERT_TEXT_RET(map != nullptr, "map != NULL", -1);
    map->flags = with_default_mode(flags, STR_F_CMP_PPSTR);
    map->count = 0;
    map->entries = nullptr;
    if (map->capacity > 0) {
        map->entries = static_cast<void **>(os_zalloc(map->capacity * sizeof(void *)));
        if (map->entries == nullptr) {
            map->capacity = 0;
            return -1;
        }
    }
    return 0;
}

str_map *str_map_new(uint32_t flags)
{
    auto *map = static_cast<str_map *>(os_zalloc(sizeof(str_map)));
    if (map == nullptr)
        return nullptr;
    if (str_map_init(map, flags) != 0) {
        os_free(map);
        return nullptr;
    }
    return map;
}

int str_map_add(str_map *map, const char *key, const char *value)
{
    PL_ASSERT_TEXT_RET(map != nullptr && key != nullptr, "map != NULL && key != NULL", -1);
    if (map->count >= map->capacity) {
        const uint32_t cap = next_capacity(map->capacity, true);
        if (cap == 0)
            return -1;
        void **e = grow_slots(map->entries, map->capacity, cap);
        if (e == nullptr)
            return -1;
        map->entries = e;
        map->capacity = cap;
    }
    void *p = entry_new(map->flags, key, value);
    PL_ASSERT_RET(p, -1);
    map->entries[map->count++] = p;
    return 0;
}

int str_map_find(const str_map *map, const char *key)
{
    if (map == nullptr || key == nullptr || map->count == 0)
        return -1;
    if (map->flags & STR_F_SORTED) {
        return (map->flags & STR_F_OWN) ? str_bsearch_inline(map->entries, map->count, key)
                                        : str_bsearch_ptr(map->entries, map->count, key);
    }
    for (uint32_t i = 0; i < map->count; i++) {
        if (map->entries[i] != nullptr && strcmp(entry_key(map->flags, map->entries[i]), key) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int str_map_set(str_map *map, const char *key, const char *value)
{
    PL_ASSERT_TEXT_RET(map != nullptr && key != nullptr, "map != NULL && key != NULL", -1);
    const int i = str_map_find(map, key);
    if (i < 0) {
        if (str_map_add(map, key, value) != 0)
            return -1;
        if (map->flags & STR_F_SORTED)
            str_map_sort(map);
        return 0;
    }
    void *old = map->entries[i];
    char *field = entry_val_field(map->flags, old);
    if (!(map->flags & STR_F_VAL_INLINE)) {
        const char *prev = nullptr;
        memcpy(&prev, field, sizeof(prev));
        // Setting the value it already holds must not free it.
        if ((map->flags & STR_F_OWN_VAL) && prev != value)
            os_free(const_cast<char *>(prev));
        memcpy(field, &value, sizeof(value));
        return 0;
    }
    if (value == nullptr)
        value = "";
    const size_t n = strlen(value);
    if (n <= strlen(field)) {
        memmove(field, value, n + 1);
        return 0;
    }
    void *nval = entry_new(map->flags, entry_key(map->flags, old), value);
    PL_ASSERT_RET(nval, -1);
    map->entries[i] = nval;
    os_free(old);
    return 0;
}

const char *str_map_get(const str_map *map, const char *key)
{
    const int i = str_map_find(map, key);
    return i < 0 ? nullptr : entry_val(map->flags, map->entries[i]);
}

int str_map_del(str_map *map, const char *key)
{
    const int i = str_map_find(map, key);
    if (i < 0)
        return -1;
    str_map_entry_free(map, i);
    memmove(map->entries + i, map->entries + i + 1, (map->count - static_cast<uint32_t>(i) - 1) * sizeof(void *));
    map->entries[--map->count] = nullptr;
    return 0;
}

const char *str_map_key_at(const str_map *map, int index)
{
    if (!valid_index(map, index) || map->entries[index] == nullptr)
        return nullptr;
    return entry_key(map->flags, map->entries[index]);
}

const char *str_map_val_at(const str_map *map, int index)
{
    if (!valid_index(map, index) || map->entries[index] == nullptr)
        return nullptr;
    return entry_val(map->flags, map->entries[index]);
}

void str_map_sort(str_map *map)
{
    if (map == nullptr)
        return;
    map->flags |= STR_F_SORTED;
    if (map->count < 2)
        return;
    if (cmp_proc cmp = container_cmp(map->flags))
        arr_sort(map->entries, map->count, sizeof(void *), cmp);
}

void str_map_entry_free(str_map *map, int index)
{
    if (!valid_index(map, index) || map->entries[index] == nullptr)
        return;
    void *e = map->entries[index];
    if ((map->flags & STR_F_OWN_VAL) && !(map->flags & STR_F_VAL_INLINE))
        os_free(const_cast<char *>(entry_val(map->flags, e)));
    os_free(e);
    map->entries[index] = nullptr;
}

void str_map_clear(str_map *map)
{
    if (map == nullptr)
        return;
    for (uint32_t i = 0; i < map->count; i++)
        str_map_entry_free(map, static_cast<int>(i));
    map->count = 0;
}

int str_map_exit(str_map *map)
{
    if (map == nullptr)
        return 0;
    str_map_clear(map);
    os_free(map->entries);
    map->entries = nullptr;
    map->capacity = 0;
    return 0;
}

int str_map_free(str_map *map)
{
    if (map == nullptr)
        return 0;
    str_map_exit(map);
    os_free(map);
    return 0;
}

// ---- string vector ----

namespace {

bool ascii_ieq(const char *a, const char *b)
{
    for (;; a++, b++) {
        auto ca = static_cast<unsigned char>(*a);
        auto cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return false;
        if (ca == '\0')
            return true;
    }
}

bool vec_equal(const str_vector *v, const char *a, const char *b)
{
    return (v->flags & STR_F_ICASE) ? ascii_ieq(a, b) : strcmp(a, b) == 0;
}

int vec_grow(str_vector *v)
{
    const uint32_t cap = v->capacity == 0 ? FIRST_CAPACITY : v->capacity * 2ull > UINT32_MAX ? 0 : v->capacity * 2;
    if (cap == 0)
        return -1;
    char **p = grow_slots(v->items, v->capacity, cap);
    if (p == nullptr)
        return -1;
    v->items = p;
    v->capacity = cap;
    return 0;
}

// Frees (when owned) and empties the slots from n on; count becomes n.
void vec_truncate(str_vector *v, uint32_t n)
{
    for (uint32_t i = n; i < v->count; i++) {
        if (v->flags & STR_F_OWN)
            os_free(v->items[i]);
        v->items[i] = nullptr;
    }
    if (v->count > n)
        v->count = n;
}

}  // namespace

void str_vector_init(str_vector *v, uint32_t flags)
{
    if (v == nullptr)
        return;
    memset(v, 0, sizeof(*v));
    v->flags = with_default_mode(flags, STR_F_CMP_PTR);
}

str_vector *str_vector_new(uint32_t flags)
{
    auto *v = static_cast<str_vector *>(os_malloc(sizeof(str_vector)));
    if (v == nullptr)
        return nullptr;
    str_vector_init(v, flags);
    v->heap = 1;
    return v;
}

void str_vector_free(str_vector *v)
{
    if (v == nullptr)
        return;
    str_vector_exit(v);
    if (v->heap)
        os_free(v);
}

void str_vector_exit(str_vector *v)
{
    if (v == nullptr)
        return;
    vec_truncate(v, 0);
    os_free(v->items);
    os_free(v->split_buf);
    v->items = nullptr;
    v->count = 0;
    v->capacity = 0;
    v->split_buf = nullptr;
    v->split_size = 0;
}

void str_vector_clear(str_vector *v)
{
    if (v == nullptr)
        return;
    vec_truncate(v, 0);
    os_free(v->split_buf);
    v->split_buf = nullptr;
    v->split_size = 0;
    v->count = 0;
}

int str_vector_push_back(str_vector *v, const char *str)
{
    PL_ASSERT_TEXT_RET(v != nullptr, "v != NULL", -1);
    PL_ASSERT_TEXT_RET(str != nullptr, "str!=NULL", -1);
    if ((v->flags & STR_F_NO_EMPTY) && str[0] == '\0')
        return 0;
    if (v->count >= v->capacity && vec_grow(v) != 0)
        return -1;
    if ((v->flags & STR_F_UNIQUE) && str_vector_find(v, str) >= 0)
        return 0;
    char *item = const_cast<char *>(str);
    if (v->flags & STR_F_OWN) {
        item = os_strdup(str);
        if (item == nullptr)
            return -1;
    }
    v->items[v->count++] = item;
    return 0;
}

int str_vector_find_cs(const str_vector *v, const char *text)
{
    if (v == nullptr || text == nullptr)
        return -1;
    for (uint32_t i = 0; i < v->count; i++)
        if (strcmp(v->items[i], text) == 0)
            return static_cast<int>(i);
    return -1;
}

int str_vector_find(const str_vector *v, const char *text)
{
    if (v == nullptr || text == nullptr)
        return -1;
    for (uint32_t i = 0; i < v->count; i++)
        if (vec_equal(v, v->items[i], text))
            return static_cast<int>(i);
    return -1;
}

int str_vector_remove(str_vector *v, const char *text)
{
    if (v == nullptr || text == nullptr)
        return -1;
    // Matching items are swapped behind the kept ones (whose order stays) and
    // freed only after the walk: text may be one of them.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < v->count; i++) {
        if (!vec_equal(v, v->items[i], text))
            std::swap(v->items[kept++], v->items[i]);
    }
    if (kept == v->count)
        return -1;
    vec_truncate(v, kept);
    return 0;
}

void str_vector_sort(str_vector *v)
{
    if (v == nullptr || v->count < 2)
        return;
    if (cmp_proc cmp = container_cmp(v->flags))
        arr_sort(v->items, v->count, sizeof(char *), cmp);
}

void str_vector_unique(str_vector *v)
{
    if (v == nullptr || v->count < 2)
        return;
    if (cmp_proc cmp = container_cmp(v->flags))
        vec_truncate(v, static_cast<uint32_t>(arr_unique(v->items, v->count, sizeof(char *), cmp)));
}

int str_vector_terminate(str_vector *v)
{
    PL_ASSERT_TEXT_RET(v != nullptr, "v != NULL", -1);
    if (v->count >= v->capacity && vec_grow(v) != 0)
        return -1;
    v->items[v->count] = nullptr;
    return 0;
}

int str_vector_split_inplace_n(char *text, const char *seps, int max, str_vector *v)
{
    PL_ASSERT_TEXT_RET(text != nullptr && v != nullptr, "text != NULL && v != NULL", -1);
    if (seps == nullptr)
        seps = "";
    v->count = 0;
    if (max == 1) {
        if (str_vector_push_back(v, text) != 0)
            return -1;
    } else {
        char *rest = text;
        while (rest != nullptr) {
            if (max > 0 && v->count == static_cast<uint32_t>(max - 1)) {
                if (str_vector_push_back(v, rest) != 0)
                    return -1;
                break;
            }
            const char *field = strsep(&rest, seps);
            if (str_vector_push_back(v, field) != 0)
                return -1;
        }
    }
    if (str_vector_terminate(v) != 0)
        return -1;
    return static_cast<int>(v->count);
}

int str_vector_split_inplace(char *text, const char *seps, str_vector *v)
{
    return str_vector_split_inplace_n(text, seps, 0, v);
}

int str_vector_split_n(const char *text, const char *seps, int max, str_vector *v)
{
    PL_ASSERT_TEXT_RET(text != nullptr && v != nullptr, "text != NULL && v != NULL", -1);
    const size_t size = strlen(text) + 1;
    if (v->split_buf != nullptr && v->split_size >= size) {
        // text may be an item of the previous split, inside this buffer.
        memmove(v->split_buf, text, size);
    } else {
        char *copy = os_strdup(text);
        if (copy == nullptr)
            return -1;
        os_free(v->split_buf);
        v->split_buf = copy;
        v->split_size = size;
    }
    return str_vector_split_inplace_n(v->split_buf, seps, max, v);
}

int str_vector_split(const char *text, const char *seps, str_vector *v)
{
    return str_vector_split_n(text, seps, 0, v);
}

int str_split_esape(const char *text, const char *seps, const char *quotes, str_vector *v)
{
    PL_ASSERT_TEXT_RET(text != nullptr && v != nullptr, "text != NULL && v != NULL", -1);
    if (seps == nullptr)
        seps = "";
    const bool quoted = quotes != nullptr && quotes[0] != '\0' && strpbrk(text, quotes) != nullptr;
    size_t nquotes = 0;
    if (quoted) {
        for (const char *p = text; *p != '\0'; p++)
            if (strchr(quotes, *p) != nullptr)
                nquotes++;
        // Refused before the split buffer changes: the vector's items stay valid.
        if (nquotes % 2 != 0) {
            ZLOG_ERR("syntax error\n");
            return -1;
        }
    }
    char *copy = os_strdup(text);
    if (copy == nullptr)
        return -1;
    os_free(v->split_buf);
    v->split_buf = copy;
    v->split_size = strlen(copy) + 1;
    if (!quoted)
        return str_vector_split_inplace_n(copy, seps, 0, v);
    v->count = 0;
    bool in_quote = false;
    char *item = copy;
    for (char *p = copy; *p != '\0'; p++) {
        if (strchr(quotes, *p) != nullptr) {
            in_quote = !in_quote;
        } else if (!in_quote && strchr(seps, *p) != nullptr) {
            *p = '\0';
            if (str_vector_push_back(v, item) != 0)
                return -1;
            item = p + 1;
        }
    }
    if (item[0] != '\0' && str_vector_push_back(v, item) != 0)
        return -1;
    if (str_vector_terminate(v) != 0)
        return -1;
    return static_cast<int>(v->count);
}

// ---- double-NUL lists ----

namespace {

// The number of strings of the list and its size with the final NUL.
size_t zz_walk(const char *list, size_t *total)
{
    size_t n = 0;
    const char *p = list;
    for (; *p != '\0'; p += strlen(p) + 1)
        n++;
    *total = static_cast<size_t>(p - list) + 1;
    return n;
}

// A search bound of 0 means this much.
constexpr size_t ZZ_DEFAULT_BOUND = 65536;

}  // namespace

int str_split_zz(const char *str, const char **array, int max, size_t *total)
{
    PL_ASSERT_TEXT_RET(str != nullptr, "str!=NULL", -1);
    int n = 0;
    const char *p = str;
    for (; *p != '\0'; p += strlen(p) + 1) {
        if (array != nullptr) {
            if (n >= max) {
                ZLOG_ERR("[%s] error: more '0' sep, max_sep=%d\n", str, max);
                return -1;
            }
            array[n] = p;
        }
        n++;
    }
    if (total != nullptr)
        *total = static_cast<size_t>(p - str) + 1;
    return array != nullptr ? n : 0;
}

int str_zz_len(const char *list, size_t bound)
{
    PL_ASSERT_TEXT_RET(list != nullptr, "list != NULL", -1);
    if (bound == 0)
        bound = ZZ_DEFAULT_BOUND;
    for (size_t i = 0; i + 1 < bound; i++) {
        if (list[i] == '\0') {
            if (list[i + 1] == '\0')
                return static_cast<int>(i);
        }
    }
    return -1;
}

char *str_zz_dup(const char *list, int max)
{
    PL_ASSERT_TEXT_RET(list != nullptr, "list != NULL", nullptr);
    size_t total = 0;
    if (zz_walk(list, &total) > static_cast<size_t>(max < 0 ? 0 : max))
        return nullptr;
    // One more NUL, so that even the one-NUL empty list comes back as two.
    auto *p = static_cast<char *>(os_malloc(total + 1));
    if (p == nullptr)
        return nullptr;
    memcpy(p, list, total);
    p[total] = '\0';
    return p;
}

// ---- base64 ----

int str_base64_encode_cat(const char *text, char *out, size_t size)
{
    PL_ASSERT_TEXT_RET(out != nullptr && size > 0, "out != NULL && size > 0", -1);
    out[0] = '\0';
    PL_ASSERT_TEXT_RET(text != nullptr, "text != NULL", -1);
    // Piece by piece, so an output too small is reported once by the strict
    // append and left empty, whatever the text's length.
    const size_t len = strlen(text);
    for (size_t i = 0; i < len; i += 3) {
        char piece[5];
        str_base64_encode(text + i, len - i < 3 ? len - i : 3, piece, sizeof(piece));
        if (str_safecat(out, size, piece) != 0) {
            out[0] = '\0';
            return -1;
        }
    }
    return 0;
}
