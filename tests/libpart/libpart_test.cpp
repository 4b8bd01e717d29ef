#include "libpart/libpart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "part_images.h"

namespace {

struct result {
    int                  rc;
    std::string          type;
    std::vector<vol_row> rows;
    std::string          err;
};

result lookup(mem_image &img)
{
    libpart_medium m = img.medium();
    libpart_info info{};
    char err[4096] = "";
    result r{libpart_get_medium(&m, &info, err), "", {}, err};
    if (r.rc == 0) {
        r.type = info.type_name;
        r.rows = rows_of(info);
        EXPECT_EQ(info.size, img.bytes.size());
        EXPECT_STREQ(info.name, "memory image");
        libpart_free(&info);
        EXPECT_EQ(info.count, 0u);
    }
    return r;
}

const std::vector<vol_row> k_whole_1m = {{0, 2048, "disk or volume"}};

TEST(Libpart, MediumWithoutTableIsOneVolume)
{
    mem_image img(1 << 20);
    img.text(0, "\xEB\x3C\x90mkfs.fat");
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.type, "volume");
    EXPECT_EQ(r.rows, k_whole_1m);
}

TEST(Libpart, MediumSmallerThanASectorIsRefused)
{
    mem_image img(100);
    const result r = lookup(img);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "invalid image file size");
}

// Two primaries and an extended partition with three logical ones: five
// volumes in table order, each logical one starting relative to its own EBR
// while EBR links are relative to the extended partition's start.
TEST(Libpart, MbrPrimariesThenLogicals)
{
    mem_image img(1 << 20);
    img.mbr_entry(0, 0, 0x83, 64, 100, 0x80);
    img.mbr_entry(0, 1, 0x82, 200, 50);
    img.mbr_entry(0, 2, 0x05, 300, 1000);
    img.mbr_entry(300 * 512, 0, 0x06, 2, 40);
    img.mbr_entry(300 * 512, 1, 0x05, 100, 200);
    img.mbr_entry(400 * 512, 0, 0x0B, 2, 60);
    img.mbr_entry(400 * 512, 1, 0x05, 200, 200);
    img.mbr_entry(500 * 512, 0, 0x8E, 4, 30);
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.type, "MBR");
    const std::vector<vol_row> want = {
        {64, 100, "Linux (EXT2fs/xiafs)"}, {200, 50, "Linux Swap partition"},
        {302, 40, "16-bit FAT, partition >=32 MB"}, {402, 60, "32-bit FAT"}, {504, 30, "Linux LVM2 Container"},
    };
    EXPECT_EQ(r.rows, want);
}

// EBR chains come from the medium: one pointing at itself stops at once, a
// cycle of two stops after the bounded number of lookups, and a link off the
// medium ends the chain; what was found before stays.
TEST(Libpart, LoopingOrStrayEbrChainsAreBounded)
{
    struct chain_case {
        const char *name;
        uint32_t    link;          // the second EBR's link, relative to the extended start
        size_t      max_rows;
    };
    const chain_case cases[] = {
        {"self", 100, 3},
        {"two-cycle", 0, 2 + 2 * 128},
        {"off the medium", 0x7FFFFFF0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mem_image img(1 << 20);
        img.mbr_entry(0, 0, 0x83, 64, 100);
        img.mbr_entry(0, 1, 0x05, 300, 1000);
        img.mbr_entry(300 * 512, 0, 0x83, 2, 10);
        img.mbr_entry(300 * 512, 1, 0x05, 100, 10);
        img.mbr_entry(400 * 512, 0, 0x83, 2, 20);
        img.mbr_entry(400 * 512, 1, 0x05, c.link, 10);
        const result r = lookup(img);
        ASSERT_EQ(r.rc, 0);
        ASSERT_GE(r.rows.size(), 3u);
        EXPECT_LE(r.rows.size(), c.max_rows);
        EXPECT_EQ(r.rows[2], (vol_row{402, 20, "Linux (EXT2fs/xiafs)"}));
        EXPECT_LE(img.reads, 300);
    }
}

TEST(Libpart, MbrWithBadBootIndicatorOrNoStartIsNoMbr)
{
    mem_image bad_boot(1 << 20);
    bad_boot.mbr_entry(0, 0, 0x83, 64, 100);
    bad_boot.mbr_entry(0, 3, 0x83, 300, 100, 0x01);
    mem_image no_start(1 << 20);
    no_start.mbr_entry(0, 0, 0x83, 0, 100);
    for (auto *img : {&bad_boot, &no_start}) {
        const result r = lookup(*img);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.type, "volume");
        EXPECT_EQ(r.rows, k_whole_1m);
    }
}

