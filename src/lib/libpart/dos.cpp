// MBR and its extended partitions. Primary entries come first in table
// order, then each extended partition's chain of EBRs, whose logical entries
// start relative to their own EBR and whose links are relative to the first
// extended partition. A protective entry (0xEE) hands the medium to GPT.
#define ZLOG_TAG "part"

#include "libpart/libpart.h"
#include "libpart/part_ctx.h"
#include "liblog/zlog.h"

namespace {

constexpr uint32_t k_table      = 446;
constexpr uint32_t k_entries    = 4;
constexpr uint32_t k_entry_size = 16;
constexpr uint8_t  k_protective = 0xEE;
constexpr uint32_t k_max_nesting = 128;

struct mbr_entry {
    uint8_t  boot;
    uint8_t  type;
    uint32_t start;
    uint32_t count;
};

mbr_entry entry_at(const uint8_t *sector, uint32_t i)
{
    const uint8_t *p = sector + k_table + k_entry_size * i;
    return {p[0], p[4], le32_load(p + 8), le32_load(p + 12)};
}

bool has_signature(const uint8_t *sector)
{
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

bool is_extended(uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

}  // namespace

int dos_get_parts(libpart_ctx *ctx)
{
    ZLOG_DBG("==>\n");
    uint8_t *s = ctx->sector.data();
    if (part_read(ctx, s, ctx->sector_size, 0) != 0) {
        ZLOG_DBG("read_len %d!=%d error\n", -1, static_cast<int>(ctx->sector_size));
        return -2;
    }
    if (!has_signature(s)) {
        ZLOG_DBG("invalid magaic\n");
        return -1;
    }
    bool any_start = false;
    for (uint32_t i = 0; i < k_entries; i++) {
        const mbr_entry e = entry_at(s, i);
        if (e.type == k_protective)
            return gpt_get_parts(ctx);
    }
    for (uint32_t i = 0; i < k_entries; i++) {
        const mbr_entry e = entry_at(s, i);
        if (e.boot != 0x00 && e.boot != 0x80)
            return -1;
        any_start = any_start || e.start != 0;
    }
    if (!any_start)
        return -1;
    return get_extended_parts(ctx, 0, 0);
}

int get_extended_parts(libpart_ctx *ctx, uint64_t sector, uint64_t ext_base)
{
    ZLOG_DBG("start=%llu relative=%llu ==>\n", static_cast<unsigned long long>(sector),
             static_cast<unsigned long long>(ext_base));
    if (++ctx->nesting > k_max_nesting) {
        ZLOG_WARN("too much nesting exit\n");
        return 0;
    }
    if (sector == ctx->last_ext) {
        ZLOG_WARN("enter circular read exit\n");
        return 0;
    }
    // A link from the medium may point anywhere: off the medium the chain
    // ends here, with what it found so far.
    uint64_t at = 0;
    if (__builtin_mul_overflow(sector, ctx->sector_size, &at) || !part_in_medium(ctx, at, ctx->sector_size)) {
        ZLOG_DBG("sector=%llu beyond the medium\n", static_cast<unsigned long long>(sector));
        return -1;
    }
    // Each level keeps its own copy: the nested lookups reuse the sector buffer.
    std::vector<uint8_t> table(ctx->sector_size);
    if (part_read(ctx, table.data(), ctx->sector_size, at) != 0) {
        ZLOG_ERR("read len %d!=%d error\n", -1, static_cast<int>(ctx->sector_size));
        return -2;
    }
    ctx->last_ext = sector;
    if (!has_signature(table.data())) {
        ZLOG_DBG("sector=%lld sec_size=%d size=%lld invalid magaic\n", static_cast<long long>(sector),
                 static_cast<int>(ctx->sector_size), static_cast<long long>(ctx->medium->size));
        return -1;
    }
    for (uint32_t i = 0; i < k_entries; i++) {
        const mbr_entry e = entry_at(table.data(), i);
        ZLOG_VERB("sys_ind=%02x\n", e.type);
        if (e.type == 0 || is_extended(e.type))
            continue;
        ctx->type = LIBPART_MBR;
        if (!part_add(ctx, e.start + sector, e.count, part_type_desc(e.type)))
            return 0;
        ZLOG_VERB("find vol_start=%llu\n", static_cast<unsigned long long>(e.start + sector));
    }
    for (uint32_t i = 0; i < k_entries; i++) {
        const mbr_entry e = entry_at(table.data(), i);
        if (!is_extended(e.type))
            continue;
        ZLOG_VERB("extended sys_ind=%02x call\n", e.type);
        const uint64_t next = ext_base + e.start;
        const int rc = get_extended_parts(ctx, next, sector == 0 ? next : ext_base);
        if (rc != 0)
            return rc;
    }
    ZLOG_DBG("<==\n");
    return 0;
}
