// The state one lookup shares between the readers, and their small helpers:
// bounded reads of the medium and the entry list with its cap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "libpal/os/os_byte_order.h"
#include "libpart/libpart.h"

struct libpart_ctx {
    const libpart_medium      *medium;
    uint32_t                   sector_size;
    uint32_t                   sector_shift;
    std::vector<uint8_t>       sector;      // one sector
    std::vector<libpart_entry> entries;
    uint32_t                   type;
    uint64_t                   last_ext;    // the last extended table read
    uint32_t                   nesting;     // extended-table lookups so far
};

// True when [offset, offset + len) lies on the medium.
inline bool part_in_medium(const libpart_ctx *ctx, uint64_t offset, uint64_t len)
{
    const uint64_t size = ctx->medium->size;
    return len <= size && offset <= size - len;
}

// 0 when len bytes were read at offset; -2 when the medium failed or gave
// fewer (a caller checks part_in_medium first where the offset comes from a
// table).
inline int part_read(libpart_ctx *ctx, void *buf, uint32_t len, uint64_t offset)
{
    const int64_t n = ctx->medium->read_bytes(ctx->medium->handle, buf, len, offset);
    return n == static_cast<int64_t>(len) ? 0 : -2;
}

// Appends a volume; false once the list is full (the reader then stops).
inline bool part_add(libpart_ctx *ctx, uint64_t start, uint64_t count, std::string_view desc)
{
    if (ctx->entries.size() >= LIBPART_MAX_ENTRIES)
        return false;
    libpart_entry e{};
    e.start = start;
    e.count = count;
    memcpy(e.desc, desc.data(), std::min(desc.size(), sizeof(e.desc) - 1));
    ctx->entries.push_back(e);
    return true;
}

