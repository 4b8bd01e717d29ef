// The lookup: runs the readers in their order over one medium and turns what
// the first of them found into the caller's list; also the SGI disk volume
// header reader, the first one tried.
#define ZLOG_TAG "part"

#include "libpart/libpart.h"

#include <cstdio>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_safe.h"
#include "libpart/part_ctx.h"
#include "liblog/zlog.h"

namespace {

constexpr uint32_t k_dvh_magic       = 0x0BE5A941;
constexpr uint32_t k_dvh_table       = 312;
constexpr uint32_t k_dvh_slots       = 16;
constexpr uint32_t k_dvh_whole_slot  = 10;  // the whole volume, not a partition

constexpr const char *k_type_names[] = {"volume", "MBR", "GPT", "APPLE", "AMIGA", "DVH"};

struct reader {
    uint32_t type;
    int (*get)(libpart_ctx *);
};
// MBR's reader sets its own type (1, or 2 when it hands over to GPT).
constexpr reader k_readers[] = {
    {LIBPART_DVH, dvh_get_parts},
    {LIBPART_AMIGA, amiga_get_parts},
    {LIBPART_APPLE, apple_get_parts},
    {LIBPART_VOLUME, dos_get_parts},
};

uint32_t log2_of(uint32_t v)
{
    uint32_t n = 0;
    while ((1u << (n + 1)) <= v)
        n++;
    return n;
}

void set_err(char *err, const char *text)
{
    if (err != nullptr)
        str_safecopy2(err, 4096, text);
}

// The entry list handed to the caller: one block per entry, as libpart_free
// releases them.
bool export_entries(const libpart_ctx &ctx, libpart_info *info)
{
    const size_t n = ctx.entries.size();
    info->entries = static_cast<libpart_entry **>(os_zalloc(sizeof(libpart_entry *) * (n == 0 ? 1 : n)));
    if (info->entries == nullptr)
        return false;
    for (size_t i = 0; i < n; i++) {
        info->entries[i] = static_cast<libpart_entry *>(os_malloc(sizeof(libpart_entry)));
        if (info->entries[i] == nullptr) {
            info->count = i;
            libpart_free(info);
            return false;
        }
        *info->entries[i] = ctx.entries[i];
    }
    info->count = n;
    return true;
}

int get_medium(const libpart_medium *m, libpart_info *info, char *err)
{
    if (m->size < m->sector_size || m->sector_size == 0) {
        ZLOG_DBG("size=%llu sector_bytes=%u\n", static_cast<unsigned long long>(m->size), m->sector_size);
        set_err(err, "invalid image file size");
        return -1;
    }
    libpart_ctx ctx{};
    ctx.medium = m;
    ctx.sector_size = m->sector_size;
    ctx.sector_shift = log2_of(m->sector_size);
    ctx.sector.assign(m->sector_size, 0);
    ctx.last_ext = UINT64_MAX;
    for (const auto &r : k_readers) {
        ctx.type = r.type;
        const int rc = r.get(&ctx);
        if (rc == -2) {
            set_err(err, m->errstr != nullptr ? m->errstr(m->handle) : "read error");
            return -2;
        }
        if (!ctx.entries.empty())
            break;
    }
    if (ctx.entries.empty()) {
        ctx.type = LIBPART_VOLUME;
        part_add(&ctx, 0, m->size / m->sector_size, "disk or volume");
    }
    *info = libpart_info{};
    if (!export_entries(ctx, info)) {
        set_err(err, "out of memory");
        return -1;
    }
    info->size = m->size;
    info->sector_size = m->sector_size;
    info->type = ctx.type;
    info->type_name = libpart_type_name(ctx.type);
    str_safecopy2(info->name, sizeof(info->name), m->name);
    return 0;
}

}  // namespace

int libpart_get_medium(const libpart_medium *medium, libpart_info *info, char *err) noexcept
{
    try {
        return get_medium(medium, info, err);
    } catch (const std::bad_alloc &) {
        set_err(err, "out of memory");
        return -1;
    }
}

void libpart_free(libpart_info *info)
{
    if (info == nullptr || info->entries == nullptr)
        return;
    for (uint64_t i = 0; i < info->count; i++)
        os_free(info->entries[i]);
    os_free(info->entries);
    info->entries = nullptr;
    info->count = 0;
}

const char *libpart_type_name(uint32_t type)
{
    return type < std::size(k_type_names) ? k_type_names[type] : "UNKOWN";
}

int dvh_get_parts(libpart_ctx *ctx)
{
    uint8_t vh[512];
    if (part_read(ctx, vh, sizeof(vh), 0) != 0)
        return -2;
    if (be32_load(vh) != k_dvh_magic)
        return -1;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < sizeof(vh); i += 4)
        sum += be32_load(vh + i);
    if (sum != 0)
        return -1;
    for (uint32_t i = 0; i < k_dvh_slots; i++) {
        const uint8_t *p = vh + k_dvh_table + 12 * i;
        const uint32_t count = be32_load(p);
        if (count == 0 || i == k_dvh_whole_slot)
            continue;
        part_add(ctx, be32_load(p + 4), count, "");
    }
    return 0;
}
