#define ZLOG_TAG "pal"
#include "libpal/basic/os_malloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/env/pl_assert.h"

namespace {

void *_malloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr) {
        ZLOG_ERR("size=%zu malloc failed\n", size);
        assert_dump_stack();
    }
    return p;
}

void *_realloc(void *ptr, size_t size)
{
    // glibc frees the block for size 0 and may return nullptr; callers expect
    // the old block to stay valid, as a size-0 request does elsewhere.
    void *p = realloc(ptr, size == 0 ? 1 : size);
    if (p == nullptr) {
        ZLOG_ERR("ptr=%p size=%zu realloc failed\n", ptr, size);
        assert_dump_stack();
    }
    return p;
}

void _free(void *ptr)
{
    free(ptr);
}

}  // namespace

pl_malloc_proc  g_malloc_proc  = _malloc;
pl_realloc_proc g_realloc_proc = _realloc;
pl_free_proc    g_free_proc    = _free;

void pl_malloc_init(pl_malloc_proc m, pl_realloc_proc r, pl_free_proc f)
{
    PL_ASSERT_TEXT_RET_VOID(m != nullptr, "m!=NULL");
    PL_ASSERT_TEXT_RET_VOID(r != nullptr, "r!=NULL");
    PL_ASSERT_TEXT_RET_VOID(f != nullptr, "f!=NULL");
    g_malloc_proc  = m;
    g_realloc_proc = r;
    g_free_proc    = f;
}

void *os_malloc(size_t size)
{
    return g_malloc_proc(size);
}

void *os_realloc(void *ptr, size_t size)
{
    return g_realloc_proc(ptr, size);
}

void os_free(void *ptr)
{
    g_free_proc(ptr);
}

void *os_zalloc(size_t size)
{
    void *p = os_malloc(size);
    if (p != nullptr) {
        memset(p, 0, size);
    }
    return p;
}

void *os_calloc(uint32_t count, uint32_t size)
{
    uint64_t total = uint64_t{count} * size;
    PL_ASSERT_RET(total<=UINT32_MAX, nullptr);
    return os_zalloc(static_cast<size_t>(total));
}

void *os_realloc0(void *ptr, size_t size)
{
    ZLOG_ERR("_realloc not support extend mem clear 0");
    return g_realloc_proc(ptr, size);
}

void *os_memdup(const void *src, size_t size)
{
    if (src == nullptr) {
        return nullptr;
    }
    void *p = os_malloc(size);
    if (p != nullptr) {
        memcpy(p, src, size);
    }
    return p;
}

char *os_strdup(const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return static_cast<char *>(os_memdup(text, strlen(text) + 1));
}

char *os_strdup_empty()
{
    return os_strdup("");
}

size_t os_strnlen(const char *text, size_t maximum)
{
    const void *nul = memchr(text, 0, maximum);
    return nul == nullptr ? maximum : static_cast<size_t>(static_cast<const char *>(nul) - text);
}

char *os_strndup(const char *text, size_t n)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t len = os_strnlen(text, n);
    char  *p   = static_cast<char *>(os_malloc(len + 1));
    if (p != nullptr) {
        memcpy(p, text, len);
        p[len] = '\0';
    }
    return p;
}

int os_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
{
    return vsnprintf(buf, size, fmt, ap);
}

int os_vasprintf_imp(char **result, const char *fmt, va_list ap, pl_malloc_ctx_proc alloc, void *alloc_ctx)
{
    *result = nullptr;
    va_list ap2;
    va_copy(ap2, ap);
    int len = vsnprintf(nullptr, 0, fmt, ap);
    if (len < 0) {
        va_end(ap2);
        ZLOG_ERR("fmt=%s vsnprintf failed\n", fmt);
        assert_dump_stack();
        return -1;
    }
    size_t size = static_cast<size_t>(len) + 1;
    // The allocator is called only through its own type: one that takes a
    // context gets it, also when it is nullptr.
    char *p = static_cast<char *>(alloc != nullptr ? alloc(alloc_ctx, size) : os_malloc(size));
    if (p == nullptr) {
        va_end(ap2);
        return -1;
    }
    int n = vsnprintf(p, size, fmt, ap2);
    va_end(ap2);
    if (n < 0) {
        ZLOG_ERR("fmt=%s vsnprintf failed\n", fmt);
        assert_dump_stack();
        // The block came from the caller's allocator; only ours can be released here.
        if (alloc == nullptr) {
            os_free(p);
        }
        return -1;
    }
    *result = p;
    return n;
}

int os_vasprintf(char **result, const char *fmt, va_list ap)
{
    return os_vasprintf_imp(result, fmt, ap, nullptr, nullptr);
}

int os_asprintf(char **result, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = os_vasprintf(result, fmt, ap);
    va_end(ap);
    return n;
}

void *os_malloc_align(size_t size, size_t align)
{
    // The rounding mask is only right for a power of two: 0 would round the
    // block down to address 0 and write the raw address below it.
    PL_ASSERT_RET(align!=0 && (align&(align-1))==0, nullptr);
    if (size > SIZE_MAX - align - 7) {
        return nullptr;
    }
    // Room for the rounding and for the word that records the raw address.
    char *raw = static_cast<char *>(os_malloc(size + align + 7));
    if (raw == nullptr) {
        return nullptr;
    }
    uintptr_t addr = (reinterpret_cast<uintptr_t>(raw) + align + 7) & ~(uintptr_t{align} - 1);
    char     *p    = reinterpret_cast<char *>(addr);
    memcpy(p - sizeof(uint64_t), &raw, sizeof(raw));
    return p;
}

void *os_zalloc_align(size_t size, size_t align)
{
    void *p = os_malloc_align(size, align);
    if (p != nullptr) {
        memset(p, 0, size);
    }
    return p;
}

void os_free_align(void *ptr)
{
    if (ptr == nullptr) {
        return;
    }
    void *raw;
    memcpy(&raw, static_cast<char *>(ptr) - sizeof(uint64_t), sizeof(raw));
    os_free(raw);
}

bool os_malloc_exit()
{
    log2_exit(nullptr);
    return true;
}
