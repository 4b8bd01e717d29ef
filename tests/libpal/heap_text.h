// Test helper: an exact heap copy of a text (its size, or a larger buffer),
// so that the address sanitizer sees any access past it.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

struct heap_text {
    std::unique_ptr<char[]> mem;
    explicit heap_text(const std::string &s, size_t size = 0) : mem(new char[std::max(size, s.size() + 1)])
    {
        memcpy(mem.get(), s.c_str(), s.size() + 1);
    }
    char *get() { return mem.get(); }
};
