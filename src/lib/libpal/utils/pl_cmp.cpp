// Comparators per value type and the array algorithms built on them.
#include "libpal/utils/pl_cmp.h"

#include <cmath>
#include <cstring>

#include "libpal/basic/os_malloc.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

template <typename T>
int order(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

// A missing text sorts before every text instead of crashing strcmp.
int text_cmp(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return order(a != nullptr, b != nullptr);
    return strcmp(a, b);
}

template <typename T>
T value_of(const void *p)
{
    return static_cast<T>(reinterpret_cast<uintptr_t>(p));
}

template <typename T>
T elem_of(const void *p)
{
    T v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// The text of a record whose first field is a text pointer, reached from the
// address of the element that points to the record.
const char *record_text(const void *elem)
{
    const void *rec = elem_of<const void *>(elem);
    return rec != nullptr ? elem_of<const char *>(rec) : nullptr;
}

struct cmp_row {
    uint32_t code;
    cmp_proc proc;
};

constexpr cmp_row k_cmp_asc[] = {
    {VALUE_TYPE_STRING, cmp_str}, {VALUE_TYPE_PSTRING, cmp_pstr},
    {VALUE_TYPE_I8, cmp_i8},      {VALUE_TYPE_PI8, cmp_pi8},
    {VALUE_TYPE_INT, cmp_int},    {VALUE_TYPE_PINT, cmp_pint},
    {VALUE_TYPE_U64, cmp_u64},    {VALUE_TYPE_PU64, cmp_pu64},
    {VALUE_TYPE_UPTR, cmp_uptr},  {VALUE_TYPE_PUPTR, cmp_puptr},
};

constexpr cmp_row k_cmp_desc[] = {
    {VALUE_TYPE_STRING, cmp_str_desc}, {VALUE_TYPE_PSTRING, cmp_pstr_desc},
    {VALUE_TYPE_I8, cmp_i8_desc},      {VALUE_TYPE_PI8, cmp_pi8_desc},
    {VALUE_TYPE_INT, cmp_int_desc},    {VALUE_TYPE_PINT, cmp_pint_desc},
    {VALUE_TYPE_U64, cmp_u64_desc},    {VALUE_TYPE_PU64, cmp_pu64_desc},
    {VALUE_TYPE_UPTR, cmp_uptr_desc},  {VALUE_TYPE_PUPTR, cmp_puptr_desc},
};

// Searches of a value among elements.
constexpr cmp_row k_cmp_find[] = {
    {VALUE_TYPE_PSTRING, cmp2_pstr}, {VALUE_TYPE_PI8, cmp2_pi8},     {VALUE_TYPE_PINT, cmp2_pint},
    {VALUE_TYPE_PU64, cmp2_puint64}, {VALUE_TYPE_PUPTR, cmp2_puptr},
};

template <size_t N>
cmp_proc table_proc(const cmp_row (&tab)[N], uint32_t code)
{
    for (const cmp_row &row : tab) {
        if (row.code == code)
            return row.proc;
    }
    ZLOG_ERR("val_type=%d not support\n", static_cast<int>(code));
    assert_dump_stack();
    return nullptr;
}

void swap_bytes(unsigned char *a, unsigned char *b, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        unsigned char t = a[i];
        a[i] = b[i];
        b[i] = t;
    }
}

}  // namespace

