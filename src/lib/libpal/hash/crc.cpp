// CRC-8, CRC-16, CRC-32 and CRC-64 with one 256-entry table each, one step
// per byte; the CRC-32 of a file.
#include "libpal/hash/crc.h"

#include <array>
#include <cstdio>

#include "libpal/hash/hash_file.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr std::array<uint8_t, 256> make_crc8_table()
{
    std::array<uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int b = 0; b < 8; b++)
            c = (c & 0x80) ? ((c << 1) ^ 0x07) : (c << 1);
        t[i] = static_cast<uint8_t>(c);
    }
    return t;
}

// Entries of the most-significant-bit-first table of 0x8005 with their two
// bytes exchanged: the register is kept exchanged, so each step shifts right.
constexpr std::array<uint16_t, 256> make_crc16_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i << 8;
        for (int b = 0; b < 8; b++)
            c = (c & 0x8000) ? ((c << 1) ^ 0x8005) : (c << 1);
        c &= 0xFFFF;
        t[i] = static_cast<uint16_t>(((c & 0xFF) << 8) | (c >> 8));
    }
    return t;
}

// Least-significant-bit-first table of a reflected polynomial.
template <typename T>
constexpr std::array<T, 256> make_reflected_table(T poly)
{
    std::array<T, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        T c = i;
        for (int b = 0; b < 8; b++)
            c = (c & 1) ? ((c >> 1) ^ poly) : (c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto k_crc8 = make_crc8_table();
constexpr auto k_crc16 = make_crc16_table();
constexpr auto k_crc32 = make_reflected_table<uint32_t>(0xEDB88320u);
constexpr auto k_crc64 = make_reflected_table<uint64_t>(0x95AC9329AC4BC9B5ull);

}  // namespace

uint8_t hash_crc8(const void *data, size_t len, uint8_t init)
{
    PL_ASSERT_RET(data, 0);
    const auto *p = static_cast<const uint8_t *>(data);
    uint8_t crc = init;
    for (size_t i = 0; i < len; i++)
        crc = k_crc8[crc ^ p[i]];
    return crc;
}

uint16_t hash_crc16(const void *data, size_t len, uint16_t init)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint16_t crc = init;
    for (size_t i = 0; i < len; i++)
        crc = static_cast<uint16_t>((crc >> 8) ^ k_crc16[(crc ^ p[i]) & 0xFF]);
    return crc;
}

uint32_t hash_crc32(const void *data, size_t len, uint32_t prev)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t crc = ~prev;
    for (size_t i = 0; i < len; i++)
        crc = (crc >> 8) ^ k_crc32[(crc ^ p[i]) & 0xFF];
    return ~crc;
}

uint64_t hash_crc64(const void *data, size_t len, uint64_t init)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint64_t crc = init;
    for (size_t i = 0; i < len; i++)
        crc = (crc >> 8) ^ k_crc64[(crc ^ p[i]) & 0xFF];
    return crc;
}

const char *hash_crc32_str(const void *data, size_t len)
{
    thread_local char text[9];
    snprintf(text, sizeof(text), "%x", hash_crc32(data, len, 0));
    return text;
}

int hash_crc32_file(const char *path, uint32_t *out)
{
    uint32_t crc = 0;
    const int ret = hash_file_pieces(path, [](void *ctx, const void *data, size_t len) {
        auto *c = static_cast<uint32_t *>(ctx);
        *c = hash_crc32(data, len, *c);
    }, &crc);
    // Once the file is open the output holds the CRC of what was read, also after a failed read.
    if (ret != -1)
        *out = crc;
    return ret == 0 ? 0 : -1;
}
