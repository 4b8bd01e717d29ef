// Context texts: written with one bounded pass of to_chars, read field by
// field with every field's width and digits checked.
#include "libpal/hash/hash_ctx_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

namespace {

// The longest text of any context (SHA-512's 553 characters) with room to spare.
constexpr size_t k_text_max = 640;

uint64_t field_load(const uint8_t *p, uint8_t width)
{
    switch (width) {
    case 1:
        return *p;
    case 4: {
        uint32_t v;
        memcpy(&v, p, sizeof(v));
        return v;
    }
    default: {
        uint64_t v;
        memcpy(&v, p, sizeof(v));
        return v;
    }
    }
}

void field_store(uint8_t *p, uint8_t width, uint64_t v)
{
    switch (width) {
    case 1:
        *p = static_cast<uint8_t>(v);
        break;
    case 4: {
        const auto w = static_cast<uint32_t>(v);
        memcpy(p, &w, sizeof(w));
        break;
    }
    default:
        memcpy(p, &v, sizeof(v));
        break;
    }
}

size_t field_total(std::span<const hash_text_field> fields)
{
    size_t n = 0;
    for (const hash_text_field &f : fields)
        n += f.count;
    return n;
}

// One field: 1 to 2*width hexadecimal digits, nothing else.
bool field_parse(std::string_view s, uint8_t width, uint64_t *out)
{
    if (s.empty() || s.size() > 2u * width)
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, 16);
    return ec == std::errc{} && end == s.data() + s.size();
}

}  // namespace

int hash_ctx_text_get(const void *ctx, std::span<const hash_text_field> fields, char *text, size_t size)
{
    std::array<char, k_text_max> buf;
    char *p = buf.data();
    char *const end = buf.data() + buf.size();
    const auto *base = static_cast<const uint8_t *>(ctx);
    for (const hash_text_field &f : fields) {
        for (uint16_t i = 0; i < f.count; i++) {
            const uint64_t v = field_load(base + f.offset + size_t{i} * f.width, f.width);
            const auto r = std::to_chars(p, end, v, 16);
            if (r.ec != std::errc{} || r.ptr == end)
                return -1;
            p = r.ptr;
            *p++ = ',';
        }
    }
    p[-1] = '\0';  // the comma after the last field
    // The strict copy empties the text and logs when it does not fit.
    return str_safecopy(text, size, buf.data()) == 0 ? 0 : -1;
}

void hash_ctx_text_invalid()
{
    ZLOG_ERR("context text refused: its length or buffered count cannot occur\n");
}

int hash_ctx_text_read(const char *text, std::span<const hash_text_field> fields, void *ctx)
{
    const std::string_view all(text);
    const size_t want = field_total(fields);
    const size_t commas = static_cast<size_t>(std::count(all.begin(), all.end(), ','));
    if (commas + 1 != want) {
        ZLOG_ERR("context text has %zu fields, not %zu\n", commas + 1, want);
        return -1;
    }
    auto *base = static_cast<uint8_t *>(ctx);
    size_t pos = 0;
    size_t index = 0;
    for (const hash_text_field &f : fields) {
        for (uint16_t i = 0; i < f.count; i++, index++) {
            const size_t comma = all.find(',', pos);
            const std::string_view s = all.substr(pos, comma == std::string_view::npos ? all.npos : comma - pos);
            uint64_t v = 0;
            // The field's text stays out of the log: buffer bytes are message bytes.
            if (!field_parse(s, f.width, &v)) {
                ZLOG_ERR("context text field %zu is no %u-byte hex value\n", index, static_cast<unsigned>(f.width));
                return -1;
            }
            field_store(base + f.offset + size_t{i} * f.width, f.width, v);
            pos = comma + 1;
        }
    }
    return 0;
}