// A table written with 4096-byte sectors and read with 512-byte ones is found
// at sector 8 (k = 3) and every address is scaled by 8.
TEST(Libpart, GptWithLargerSectorsIsScaled)
{
    mem_image img(4 << 20);
    img.gpt(8 * 512, 4096, 2, 128, 128, {{6, 9, "boot"}, {10, 109, "data"}});
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.type, "GPT");
    const std::vector<vol_row> want = {{48, 32, "boot"}, {80, 800, "data"}};
    EXPECT_EQ(r.rows, want);
}

TEST(Libpart, GptNamesAreUtf8AndEmptySlotsSkipped)
{
    mem_image img(1 << 20);
    img.gpt(512, 512, 2, 128, 128, {{34, 99, "root"}, {0, 0, ""}, {100, 199, "home"}});
    img.bytes[2 * 512 + 128] = 0;  // the middle entry: an all-zero type GUID
    img.le32(512 + 0x58, hash_crc32(&img.bytes[1024], 128 * 128, 0));
    img.gpt_fix_crc(512);
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    const std::vector<vol_row> want = {{34, 66, "root"}, {100, 100, "home"}};
    EXPECT_EQ(r.rows, want);
}

// Every field of a GPT header that sizes a read is checked before it is
// used: a lying header is no table (the medium is then one volume), never a
// huge allocation or a read outside a buffer.
TEST(Libpart, LyingGptHeadersAreRefused)
{
    struct lie {
        const char *name;
        uint32_t    field;
        uint32_t    value;
        bool        fix_crc;
    };
    const lie cases[] = {
        {"2^32-1 entries", 0x50, 0xFFFFFFFF, true},
        {"entry size 0", 0x54, 0, true},
        {"entry size 4097", 0x54, 4097, true},
        {"entry size 132", 0x54, 132, true},
        {"header size 4096", 0x0C, 4096, true},
        {"header size 8", 0x0C, 8, true},
        {"entries off the medium", 0x48, 0x7FFFFFFF, true},
        {"header crc", 0x10, 0x12345678, false},
        {"entries crc", 0x58, 0x12345678, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mem_image img(1 << 20);
        img.gpt(512, 512, 2, 128, 128, {{34, 99, "root"}});
        img.le32(512 + c.field, c.value);
        if (c.fix_crc)
            img.gpt_fix_crc(512);
        const result r = lookup(img);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.type, "volume");
        EXPECT_EQ(r.rows, k_whole_1m);
    }
}

TEST(Libpart, ProtectiveMbrWithoutHeaderIsOneVolume)
{
    mem_image img(4096);
    img.mbr_entry(0, 0, 0xEE, 1, 7);
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.type, "volume");
    EXPECT_EQ(r.rows.size(), 1u);
}

// Apple: every map entry is listed (the map itself too), in 512-byte units of
// the driver descriptor's block size; a map claiming a million entries reads
// only as far as its entries go.
TEST(Libpart, AppleMapListsEveryEntry)
{
    for (uint32_t claimed : {3u, 1000000u}) {
        SCOPED_TRACE(claimed);
        mem_image img(1 << 20);
        img.be16(0, 0x4552);
        img.be16(2, 2048);
        const struct { uint32_t start, count; const char *name; } map[] = {
            {1, 63, "Apple"}, {64, 100, "MacOS"}, {164, 200, "Extra"}};
        for (int i = 0; i < 3; i++) {
            const uint64_t e = 2048 * (i + 1);
            img.be16(e, 0x504D);
            img.be32(e + 4, claimed);
            img.be32(e + 8, map[i].start);
            img.be32(e + 12, map[i].count);
            img.text(e + 16, map[i].name);
        }
        const result r = lookup(img);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.type, "APPLE");
        const std::vector<vol_row> want = {{4, 252, "Apple"}, {256, 400, "MacOS"}, {656, 800, "Extra"}};
        EXPECT_EQ(r.rows, want);
        EXPECT_LE(img.reads, 25);  // the other readers' probes included
    }
}

