// Partition-table readers: find the table of a medium and list its volumes.
// The block layer asks them for one volume when an export name carries
// "vol_idx". Tables are tried in a fixed order: SGI disk volume header, Amiga
// rigid disk block, Apple partition map, MBR (handing over to GPT on a
// protective entry); a medium without any is one volume. Every count, chain
// and entry size read from a medium is bounded, so a lying table ends a
// lookup early, never in a hang or a read outside its buffers.
#pragma once

#include <cstdint>

// Table types of libpart_info.
enum : uint32_t {
    LIBPART_VOLUME = 0,
    LIBPART_MBR    = 1,
    LIBPART_GPT    = 2,
    LIBPART_APPLE  = 3,
    LIBPART_AMIGA  = 4,
    LIBPART_DVH    = 5,
};

// No table lists more volumes than this.
constexpr uint32_t LIBPART_MAX_ENTRIES = 1024;

// start and count in the medium's sectors, as each format stores them.
struct libpart_entry {
    uint64_t start;
    uint64_t count;
    char     desc[256];
};

struct libpart_info {
    libpart_entry **entries;
    uint64_t        count;
    uint64_t        size;         // the medium's size in bytes
    uint32_t        sector_size;
    uint32_t        type;
    const char     *type_name;
    char            name[128];    // the medium's model text
};

// What a lookup reads: the block layer's device, or an image in memory.
// read_bytes reads any byte range and returns len, or -1 with the reason in
// errstr.
struct libpart_medium {
    void       *handle;
    int64_t   (*read_bytes)(void *handle, void *buf, uint32_t len, uint64_t offset);
    const char *(*errstr)(void *handle);
    uint64_t    size;
    uint32_t    sector_size;  // 512, 1024, 2048 or 4096
    char        name[128];
};

struct bd_volume;

// Opens name read-only through the block layer and lists its volumes: 0 with
// info filled (free it with libpart_free), -1 (err holds why) or -2 on a
// read error (err holds the medium's message). err: 4096 bytes.
int libpart_get(const char *name, libpart_info *info, char *err);
// The byte range of volume index (1-based) of name; -1 with
// "vol_idx=%d valid values: 1-%d" or the lookup's reason in err.
int libpart_vol_get(const char *name, int index, bd_volume *out, char *err);
// Makes libpart_vol_get the block layer's volume finder; run at start-up,
// before the first export is opened.
void libpart_init();

// libpart_get over a medium given by the caller.
int libpart_get_medium(const libpart_medium *medium, libpart_info *info, char *err) noexcept;
void        libpart_free(libpart_info *info);
const char *libpart_type_name(uint32_t type);

// The readers, in the order tried. 0: this table, entries added; -1: not
// this table (or its end); -2: the medium could not be read.
struct libpart_ctx;
int dvh_get_parts(libpart_ctx *ctx);
int amiga_get_parts(libpart_ctx *ctx);
int apple_get_parts(libpart_ctx *ctx);
int dos_get_parts(libpart_ctx *ctx);
int gpt_get_parts(libpart_ctx *ctx);
int get_extended_parts(libpart_ctx *ctx, uint64_t sector, uint64_t ext_base);

// The description of an MBR type byte ("unknown type or empty" for none).
const char *part_type_desc(uint8_t type);
// The sum of an Amiga block's big-endian longs (its size field, capped at 128).
uint32_t amiga_checksum(const uint8_t *block);
