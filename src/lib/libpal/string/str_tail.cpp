// Recent lines.
#include "libpal/string/str_tail.h"

#include <cstring>

void str_tail_init(str_tail *tail, char *buf, size_t size)
{
    tail->buf  = buf;
    tail->size = size;
    tail->len  = 0;
    if (buf != nullptr && size > 0) {
        buf[0] = '\0';
    }
}

void str_tail_add(str_tail *tail, const char *text)
{
    if (tail == nullptr || tail->buf == nullptr || tail->size == 0 || text == nullptr) {
        return;
    }
    size_t tlen = strlen(text);
    if (tlen + 1 > tail->size) {
        return;
    }
    size_t drop = 0;
    if (tail->len + tlen + 1 > tail->size) {
        // Drop the fewest whole leading lines that make room; without enough
        // whole lines the new text is not kept and the tail stays as it was.
        size_t need = tail->len + tlen + 1 - tail->size;
        while (drop < need) {
            const void *lf = memchr(tail->buf + drop, '\n', tail->len - drop);
            if (lf == nullptr) {
                return;
            }
            drop = static_cast<size_t>(static_cast<const char *>(lf) - tail->buf) + 1;
        }
        memmove(tail->buf, tail->buf + drop, tail->len - drop);
        tail->len -= drop;
    }
    memcpy(tail->buf + tail->len, text, tlen + 1);
    tail->len += tlen;
}