// Amiga: the RDSK block may sit in any of the first 15 blocks; each PART
// block gives LowCyl x heads x sectors and the cylinders' span. A chain that
// comes back to a block it has visited stops there.
TEST(Libpart, AmigaChainIsFollowedOnceAround)
{
    for (uint32_t last_next : {0xFFFFFFFFu, 5u, 6u}) {
        SCOPED_TRACE(last_next);
        mem_image img(1 << 20);
        img.amiga_block(3 * 512, "RDSK", 5);
        img.amiga_part(5 * 512, 6, 2, 9, 2, 32);
        img.amiga_part(6 * 512, last_next, 10, 19, 2, 32);
        const result r = lookup(img);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.type, "AMIGA");
        const std::vector<vol_row> want = {{128, 512, ""}, {640, 640, ""}};
        EXPECT_EQ(r.rows, want);
    }
}

TEST(Libpart, AmigaBlockWithBadChecksumIsNoTable)
{
    mem_image img(1 << 20);
    img.amiga_block(0, "RDSK", 5);
    img.bytes[100] ^= 1;
    EXPECT_EQ(lookup(img).type, "volume");
}

// SGI volume header: slot 10 (the whole volume) and empty slots are skipped.
TEST(Libpart, DvhSkipsWholeVolumeAndEmptySlots)
{
    mem_image img(1 << 20);
    img.be32(0, 0x0BE5A941);
    const struct { int slot; uint32_t count, first; } slots[] = {{0, 100, 8}, {1, 0, 200}, {7, 50, 300}, {10, 2048, 0}};
    for (const auto &s : slots) {
        img.be32(312 + 12 * s.slot, s.count);
        img.be32(312 + 12 * s.slot + 4, s.first);
    }
    img.be32(504, 0 - img.sum_be32(0, 128));
    const result r = lookup(img);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.type, "DVH");
    const std::vector<vol_row> want = {{8, 100, ""}, {300, 50, ""}};
    EXPECT_EQ(r.rows, want);
}

TEST(Libpart, ReadFailureIsReportedWithTheMediumsMessage)
{
    mem_image img(1 << 20);
    libpart_medium m = img.medium();
    m.size = 2 << 20;  // claims more than it can read
    img.mbr_entry(0, 0, 0x83, 64, 100);
    img.mbr_entry(0, 1, 0x05, 2048 + 10, 100);
    libpart_info info{};
    char err[4096] = "";
    EXPECT_EQ(libpart_get_medium(&m, &info, err), -2);
    EXPECT_STREQ(err, "read past the end of the image");
}

TEST(Libpart, TypeDescriptionsAndNames)
{
    const struct { uint8_t id; const char *desc; } rows[] = {
        {0x01, "12-bit FAT"}, {0x05, "Extended partition or Extended volume"}, {0x07, "HPFS, NTFS"},
        {0x0C, "32-bit FAT, EXT INT 13"}, {0x0F, "Extended partition, Ext INT 13"}, {0xA5, "FreeBSD/386"},
        {0xA6, "OpenBSD"}, {0xA9, "NetBSD"}, {0xFF, "Xenix bad-block table"},
        {0xEE, "unknown type or empty"}, {0x0D, "unknown type or empty"},
    };
    for (const auto &r : rows)
        EXPECT_STREQ(part_type_desc(r.id), r.desc) << int(r.id);
    const char *names[] = {"volume", "MBR", "GPT", "APPLE", "AMIGA", "DVH", "UNKOWN"};
    for (uint32_t t = 0; t < 7; t++)
        EXPECT_STREQ(libpart_type_name(t), names[t]);
}

}  // namespace
