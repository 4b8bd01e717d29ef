// GUID partition table, reached through the MBR's protective entry. The
// header is searched at sector 2^k (k = 0..6) so that a table written with
// larger sectors than the medium reports is found; k then scales every
// address. Nothing in the header is trusted unchecked: its size and CRC, the
// entry size (128 or more, a multiple of 8, at most one sector), the entry
// count (at most LIBPART_MAX_ENTRIES), the array's place on the medium and
// its CRC are all checked before an entry is read.
#define ZLOG_TAG "part"

#include "libpal/hash/crc.h"
#include "libpal/string/str_enc.h"
#include "libpart/libpart.h"
#include "libpart/part_ctx.h"
#include "liblog/zlog.h"

namespace {

constexpr uint32_t k_max_shift   = 6;
constexpr uint32_t k_hdr_min     = 92;
constexpr uint32_t k_entry_min   = 128;
constexpr uint32_t k_name_units  = 36;

// Header fields.
constexpr uint32_t k_hdr_size    = 0x0C;
constexpr uint32_t k_hdr_crc     = 0x10;
constexpr uint32_t k_entries_lba = 0x48;
constexpr uint32_t k_entry_count = 0x50;
constexpr uint32_t k_entry_size  = 0x54;
constexpr uint32_t k_entries_crc = 0x58;

// Entry fields.
constexpr uint32_t k_first = 0x20;
constexpr uint32_t k_last  = 0x28;
constexpr uint32_t k_name  = 0x38;

bool header_sound(libpart_ctx *ctx, const uint8_t *h)
{
    const uint32_t size = le32_load(h + k_hdr_size);
    if (size < k_hdr_min || size > ctx->sector_size) {
        ZLOG_DBG("gpt header size %u refused\n", size);
        return false;
    }
    std::vector<uint8_t> copy(h, h + size);
    memset(copy.data() + k_hdr_crc, 0, 4);
    if (hash_crc32(copy.data(), size, 0) != le32_load(h + k_hdr_crc)) {
        ZLOG_DBG("gpt header crc mismatch\n");
        return false;
    }
    const uint32_t esize = le32_load(h + k_entry_size);
    const uint32_t count = le32_load(h + k_entry_count);
    if (esize < k_entry_min || esize % 8 != 0 || esize > ctx->sector_size || count > LIBPART_MAX_ENTRIES) {
        ZLOG_DBG("gpt entries %u x %u refused\n", count, esize);
        return false;
    }
    return true;
}

// The entry name, UTF-16LE, as UTF-8.
void entry_name(const uint8_t *e, char *out, size_t size)
{
    uint16_t wide[k_name_units + 1] = {};
    for (uint32_t i = 0; i < k_name_units; i++)
        wide[i] = static_cast<uint16_t>(e[k_name + 2 * i] | (e[k_name + 2 * i + 1] << 8));
    str_w2u8_buf(wide, out, size);
}

bool is_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

void add_entry(libpart_ctx *ctx, const uint8_t *e, uint32_t shift)
{
    if (is_zero(e, 16))
        return;
    const uint64_t first = le64_load(e + k_first);
    const uint64_t last = le64_load(e + k_last);
    // An entry that runs backwards or whose scaled range overflows is no volume.
    if (last < first || last == UINT64_MAX || (last + 1) > (UINT64_MAX >> shift))
        return;
    char name[256];
    entry_name(e, name, sizeof(name));
    ctx->type = LIBPART_GPT;
    part_add(ctx, first << shift, (last + 1 - first) << shift, name);
}

}  // namespace

int gpt_get_parts(libpart_ctx *ctx)
{
    bool protective = false;
    for (uint32_t i = 0; i < 4; i++)
        protective = protective || ctx->sector[446 + 16 * i + 4] == 0xEE;
    if (!protective)
        return -1;
    std::vector<uint8_t> h(ctx->sector_size);
    uint32_t shift = 0;
    for (;; shift++) {
        if (shift > k_max_shift)
            return -1;
        const uint64_t at = (uint64_t{1} << shift) * ctx->sector_size;
        if (!part_in_medium(ctx, at, ctx->sector_size))
            return -1;
        if (part_read(ctx, h.data(), ctx->sector_size, at) != 0)
            return -2;
        if (memcmp(h.data(), "EFI PART", 8) == 0)
            break;
    }
    if (!header_sound(ctx, h.data()))
        return -1;
    const uint64_t lba = le64_load(h.data() + k_entries_lba);
    const uint32_t count = le32_load(h.data() + k_entry_count);
    const uint32_t esize = le32_load(h.data() + k_entry_size);
    const uint64_t bytes = uint64_t{count} * esize;
    uint64_t at = 0;
    if (lba > (UINT64_MAX >> shift) || __builtin_mul_overflow(lba << shift, ctx->sector_size, &at) ||
        !part_in_medium(ctx, at, bytes)) {
        ZLOG_DBG("gpt entries at lba %llu off the medium\n", static_cast<unsigned long long>(lba));
        return -1;
    }
    // Bounded by the checks above: at most LIBPART_MAX_ENTRIES sectors' worth.
    std::vector<uint8_t> array(bytes);
    if (bytes > 0 && part_read(ctx, array.data(), static_cast<uint32_t>(bytes), at) != 0)
        return -2;
    if (hash_crc32(array.data(), array.size(), 0) != le32_load(h.data() + k_entries_crc)) {
        ZLOG_DBG("gpt entries crc mismatch\n");
        return -1;
    }
    for (uint32_t i = 0; i < count; i++)
        add_entry(ctx, array.data() + uint64_t{i} * esize, shift);
    return 0;
}