int cmp_str(const void *a, const void *b) { return text_cmp(static_cast<const char *>(a), static_cast<const char *>(b)); }
int cmp_str_desc(const void *a, const void *b) { return -cmp_sign(cmp_str(a, b)); }
int cmp_pstr(const void *a, const void *b) { return text_cmp(elem_of<const char *>(a), elem_of<const char *>(b)); }
int cmp_pstr_desc(const void *a, const void *b) { return -cmp_sign(cmp_pstr(a, b)); }
int cmp_i8(const void *a, const void *b) { return order(value_of<int8_t>(a), value_of<int8_t>(b)); }
int cmp_i8_desc(const void *a, const void *b) { return -cmp_i8(a, b); }
int cmp_pi8(const void *a, const void *b) { return order(elem_of<int8_t>(a), elem_of<int8_t>(b)); }
int cmp_pi8_desc(const void *a, const void *b) { return -cmp_pi8(a, b); }
int cmp_int(const void *a, const void *b) { return order(value_of<int>(a), value_of<int>(b)); }
int cmp_int_desc(const void *a, const void *b) { return -cmp_int(a, b); }
int cmp_pint(const void *a, const void *b) { return order(elem_of<int>(a), elem_of<int>(b)); }
int cmp_pint_desc(const void *a, const void *b) { return -cmp_pint(a, b); }
int cmp_u64(const void *a, const void *b) { return order(value_of<uint64_t>(a), value_of<uint64_t>(b)); }
int cmp_u64_desc(const void *a, const void *b) { return -cmp_u64(a, b); }
int cmp_pu64(const void *a, const void *b) { return order(elem_of<uint64_t>(a), elem_of<uint64_t>(b)); }
int cmp_pu64_desc(const void *a, const void *b) { return -cmp_pu64(a, b); }
int cmp_uptr(const void *a, const void *b) { return order(value_of<uintptr_t>(a), value_of<uintptr_t>(b)); }
int cmp_uptr_desc(const void *a, const void *b) { return -cmp_uptr(a, b); }
int cmp_puptr(const void *a, const void *b) { return order(elem_of<uintptr_t>(a), elem_of<uintptr_t>(b)); }
int cmp_puptr_desc(const void *a, const void *b) { return -cmp_puptr(a, b); }
int cmp_i64(const void *a, const void *b) { return order(value_of<int64_t>(a), value_of<int64_t>(b)); }
int cmp_i64_desc(const void *a, const void *b) { return -cmp_i64(a, b); }
int cmp_pi64(const void *a, const void *b) { return order(elem_of<int64_t>(a), elem_of<int64_t>(b)); }
int cmp_pi64_desc(const void *a, const void *b) { return -cmp_pi64(a, b); }
int cmp_ppstr(const void *a, const void *b) { return text_cmp(record_text(a), record_text(b)); }
int cmp_ppstr_desc(const void *a, const void *b) { return -cmp_sign(cmp_ppstr(a, b)); }

// A total order: "not a number" below every number would make a sort depend
// on where the NaNs start, so they go last and equal each other.
int cmp_double(const void *a, const void *b)
{
    double x = elem_of<double>(a);
    double y = elem_of<double>(b);
    bool nx = std::isnan(x);
    bool ny = std::isnan(y);
    if (nx || ny)
        return order(nx, ny);
    return order(x, y);
}

int cmp2_pstr(const void *value, const void *elem) { return text_cmp(static_cast<const char *>(value), elem_of<const char *>(elem)); }
int cmp2_pi8(const void *value, const void *elem) { return order(value_of<int8_t>(value), elem_of<int8_t>(elem)); }
int cmp2_pint(const void *value, const void *elem) { return order(value_of<int>(value), elem_of<int>(elem)); }
int cmp2_puptr(const void *value, const void *elem) { return order(value_of<uintptr_t>(value), elem_of<uintptr_t>(elem)); }
int cmp2_pi64(const void *value, const void *elem) { return order(value_of<int64_t>(value), elem_of<int64_t>(elem)); }
int cmp2_ppstr(const void *value, const void *elem) { return text_cmp(static_cast<const char *>(value), record_text(elem)); }

