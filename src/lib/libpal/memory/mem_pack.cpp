// Packing of texts and buffers into a caller's block.
#include "libpal/memory/mem_pack.h"

#include <cstdarg>
#include <cstring>

#include "libpal/basic/os_malloc.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// Copies what fits of len bytes; a piece that reaches the end of the room
// gets a NUL in the room's last byte. Returns the bytes now used.
size_t cat_piece(char *out, size_t room, size_t used, const void *src, size_t len)
{
    const size_t left = room - used;
    if (len < left) {
        memcpy(out + used, src, len);
        return used + len;
    }
    memcpy(out + used, src, left);
    out[room - 1] = '\0';
    return room;
}

}  // namespace

int mem_add_str(void *dest, size_t room, const void *src, size_t len)
{
    PL_ASSERT_TEXT_RET(len <= room, "slen <= blen", -1);
    if (len > 0)
        memcpy(dest, src, len);
    return static_cast<int>(len);
}

int mem_add_strs(void *dest, size_t room, ...)
{
    auto *out = static_cast<char *>(dest);
    size_t used = 0;
    va_list ap;
    va_start(ap, room);
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *)) {
        const int n = mem_add_str(out + used, room - used, s, strlen(s) + 1);
        if (n < 0) {
            va_end(ap);
            return -1;
        }
        used += static_cast<size_t>(n);
    }
    va_end(ap);
    return static_cast<int>(used);
}

int mem_cat_strs(void *dest, size_t room, ...)
{
    auto *out = static_cast<char *>(dest);
    size_t used = 0;
    va_list ap;
    va_start(ap, room);
    for (const char *s = va_arg(ap, const char *); s != nullptr && used < room; s = va_arg(ap, const char *))
        used = cat_piece(out, room, used, s, strlen(s) + 1);
    va_end(ap);
    return static_cast<int>(used);
}

int mem_add_bufs(void *dest, size_t room, const mem_pair *pairs, size_t n)
{
    auto *out = static_cast<char *>(dest);
    size_t used = 0;
    for (size_t i = 0; i < n; i++) {
        const int k = mem_add_str(out + used, room - used, pairs[i].ptr, pairs[i].len);
        if (k < 0)
            return -1;
        used += static_cast<size_t>(k);
    }
    return static_cast<int>(used);
}

int mem_cat_bufs(void *dest, size_t room, const mem_pair *pairs, size_t n)
{
    auto *out = static_cast<char *>(dest);
    size_t used = 0;
    for (size_t i = 0; i < n && used < room; i++)
        used = cat_piece(out, room, used, pairs[i].ptr, pairs[i].len);
    return static_cast<int>(used);
}

char *mem_strs_pack(size_t *total, ...)
{
    size_t size = 0;
    va_list ap;
    va_start(ap, total);
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *))
        size += strlen(s) + 1;
    va_end(ap);
    auto *block = static_cast<char *>(os_malloc(size > 0 ? size : 1));
    if (block == nullptr)
        return nullptr;
    size_t at = 0;
    va_start(ap, total);
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *)) {
        const size_t len = strlen(s) + 1;
        memcpy(block + at, s, len);
        at += len;
    }
    va_end(ap);
    if (total != nullptr)
        *total = size;
    return block;
}
