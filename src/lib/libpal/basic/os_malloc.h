// Allocation: every block of the system comes from three replaceable hook
// slots, so a host can substitute its allocator once, before anything is
// allocated. The default hooks log a failure (size and stack) and return
// nullptr; callers test the result. Blocks are released with os_free
// (aligned blocks with os_free_align).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

using pl_malloc_proc  = void *(*)(size_t size);
using pl_realloc_proc = void *(*)(void *ptr, size_t size);
using pl_free_proc    = void (*)(void *ptr);
// An allocator that takes a context first (os_vasprintf_imp's allocator).
using pl_malloc_ctx_proc = void *(*)(void *ctx, size_t size);

extern pl_malloc_proc  g_malloc_proc;
extern pl_realloc_proc g_realloc_proc;
extern pl_free_proc    g_free_proc;

// Replaces all three slots; a missing hook changes none of them.
void pl_malloc_init(pl_malloc_proc m, pl_realloc_proc r, pl_free_proc f);

void *os_malloc(size_t size);
void *os_realloc(void *ptr, size_t size);
void  os_free(void *ptr);
void *os_zalloc(size_t size);
// Refuses (nullptr) when count * size does not fit in 32 bits.
void *os_calloc(uint32_t count, uint32_t size);
// Logs that the added space is not zeroed, then reallocates.
void *os_realloc0(void *ptr, size_t size);
void *os_memdup(const void *src, size_t size);

char  *os_strdup(const char *text);
char  *os_strdup_empty();
size_t os_strnlen(const char *text, size_t maximum);
char  *os_strndup(const char *text, size_t n);

int os_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));
// Formats into a new block from alloc(alloc_ctx, size), or from os_malloc
// when alloc is nullptr. Returns the length without the NUL, or -1 with
// *result nullptr.
int os_vasprintf_imp(char **result, const char *fmt, va_list ap, pl_malloc_ctx_proc alloc, void *alloc_ctx)
    __attribute__((format(printf, 2, 0)));
int os_vasprintf(char **result, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int os_asprintf(char **result, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Aligned blocks: the word before the block holds the underlying allocation.
// Requires: align is a power of two (any other align gives nullptr).
void *os_malloc_align(size_t size, size_t align);
void *os_zalloc_align(size_t size, size_t align);
void  os_free_align(void *ptr);

// The allocation layer's exit, last step of pl_exit: closes the default log context.
bool os_malloc_exit();
