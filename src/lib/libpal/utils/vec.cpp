// Typed arrays: one template carries the operations; each family's functions
// forward to it with the family's element type and comparators.
#include "libpal/utils/vec.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "libpal/basic/os_malloc.h"

namespace {

constexpr uint64_t k_default_capacity = 8;

template <typename T>
int order(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

template <typename T>
T elem_at(const void *p)
{
    T v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// A value carried in a pointer, as the find comparators take their key.
template <typename T>
const void *as_key(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return value;
    else
        return reinterpret_cast<const void *>(static_cast<uintptr_t>(value));
}

// The u16 and u32 elements have no rows in the comparator tables; their
// arrays sort and search with these.
template <typename T>
int own_asc(const void *a, const void *b)
{
    return order(elem_at<T>(a), elem_at<T>(b));
}

template <typename T>
int own_desc(const void *a, const void *b)
{
    return -own_asc<T>(a, b);
}

template <typename T>
int own_find(const void *key, const void *elem)
{
    return order(static_cast<T>(reinterpret_cast<uintptr_t>(key)), elem_at<T>(elem));
}

// The by-pointer value-type code of each element type; 0 for those the
// comparator tables leave out.
template <typename T>
constexpr uint32_t k_code = 0;
template <>
constexpr uint32_t k_code<char> = VALUE_TYPE_PI8;
template <>
constexpr uint32_t k_code<int> = VALUE_TYPE_PINT;
template <>
constexpr uint32_t k_code<uint64_t> = VALUE_TYPE_PU64;
template <>
constexpr uint32_t k_code<void *> = VALUE_TYPE_PUPTR;

template <typename T>
cmp_proc sort_cmp(bool desc)
{
    if constexpr (k_code<T> != 0)
        return cmp_val_get_proc(k_code<T>, desc);
    else
        return desc ? own_desc<T> : own_asc<T>;
}

template <typename T>
cmp_proc find_cmp()
{
    if constexpr (k_code<T> != 0)
        return cmp2_val_get_find_proc(k_code<T>);
    else
        return own_find<T>;
}

// Room for capacity + 1 elements, or 0 when that many bytes do not fit.
template <typename T>
size_t block_bytes(uint64_t capacity)
{
    if (capacity >= SIZE_MAX / sizeof(T) - 1)
        return 0;
    return static_cast<size_t>(capacity + 1) * sizeof(T);
}

template <typename V>
struct ops {
    using T = std::remove_pointer_t<decltype(V::data)>;

    static V *make(uint64_t capacity)
    {
        if (capacity == 0)
            capacity = k_default_capacity;
        const size_t bytes = block_bytes<T>(capacity);
        if (bytes == 0)
            return nullptr;
        auto *v = static_cast<V *>(os_zalloc(sizeof(V)));
        if (v == nullptr)
            return nullptr;
        v->data = static_cast<T *>(os_zalloc(bytes));
        if (v->data == nullptr) {
            os_free(v);
            return nullptr;
        }
        v->capacity = capacity;
        return v;
    }

    // Doubles the capacity when the array is full; the new elements are zero.
    static int room(V *v)
    {
        if (v->count < v->capacity)
            return 0;
        const uint64_t cap = v->capacity * 2;
        const size_t bytes = cap > v->capacity ? block_bytes<T>(cap) : 0;
        if (bytes == 0)
            return -1;
        auto *data = static_cast<T *>(os_realloc(v->data, bytes));
        if (data == nullptr)
            return -1;
        memset(static_cast<void *>(data + v->capacity + 1), 0, (cap - v->capacity) * sizeof(T));
        v->data = data;
        v->capacity = cap;
        return 0;
    }

    static int push(V *v, T value)
    {
        if (v == nullptr || room(v) != 0)
            return -1;
        v->data[v->count++] = value;
        return 0;
    }

    static int insert(V *v, uint64_t index, T value)
    {
        if (v == nullptr || index > v->count || room(v) != 0)
            return -1;
        memmove(static_cast<void *>(v->data + index + 1), v->data + index, (v->count - index) * sizeof(T));
        v->data[index] = value;
        v->count++;
        return 0;
    }

    static int erase_range(V *v, uint64_t start, uint64_t n)
    {
        if (v == nullptr)
            return -1;
        if (v->count == 0)
            return 0;
        if (start >= v->count)
            return -1;
        n = std::min(n, v->count - start);
        const uint64_t tail = v->count - start - n;
        memmove(static_cast<void *>(v->data + start), v->data + start + n, tail * sizeof(T));
        memset(static_cast<void *>(v->data + start + tail), 0, n * sizeof(T));
        v->count -= n;
        return 0;
    }

    static int erase(V *v, uint64_t index)
    {
        if (v != nullptr && v->count > 0 && index == VEC_ALL)
            index = v->count - 1;
        return erase_range(v, index, 1);
    }

    static int64_t find(const V *v, T value)
    {
        if (v == nullptr)
            return -1;
        const T *begin = v->data;
        const T *end = begin + v->count;
        const T *it = std::find(begin, end, value);
        return it == end ? -1 : it - begin;
    }

    static int64_t remove(V *v, T value)
    {
        const int64_t i = find(v, value);
        if (i >= 0)
            erase(v, static_cast<uint64_t>(i));
        return i;
    }

    static uint64_t count(const V *v, T value)
    {
        return v == nullptr ? 0 : static_cast<uint64_t>(std::count(v->data, v->data + v->count, value));
    }

    static void release(V *v)
    {
        if (v == nullptr)
            return;
        os_free(v->data);
        os_free(v);
    }

    static void clear(V *v)
    {
        if (v == nullptr)
            return;
        memset(static_cast<void *>(v->data), 0, v->count * sizeof(T));
        v->count = 0;
    }

    static void sort_with(V *v, cmp_proc compare)
    {
        if (v != nullptr && compare != nullptr)
            arr_sort(v->data, v->count, sizeof(T), compare);
    }

    static int is_sorted(const V *v)
    {
        cmp_proc compare = sort_cmp<T>(false);
        if (v == nullptr || compare == nullptr)
            return 0;
        return arr_is_sorted(v->data, v->count, sizeof(T), compare);
    }

    static void reverse(V *v)
    {
        if (v != nullptr)
            std::reverse(v->data, v->data + v->count);
    }

    static void unique(V *v)
    {
        if (v == nullptr)
            return;
        T *end = std::unique(v->data, v->data + v->count);
        const auto kept = static_cast<uint64_t>(end - v->data);
        memset(static_cast<void *>(end), 0, (v->count - kept) * sizeof(T));
        v->count = kept;
    }

    static int64_t bsearch(const V *v, T value)
    {
        cmp_proc compare = find_cmp<T>();
        if (v == nullptr || compare == nullptr)
            return -1;
        return arr_bsearch(as_key(value), v->data, v->count, sizeof(T), compare);
    }

    static int get(const V *v, uint64_t index, T *out)
    {
        if (v == nullptr || out == nullptr || index >= v->count)
            return -1;
        *out = v->data[index];
        return 0;
    }
};

}  // namespace

#define VEC_DEFINE(name, T)                                                                             \
    name *name##_new(uint64_t capacity) { return ops<name>::make(capacity); }                           \
    int name##_push(name *v, T value) { return ops<name>::push(v, value); }                             \
    int name##_insert(name *v, uint64_t index, T value) { return ops<name>::insert(v, index, value); }  \
    int name##_erase(name *v, uint64_t index) { return ops<name>::erase(v, index); }                    \
    int name##_erase_range(name *v, uint64_t start, uint64_t n)                                         \
    {                                                                                                   \
        return ops<name>::erase_range(v, start, n);                                                     \
    }                                                                                                   \
    int64_t name##_remove(name *v, T value) { return ops<name>::remove(v, value); }                     \
    int64_t name##_find(const name *v, T value) { return ops<name>::find(v, value); }                   \
    uint64_t name##_count(const name *v, T value) { return ops<name>::count(v, value); }                \
    void name##_free(name *v) { ops<name>::release(v); }                                                \
    void name##_clear(name *v) { ops<name>::clear(v); }                                                 \
    void name##_sort(name *v, bool desc) { ops<name>::sort_with(v, sort_cmp<T>(desc)); }                \
    int name##_is_sorted(const name *v) { return ops<name>::is_sorted(v); }                             \
    void name##_reverse(name *v) { ops<name>::reverse(v); }                                             \
    void name##_unique(name *v) { ops<name>::unique(v); }                                               \
    int64_t name##_bsearch(const name *v, T value) { return ops<name>::bsearch(v, value); }             \
    int name##_get(const name *v, uint64_t index, T *out) { return ops<name>::get(v, index, out); }

VEC_DEFINE(vec_char, char)
VEC_DEFINE(vec_int, int)
VEC_DEFINE(vec_u16, uint16_t)
VEC_DEFINE(vec_u32, uint32_t)
VEC_DEFINE(vec_u64, uint64_t)
VEC_DEFINE(vec_ptr, void *)

void vec_ptr_sort2(vec_ptr *v, cmp_proc compare)
{
    ops<vec_ptr>::sort_with(v, compare);
}