int cmp2_puint64(const void *value, const void *elem)
{
    uint64_t a = value_of<uint64_t>(value);
    uint64_t b = elem_of<uint64_t>(elem);
    ZLOG_DBG("a=%llu b=%llu", static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    return order(a, b);
}

cmp_proc cmp_val_get_proc(uint32_t code, bool desc)
{
    return desc ? table_proc(k_cmp_desc, code) : table_proc(k_cmp_asc, code);
}

cmp_proc cmp_array_get_proc(uint32_t mode, cmp_proc given, bool desc)
{
    if (given != nullptr)
        return given;
    if (mode & (CMP_MODE_STR | CMP_MODE_STR2))
        return desc ? cmp_pstr_desc : cmp_pstr;
    if (mode & CMP_MODE_UPTR)
        return desc ? cmp_puptr_desc : cmp_puptr;
    if (mode & CMP_MODE_PPSTR)
        return desc ? cmp_ppstr_desc : cmp_ppstr;
    ZLOG_ERR("mode=0x%x not support\n", mode);
    assert_dump_stack();
    return nullptr;
}

cmp_proc cmp_get_proc(uint32_t mode, cmp_proc given)
{
    if (given != nullptr)
        return given;
    if (mode & (CMP_MODE_STR | CMP_MODE_STR2))
        return cmp_str;
    return cmp_u64;
}

cmp_proc cmp2_val_get_find_proc(uint32_t code)
{
    return table_proc(k_cmp_find, code);
}

int cmp_sign(int64_t x)
{
    return order<int64_t>(x, 0);
}

int arr_cmp_adapter(const void *a, const void *b, void *ctx)
{
    return (*static_cast<const cmp_proc *>(ctx))(a, b);
}

int64_t arr_bsearch_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                        void *ctx)
{
    const auto *start = static_cast<const unsigned char *>(base);
    size_t lo = 0;
    size_t n = count;
    while (n > 0) {
        size_t mid = lo + n / 2;
        int c = compare(key, start + mid * size, ctx);
        if (c == 0)
            return static_cast<int64_t>(mid);
        if (c < 0) {
            n = n / 2;
        } else {
            lo = mid + 1;
            n = n - n / 2 - 1;
        }
    }
    return -1;
}

int64_t arr_find_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                     void *ctx)
{
    const auto *start = static_cast<const unsigned char *>(base);
    for (size_t i = 0; i < count; i++) {
        if (compare(key, start + i * size, ctx) == 0)
            return static_cast<int64_t>(i);
    }
    return -1;
}

size_t arr_count_imp(const void *key, const void *base, size_t count, size_t size, cmp3_proc compare,
                     void *ctx)
{
    const auto *start = static_cast<const unsigned char *>(base);
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        if (compare(key, start + i * size, ctx) == 0)
            n++;
    }
    return n;
}

int64_t arr_bsearch(const void *key, const void *base, size_t count, size_t size, cmp_proc compare)
{
    return arr_bsearch_imp(key, base, count, size, arr_cmp_adapter, &compare);
}

int64_t arr_find(const void *key, const void *base, size_t count, size_t size, cmp_proc compare)
{
    return arr_find_imp(key, base, count, size, arr_cmp_adapter, &compare);
}

size_t arr_count(const void *key, const void *base, size_t count, size_t size, cmp_proc compare)
{
    return arr_count_imp(key, base, count, size, arr_cmp_adapter, &compare);
}

// Quicksort down to parts of 4 elements, then one insertion sort. Every scan
// is bounded by its part, so a comparator that is not a consistent order
// (NaN, a faulty callback) leaves the array permuted but never runs outside it.
void arr_qsort_r(void *base, size_t count, size_t size, cmp3_proc compare, void *ctx)
{
    if (count < 2 || size == 0)
        return;
    auto *a = static_cast<unsigned char *>(base);
    auto at = [&](size_t i) { return a + i * size; };
    auto cmp = [&](size_t i, size_t j) { return compare(at(i), at(j), ctx); };
    auto swap = [&](size_t i, size_t j) {
        if (i != j)
            swap_bytes(at(i), at(j), size);
    };
    constexpr size_t k_small = 4;

    if (count > k_small) {
        struct part {
            size_t lo, hi;
        };
        part stack[64];
        size_t top = 0;
        size_t lo = 0;
        size_t hi = count - 1;
        for (;;) {
            size_t mid = lo + (hi - lo) / 2;
            if (cmp(mid, lo) < 0)
                swap(mid, lo);
            if (cmp(hi, mid) < 0) {
                swap(hi, mid);
                if (cmp(mid, lo) < 0)
                    swap(mid, lo);
            }
            size_t pivot = mid;
            size_t l = lo + 1;
            size_t r = hi - 1;
            do {
                while (l < hi && cmp(l, pivot) < 0)
                    l++;
                while (r > lo && cmp(pivot, r) < 0)
                    r--;
                if (l < r) {
                    swap(l, r);
                    if (pivot == l)
                        pivot = r;
                    else if (pivot == r)
                        pivot = l;
                    l++;
                    r--;
                } else if (l == r) {
                    l++;
                    r--;
                    break;
                }
            } while (l <= r);

            // [lo, r] and [l, hi], each smaller than [lo, hi].
            size_t left_n = r >= lo ? r - lo + 1 : 0;
            size_t right_n = hi >= l ? hi - l + 1 : 0;
            bool left_big = left_n > k_small;
            bool right_big = right_n > k_small;
            if (left_big && right_big) {
                // The smaller part goes first, so the stack holds at most log2(count) entries.
                if (left_n > right_n) {
                    stack[top++] = {lo, r};
                    lo = l;
                } else {
                    stack[top++] = {l, hi};
                    hi = r;
                }
            } else if (left_big) {
                hi = r;
            } else if (right_big) {
                lo = l;
            } else if (top > 0) {
                top--;
                lo = stack[top].lo;
                hi = stack[top].hi;
            } else {
                break;
            }
        }
    }

    // The smallest of the first elements as a sentinel at the front.
    size_t first = count < 5 ? count : 5;
    size_t min = 0;
    for (size_t i = 1; i < first; i++) {
        if (cmp(i, min) < 0)
            min = i;
    }
    swap(0, min);
    for (size_t i = 1; i < count; i++) {
        for (size_t j = i; j > 0 && cmp(j - 1, j) > 0; j--)
            swap(j - 1, j);
    }
}

