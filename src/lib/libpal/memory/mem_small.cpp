// Small memory helpers. mem_ptr runs the pointer family of the typed arrays
// on a view of its first three fields, which have that family's layout.
#include "libpal/memory/mem_small.h"

#include <cstdarg>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/utils/vec.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr uint64_t k_buf_step = 4096;
constexpr uint64_t k_ptr_capacity = 16;

// A typed-array view of a pointer array, written back when it goes.
class ptr_view {
public:
    explicit ptr_view(mem_ptr *m) : m_(m), v_{m->items, m->count, m->capacity} {}
    ~ptr_view()
    {
        m_->items = v_.data;
        m_->count = v_.count;
        m_->capacity = v_.capacity;
    }
    ptr_view(const ptr_view &) = delete;
    ptr_view &operator=(const ptr_view &) = delete;
    vec_ptr *get() { return &v_; }

private:
    mem_ptr *m_;
    vec_ptr v_;
};

vec_ptr const_view(const mem_ptr *m)
{
    return vec_ptr{m->items, m->count, m->capacity};
}

// The entries' block for capacity n: n + 1 pointers; 0 when that overflows.
size_t ptr_block_bytes(uint64_t n)
{
    if (n >= SIZE_MAX / sizeof(void *) - 1)
        return 0;
    return static_cast<size_t>(n + 1) * sizeof(void *);
}

uint16_t bswap(uint16_t v)
{
    return __builtin_bswap16(v);
}

uint32_t bswap(uint32_t v)
{
    return __builtin_bswap32(v);
}

uint64_t bswap(uint64_t v)
{
    return __builtin_bswap64(v);
}

template <typename T>
T load(int swap, const void *base, size_t offset)
{
    T v;
    memcpy(&v, static_cast<const uint8_t *>(base) + offset, sizeof(v));
    return swap != 0 ? bswap(v) : v;
}

template <typename T>
void store(int swap, void *base, size_t offset, T value)
{
    if (swap == 1)
        value = bswap(value);
    memcpy(static_cast<uint8_t *>(base) + offset, &value, sizeof(value));
}

}  // namespace

void *mem_malloc_multi(size_t size0, ...)
{
    // Two passes over the arguments: the sum, then the parts' addresses.
    uint64_t total = size0;
    va_list ap;
    va_start(ap, size0);
    for (void **p = va_arg(ap, void **); p != nullptr; p = va_arg(ap, void **)) {
        total += va_arg(ap, size_t);
        if (total > UINT32_MAX)
            break;
    }
    va_end(ap);
    if (total > UINT32_MAX)
        return nullptr;
    auto *block = static_cast<uint8_t *>(os_calloc(1, static_cast<uint32_t>(total)));
    if (block == nullptr)
        return nullptr;
    size_t at = size0;
    va_start(ap, size0);
    for (void **p = va_arg(ap, void **); p != nullptr; p = va_arg(ap, void **)) {
        *p = block + at;
        at += va_arg(ap, size_t);
    }
    va_end(ap);
    return block;
}

int mem_buf_init(mem_buf *buf, uint64_t capacity)
{
    *buf = mem_buf{};
    return mem_buf_reserve(buf, capacity);
}

int mem_buf_reserve(mem_buf *buf, uint64_t need)
{
    if (need <= buf->capacity)
        return 0;
    if (need > SIZE_MAX - k_buf_step)
        return -1;
    const uint64_t cap = (need + k_buf_step - 1) / k_buf_step * k_buf_step;
    auto *data = static_cast<uint8_t *>(os_realloc(buf->data, cap));
    if (data == nullptr)
        return -1;
    buf->data = data;
    buf->capacity = cap;
    return 0;
}

int mem_buf_append(mem_buf *buf, const void *data, uint64_t n)
{
    // Doubling the need must not wrap.
    if (n > SIZE_MAX / 4 || buf->length > SIZE_MAX / 4)
        return -1;
    const uint64_t need = buf->length + n + 1;
    if (need > buf->capacity && mem_buf_reserve(buf, 2 * need) != 0)
        return -1;
    if (n > 0)
        memcpy(buf->data + buf->length, data, n);
    buf->length += n;
    return 0;
}

