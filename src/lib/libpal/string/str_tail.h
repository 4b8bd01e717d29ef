// Recent lines: a caller's buffer that keeps the most recent whole lines
// (the logger's recent-lines view). Nothing here locks.
#pragma once

#include <cstddef>

struct str_tail {
    char *buf;
    size_t size;
    size_t len;
};
void str_tail_init(str_tail *tail, char *buf, size_t size);
// Appends text after dropping the fewest leading whole lines that make room;
// a text that cannot fit after dropping every whole line is not added.
void str_tail_add(str_tail *tail, const char *text);
