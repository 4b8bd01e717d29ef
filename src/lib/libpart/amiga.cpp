// Amiga rigid disk block: an "RDSK" block among the first 15, then a chain of
// "PART" blocks, each with its drive geometry. The chain comes from the
// medium, so it is followed only while its blocks are new, on the medium and
// fewer than the entry cap.
#define ZLOG_TAG "part"

#include <set>

#include "libpart/libpart.h"
#include "libpart/part_ctx.h"
#include "liblog/zlog.h"

namespace {

constexpr uint32_t k_block       = 512;
constexpr uint32_t k_rdsk_blocks = 15;  // where an RDSK may lie
constexpr uint32_t k_end         = 0xFFFFFFFF;

// Offsets in the RDSK and PART blocks (longs, big-endian).
constexpr uint32_t k_size_field = 0x04;
constexpr uint32_t k_next       = 0x10;
constexpr uint32_t k_part_list  = 0x1C;
constexpr uint32_t k_surfaces   = 0x8C;
constexpr uint32_t k_blk_track  = 0x94;
constexpr uint32_t k_low_cyl    = 0xA4;
constexpr uint32_t k_high_cyl   = 0xA8;

bool is_block(const uint8_t *b, const char *id)
{
    return memcmp(b, id, 4) == 0 && amiga_checksum(b) == 0;
}

// LowCyl x Surfaces x BlocksPerTrack and the cylinders' span; false when the
// geometry overflows or runs backwards.
bool part_range(const uint8_t *b, uint64_t *start, uint64_t *count)
{
    const uint64_t low = be32_load(b + k_low_cyl);
    const uint64_t high = be32_load(b + k_high_cyl);
    const uint64_t per_cyl = uint64_t{be32_load(b + k_surfaces)} * be32_load(b + k_blk_track);
    if (high + 1 < low)
        return false;
    return !__builtin_mul_overflow(low, per_cyl, start) && !__builtin_mul_overflow(high + 1 - low, per_cyl, count);
}

}  // namespace

uint32_t amiga_checksum(const uint8_t *block)
{
    const uint32_t n = be32_load(block + k_size_field);
    const uint32_t longs = n <= 127 ? n : 128;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < longs; i++)
        sum += be32_load(block + 4 * i);
    return sum;
}

int amiga_get_parts(libpart_ctx *ctx)
{
    ZLOG_DBG("sizeof(rdsk)=%d, sizeof(apart)=%d\n", 512, 512);
    uint8_t b[k_block];
    bool found = false;
    for (uint32_t i = 0; i < k_rdsk_blocks && !found; i++) {
        const uint64_t at = uint64_t{i} * ctx->sector_size;
        if (!part_in_medium(ctx, at, k_block))
            break;
        if (part_read(ctx, b, k_block, at) != 0)
            return -2;
        found = is_block(b, "RDSK");
    }
    if (!found)
        return -1;
    uint32_t next = be32_load(b + k_part_list);
    std::set<uint32_t> seen;
    while (next != k_end) {
        const uint64_t at = uint64_t{next} * ctx->sector_size;
        if (!seen.insert(next).second) {
            ZLOG_WARN("PART chain loops at block %u\n", next);
            return -1;
        }
        if (!part_in_medium(ctx, at, k_block))
            return -1;
        if (part_read(ctx, b, k_block, at) != 0)
            return -2;
        if (!is_block(b, "PART"))
            return -1;
        uint64_t start = 0, count = 0;
        if (part_range(b, &start, &count) && !part_add(ctx, start, count, ""))
            return -1;
        next = be32_load(b + k_next);
    }
    return 0;
}