int mem_buf_set_len(mem_buf *buf, uint64_t length)
{
    if (mem_buf_reserve(buf, length) != 0)
        return -1;
    buf->length = length;
    return 0;
}

int mem_buf_reset(mem_buf *buf)
{
    buf->length = 0;
    return 0;
}

int mem_ptr_init(mem_ptr *ctx)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr, "ctx!=NULL", -1);
    ctx->items = static_cast<void **>(os_zalloc(ptr_block_bytes(k_ptr_capacity)));
    ctx->count = 0;
    ctx->capacity = ctx->items != nullptr ? k_ptr_capacity : 0;
    return ctx->items != nullptr ? 0 : -1;
}

int mem_ptr_exit(mem_ptr *ctx)
{
    os_free(ctx->items);
    ctx->items = nullptr;
    ctx->count = 0;
    ctx->capacity = 0;
    return 0;
}

int mem_ptr_exit(mem_buf *buf)
{
    os_free(buf->data);
    *buf = mem_buf{};
    return 0;
}

int mem_ptr_release(mem_ptr *ctx)
{
    // The entries are gone: nothing may still point at them.
    return mem_ptr_exit(ctx);
}

int mem_ptr_reset(mem_ptr *ctx)
{
    mem_ptr_release(ctx);
    return mem_ptr_init(ctx);
}

int mem_ptr_add(mem_ptr *ctx, void *ptr)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr, "ctx!=NULL", -1);
    if ((ctx->flags & MEM_PTR_F_UNIQUE) && mem_ptr_find(ctx, ptr) >= 0)
        return 0;
    ptr_view v(ctx);
    return vec_ptr_push(v.get(), ptr);
}

int64_t mem_ptr_find(const mem_ptr *ctx, const void *ptr)
{
    const vec_ptr v = const_view(ctx);
    return vec_ptr_find(&v, const_cast<void *>(ptr));
}

int mem_ptr_del_at(mem_ptr *ctx, uint64_t index)
{
    if (index >= ctx->count)
        return -1;
    ptr_view v(ctx);
    return vec_ptr_erase(v.get(), index);
}

int64_t mem_ptr_remove(mem_ptr *ctx, const void *ptr)
{
    ptr_view v(ctx);
    return vec_ptr_remove(v.get(), const_cast<void *>(ptr));
}

int mem_ptr_del_head(mem_ptr *ctx, uint64_t n)
{
    ptr_view v(ctx);
    return vec_ptr_erase_range(v.get(), 0, n);
}

int mem_ptr_clear(mem_ptr *ctx)
{
    if (ctx->items != nullptr)
        memset(static_cast<void *>(ctx->items), 0, ptr_block_bytes(ctx->capacity));
    ctx->count = 0;
    return 0;
}

int mem_ptr_reserve(mem_ptr *ctx, uint64_t n)
{
    if (ctx->capacity >= n)
        return -1;
    const size_t bytes = ptr_block_bytes(n);
    if (bytes == 0)
        return -1;
    auto *items = static_cast<void **>(os_realloc(ctx->items, bytes));
    if (items == nullptr)
        return -1;
    // A released array has no block: its one terminator is new as well.
    const uint64_t keep = ctx->items != nullptr ? ctx->capacity + 1 : 0;
    memset(static_cast<void *>(items + keep), 0, bytes - keep * sizeof(void *));
    ctx->items = items;
    ctx->capacity = n;
    return 0;
}

uint16_t mem_get_u16(int swap, const void *base, size_t offset)
{
    return load<uint16_t>(swap, base, offset);
}

uint32_t mem_get_u32(int swap, const void *base, size_t offset)
{
    return load<uint32_t>(swap, base, offset);
}

uint64_t mem_get_u64(int swap, const void *base, size_t offset)
{
    return load<uint64_t>(swap, base, offset);
}

void mem_set_u16(int swap, void *base, size_t offset, uint16_t value)
{
    store(swap, base, offset, value);
}

void mem_set_u32(int swap, void *base, size_t offset, uint32_t value)
{
    store(swap, base, offset, value);
}

void mem_set_u64(int swap, void *base, size_t offset, uint64_t value)
{
    store(swap, base, offset, value);
}
