// CRC-8, CRC-16, CRC-32 and CRC-64 with one 256-entry table each, one step
// per byte; the CRC-32 of a file.
#include "libpal/hash/crc.h"

#include <array>
#include <cstdio>
#include <memory>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_file.h"

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

// Read-only (0x1) plus two bits the file objects pass through unread.
constexpr uint64_t k_file_flags = 0x1081;
constexpr size_t k_file_piece = 0x200000;


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
    pl_owned<os_file_ctx, os_file_close> file(os_file_open(path, k_file_flags));
    if (!file)
        return -1;
    *out = 0;
    // A buffer that cannot be had counts as a failed read.
    pl_owned<void, os_free> buf(os_malloc(k_file_piece));
    if (!buf)
        return -1;
    // A piece shorter than the buffer is the file's end.
    for (;;) {
        const int64_t n = os_file_read(file.get(), buf.get(), k_file_piece);
        if (n < 0)
            return -1;
        *out = hash_crc32(buf.get(), static_cast<size_t>(n), *out);
        if (static_cast<size_t>(n) != k_file_piece)
            return 0;
    }
}
