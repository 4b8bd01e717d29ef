// Apple partition map: a driver descriptor ("ER") giving the block size, then
// one 512-byte map entry ("PM") per block from block 1. The first entry says
// how many there are; that count is bounded by the medium and the entry cap.
#define ZLOG_TAG "part"

#include "libpart/libpart.h"
#include "libpart/part_ctx.h"
#include "liblog/zlog.h"

namespace {

constexpr uint16_t k_ddm_magic = 0x4552;
constexpr uint16_t k_map_magic = 0x504D;
constexpr uint32_t k_entry     = 512;
constexpr uint32_t k_name      = 16;
constexpr uint32_t k_name_len  = 32;

}  // namespace

int apple_get_parts(libpart_ctx *ctx)
{
    uint8_t head[4];
    if (part_read(ctx, head, sizeof(head), 0) != 0)
        return -2;
    const uint16_t magic = be16_load(head);
    if (magic != k_ddm_magic) {
        ZLOG_DBG("bad magic (found 0x%x; wanted 0x%x)\n", magic, k_ddm_magic);
        return -1;
    }
    const uint32_t block_size = be16_load(head + 2);
    ZLOG_DBG("size(grub_apple_part)=%d\n", 512);
    if (block_size == 0)
        return -1;
    uint8_t e[k_entry];
    uint64_t entries = 1;
    for (uint64_t i = 0; i < entries; i++) {
        const uint64_t at = (i + 1) * block_size;
        if (!part_in_medium(ctx, at, k_entry))
            break;
        if (part_read(ctx, e, k_entry, at) != 0)
            return -2;
        const uint16_t sig = be16_load(e);
        if (sig != k_map_magic) {
            ZLOG_DBG("partition %d: bad magic (found 0x%x; wanted 0x%x)\n", static_cast<int>(i), sig, k_map_magic);
            break;
        }
        if (i == 0)
            entries = std::min<uint64_t>(be32_load(e + 4), LIBPART_MAX_ENTRIES);
        const uint64_t start = uint64_t{be32_load(e + 8)} * block_size / ctx->sector_size;
        const uint64_t count = uint64_t{be32_load(e + 12)} * block_size / ctx->sector_size;
        const char *name = reinterpret_cast<const char *>(e + k_name);
        if (!part_add(ctx, start, count, std::string_view(name, strnlen(name, k_name_len))))
            break;
    }
    return -1;
}
