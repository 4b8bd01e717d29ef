// Memory search. Exact patterns use the quick search (a shift table of the
// byte just past the window); masked patterns try every start position.
#include "libpal/memory/mem_find.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_hex.h"

namespace {

// Requires: 0 < len <= size.
const void *mem_find_imp(const uint8_t *mem, size_t size, const uint8_t *pattern, size_t len)
{
    std::array<size_t, 256> shift{};
    shift.fill(len + 1);
    // The last occurrence of a byte in the pattern sets its shift.
    for (size_t i = 0; i < len; i++)
        shift[pattern[i]] = len - i;
    for (size_t p = 0; p + len <= size;) {
        if (memcmp(mem + p, pattern, len) == 0)
            return mem + p;
        if (p + len >= size)
            break;
        p += shift[mem[p + len]];
    }
    return nullptr;
}

bool masked_equal(const uint8_t *at, const uint8_t *pattern, size_t len, const char *mask)
{
    for (size_t i = 0; i < len; i++) {
        if (at[i] != pattern[i] && (mask == nullptr || mask[i] != '?'))
            return false;
    }
    return true;
}

}  // namespace

const void *mem_find(const void *mem, size_t size, const void *pattern, size_t len)
{
    if (mem == nullptr || pattern == nullptr || len == 0 || len > size)
        return nullptr;
    return mem_find_imp(static_cast<const uint8_t *>(mem), size, static_cast<const uint8_t *>(pattern), len);
}

const void *mem_find_str(const void *mem, size_t size, const char *text)
{
    return text == nullptr ? nullptr : mem_find(mem, size, text, strlen(text));
}

const void *mem_find_mask(const void *mem, size_t size, const void *pattern, size_t len, const char *mask)
{
    if (mem == nullptr || pattern == nullptr || len == 0 || len > size)
        return nullptr;
    if (mask != nullptr && strnlen(mask, len) < len)
        return nullptr;
    const auto *m = static_cast<const uint8_t *>(mem);
    for (size_t p = 0; p + len <= size; p++) {
        if (masked_equal(m + p, static_cast<const uint8_t *>(pattern), len, mask))
            return m + p;
    }
    return nullptr;
}

const void *mem_find_linear(const void *mem, size_t size, const void *pattern, size_t len)
{
    return mem_find_mask(mem, size, pattern, len, nullptr);
}

const void *mem_find_pattern(const void *mem, size_t size, const char *pattern)
{
    if (pattern == nullptr)
        return nullptr;
    if (strchr(pattern, '?') == nullptr) {
        size_t len = 0;
        pl_owned<void, os_free> bytes(str_hex_decode_dup(pattern, &len));
        return bytes ? mem_find(mem, size, bytes.get(), len) : nullptr;
    }
    uint8_t *raw_bytes = nullptr;
    char *raw_mask = nullptr;
    int count = 0;
    const int n = str_hex_pattern_decode_dup(pattern, &raw_bytes, &count, &raw_mask);
    pl_owned<uint8_t, os_free> bytes(raw_bytes);
    pl_owned<char, os_free> mask(raw_mask);
    if (n < 1)
        return nullptr;
    return mem_find_mask(mem, size, bytes.get(), static_cast<size_t>(count), mask.get());
}
