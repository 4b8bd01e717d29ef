// The text form of the digest contexts, shared by MD5, SHA-1, SHA-256,
// SHA-512 and SM3: every field of the context in its order, in lower-case
// hexadecimal without leading zeros ("%x"), separated by commas. A context is
// described by a table of its fields; reading a text back checks every field
// and the algorithm's own rules before anything reaches the context, so a
// refused text leaves the context as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// count fields of width bytes (1, 4 or 8) each, starting at offset.
struct hash_text_field {
    size_t offset;
    uint8_t width;
    uint16_t count;
};

// 0; -1 with the text emptied and logged when it does not fit in size.
int hash_ctx_text_get(const void *ctx, std::span<const hash_text_field> fields, char *text, size_t size);

// Fills every described field of ctx from text: 0, or -1 when the number of
// fields differs from the table's, or a field is empty, not hexadecimal or
// wider than its width. ctx may be partly written on failure.
int hash_ctx_text_read(const char *text, std::span<const hash_text_field> fields, void *ctx);

// Logs that a text's fields were read but break the algorithm's rules.
void hash_ctx_text_invalid();

// Reads text into a copy of the context, lets valid judge the copy, and only
// then stores it: 0, or -1 with ctx unchanged.
template <typename Ctx>
int hash_ctx_text_set(Ctx *ctx, const char *text, std::span<const hash_text_field> fields,
                      bool (*valid)(const Ctx &))
{
    if (ctx == nullptr || text == nullptr)
        return -1;
    Ctx next{};
    if (hash_ctx_text_read(text, fields, &next) != 0)
        return -1;
    if (!valid(next)) {
        hash_ctx_text_invalid();
        return -1;
    }
    *ctx = next;
    return 0;
}
