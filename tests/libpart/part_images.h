// Partition tables built in memory, and the medium the readers see them
// through. Builders write only the fields the readers look at, in each
// format's byte order, so a test can make any of them lie.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/hash/crc.h"
#include "libpart/libpart.h"

struct mem_image {
    std::vector<uint8_t> bytes;
    uint32_t             sector_size = 512;
    int                  reads = 0;

    explicit mem_image(uint64_t size, uint32_t ssize = 512) : bytes(size, 0), sector_size(ssize) {}

    static int64_t read(void *h, void *buf, uint32_t len, uint64_t off)
    {
        auto *img = static_cast<mem_image *>(h);
        img->reads++;
        if (off > img->bytes.size() || len > img->bytes.size() - off)
            return -1;
        memcpy(buf, img->bytes.data() + off, len);
        return len;
    }
    static const char *errstr(void *) { return "read past the end of the image"; }

    libpart_medium medium()
    {
        libpart_medium m{this, read, errstr, bytes.size(), sector_size, "memory image"};
        return m;
    }

    void be16(uint64_t at, uint16_t v) { bytes[at] = uint8_t(v >> 8), bytes[at + 1] = uint8_t(v); }
    void be32(uint64_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            bytes[at + i] = uint8_t(v >> (24 - 8 * i));
    }
    void le32(uint64_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            bytes[at + i] = uint8_t(v >> (8 * i));
    }
    void le64(uint64_t at, uint64_t v)
    {
        le32(at, uint32_t(v));
        le32(at + 4, uint32_t(v >> 32));
    }
    void text(uint64_t at, const char *s) { memcpy(&bytes[at], s, strlen(s)); }

    // One MBR or EBR entry of the table in the sector at byte table.
    void mbr_entry(uint64_t table, int i, uint8_t type, uint32_t start, uint32_t count, uint8_t boot = 0)
    {
        const uint64_t p = table + 446 + 16 * i;
        bytes[p] = boot;
        bytes[p + 4] = type;
        le32(p + 8, start);
        le32(p + 12, count);
        bytes[table + 510] = 0x55;
        bytes[table + 511] = 0xAA;
    }

    // A GPT header at byte hdr with its entry array at entries_lba (in units
    // of unit bytes), and the CRCs made right.
    struct gpt_entry {
        uint64_t    first, last;
        std::string name;
    };
    void gpt(uint64_t hdr, uint64_t unit, uint64_t entries_lba, uint32_t count, uint32_t esize,
             const std::vector<gpt_entry> &parts)
    {
        mbr_entry(0, 0, 0xEE, 1, 0xFFFFFFFF);
        const uint64_t arr = entries_lba * unit;
        for (size_t i = 0; i < parts.size(); i++) {
            const uint64_t e = arr + i * esize;
            bytes[e] = 0xAF;  // any non-zero type GUID
            le64(e + 0x20, parts[i].first);
            le64(e + 0x28, parts[i].last);
            for (size_t c = 0; c < parts[i].name.size(); c++)
                bytes[e + 0x38 + 2 * c] = uint8_t(parts[i].name[c]);
        }
        text(hdr, "EFI PART");
        le32(hdr + 0x0C, 92);
        le64(hdr + 0x48, entries_lba);
        le32(hdr + 0x50, count);
        le32(hdr + 0x54, esize);
        le32(hdr + 0x58, hash_crc32(&bytes[arr], uint64_t{count} * esize, 0));
        gpt_fix_crc(hdr);
    }
    void gpt_fix_crc(uint64_t hdr)
    {
        le32(hdr + 0x10, 0);
        le32(hdr + 0x10, hash_crc32(&bytes[hdr], 92, 0));
    }

    // An Amiga block with its checksum made right (128 longs).
    void amiga_block(uint64_t at, const char *id, uint32_t next_or_list)
    {
        text(at, id);
        be32(at + 4, 128);
        be32(at + (std::string(id) == "RDSK" ? 0x1C : 0x10), next_or_list);
        amiga_fix(at);
    }
    void amiga_part(uint64_t at, uint32_t next, uint32_t low, uint32_t high, uint32_t heads, uint32_t sectors)
    {
        amiga_block(at, "PART", next);
        be32(at + 0xA4, low);
        be32(at + 0xA8, high);
        be32(at + 0x8C, heads);
        be32(at + 0x94, sectors);
        amiga_fix(at);
    }
    void amiga_fix(uint64_t at)
    {
        be32(at + 8, 0);
        be32(at + 8, 0 - sum_be32(at, 128));
    }
    // The sum of n big-endian longs from at (Amiga and SGI checksums).
    uint32_t sum_be32(uint64_t at, int n) const
    {
        uint32_t sum = 0;
        for (int i = 0; i < n; i++) {
            const uint8_t *p = &bytes[at + 4 * i];
            sum += uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        return sum;
    }
};

// A lookup's volumes as {start, count, description} rows.
struct vol_row {
    uint64_t    start, count;
    std::string desc;
    bool operator==(const vol_row &) const = default;
};

inline std::vector<vol_row> rows_of(const libpart_info &info)
{
    std::vector<vol_row> v;
    for (uint64_t i = 0; i < info.count; i++)
        v.push_back({info.entries[i]->start, info.entries[i]->count, info.entries[i]->desc});
    return v;
}

inline void PrintTo(const vol_row &r, std::ostream *os)
{
    *os << "{" << r.start << ", " << r.count << ", \"" << r.desc << "\"}";
}