void arr_sort_r(void *base, size_t count, size_t size, cmp3_proc compare, void *ctx)
{
    arr_qsort_r(base, count, size, compare, ctx);
}

void arr_sort(void *base, size_t count, size_t size, cmp_proc compare)
{
    arr_qsort_r(base, count, size, arr_cmp_adapter, &compare);
}

void arr_bubble_sort(void *base, size_t count, size_t size, cmp_proc compare)
{
    auto *a = static_cast<unsigned char *>(base);
    size_t end = count;
    while (end > 1) {
        size_t last = 0;
        for (size_t i = 1; i < end; i++) {
            if (compare(a + (i - 1) * size, a + i * size) > 0) {
                swap_bytes(a + (i - 1) * size, a + i * size, size);
                last = i;
            }
        }
        end = last;
    }
}

int arr_is_sorted(const void *base, size_t count, size_t size, cmp_proc compare)
{
    const auto *a = static_cast<const unsigned char *>(base);
    bool up = false;
    bool down = false;
    for (size_t i = 1; i < count; i++) {
        int c = compare(a + (i - 1) * size, a + i * size);
        up = up || c < 0;
        down = down || c > 0;
    }
    if (up && down)
        return 0;
    if (up)
        return 2;
    return down ? 3 : 1;
}

size_t arr_unique(void *base, size_t count, size_t size, cmp_proc compare)
{
    if (count == 0)
        return 0;
    auto *a = static_cast<unsigned char *>(base);
    size_t k = 1;
    for (size_t i = 1; i < count; i++) {
        if (compare(a + (k - 1) * size, a + i * size) != 0) {
            if (k != i)
                swap_bytes(a + k * size, a + i * size, size);
            k++;
        }
    }
    return k;
}

bool arr_is_unique(const void *base, size_t count, size_t size, cmp_proc compare)
{
    if (count < 2)
        return true;
    const auto *a = static_cast<const unsigned char *>(base);
    auto *copy = static_cast<unsigned char *>(os_malloc(count * size));
    if (copy == nullptr) {
        // No room for a sorted copy: compare every pair instead.
        for (size_t i = 0; i < count; i++) {
            for (size_t j = i + 1; j < count; j++) {
                if (compare(a + i * size, a + j * size) == 0)
                    return false;
            }
        }
        return true;
    }
    memcpy(copy, a, count * size);
    arr_sort(copy, count, size, compare);
    bool unique = true;
    for (size_t i = 1; i < count && unique; i++)
        unique = compare(copy + (i - 1) * size, copy + i * size) != 0;
    os_free(copy);
    return unique;
}

int64_t arr_find_int(const int *arr, size_t count, int value)
{
    for (size_t i = 0; i < count; i++) {
        if (arr[i] == value)
            return static_cast<int64_t>(i);
    }
    return -1;
}
