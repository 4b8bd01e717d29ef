// Strict packing of texts into a caller's block.
#include "libpal/memory/mem_add.h"

#include <cstdarg>
#include <cstring>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

int mem_add_str(void *dest, size_t room, const void *src, size_t len)
{
    const size_t blen = room;
    const size_t slen = len;
    PL_ASSERT_RET(slen <= blen, -1);
    if (slen > 0)
        memcpy(dest, src, slen);
    return static_cast<int>(slen);
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
