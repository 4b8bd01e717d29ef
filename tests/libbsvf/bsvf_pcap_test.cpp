#include "libbsvf/bsvf_pcap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "liblog/log2.h"
#include "../libpal/str_log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void spit(const std::string &path, const bytes &b)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
}

uint32_t le32(const bytes &b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The record ends of a file, checked against its size; empty when it is not
// a whole pcap of records.
std::vector<size_t> record_ends(const bytes &f)
{
    std::vector<size_t> ends;
    size_t off = 24;
    while (off + 16 <= f.size()) {
        const size_t end = off + 16 + le32(f, off + 8);
        if (end > f.size())
            return {};
        ends.push_back(end);
        off = end;
    }
    return off == f.size() ? ends : std::vector<size_t>{};
}

class BsvfPcapFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = ::testing::TempDir() + "zorv_bsvf_" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = dir_ + "/log.pcap";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    // A "log" record of exactly len bytes.
    static bytes record(size_t len, uint32_t sec = 1700000000, uint32_t usec = 5)
    {
        bytes r(BSV_LOG_MAX);
        const int n = bsv_log_record(r.data(), LOG2_INFO, "t", "a.c", 1, "f", "");
        r.resize(static_cast<size_t>(n));
        while (r.size() < len)
            r.insert(r.end() - 1, 'm');
        const uint64_t s = sec;
        memcpy(r.data(), &s, 8);
        memcpy(r.data() + 8, &usec, 4);
        return r;
    }
    bool logged(const std::string &piece) const { return cap_.has(piece); }
    log_capture cap_;
    std::string dir_;
    std::string path_;
};

TEST_F(BsvfPcapFile, NewFileHeaderAndOneRecord)
{
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    const bytes rec = record(100);
    ASSERT_EQ(bsvf_pcap_write(h, rec.data(), 100), 0);
    bsvf_pcap_close(h);
    const bytes f = slurp(path_);
    const bytes head = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 147, 0, 0, 0};
    ASSERT_EQ(f.size(), 24u + 16 + 88);
    EXPECT_EQ(bytes(f.begin(), f.begin() + 24), head);
    EXPECT_EQ(le32(f, 24), 1700000000u);
    EXPECT_EQ(le32(f, 28), 5u);
    EXPECT_EQ(le32(f, 32), 88u);
    EXPECT_EQ(le32(f, 36), 88u);
    EXPECT_EQ(bytes(f.begin() + 40, f.end()), bytes(rec.begin() + 12, rec.end()));  // from the pid on
}

TEST_F(BsvfPcapFile, BigEndianTypeWritesBigEndianFile)
{
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 2);
    ASSERT_NE(h, nullptr);
    bytes rec = record(60);
    // The record's own fields are big-endian for this type.
    const uint8_t sec_be[8] = {0, 0, 0, 0, 0x65, 0x53, 0xf1, 0x00};
    const uint8_t usec_be[4] = {0, 0, 0, 7};
    memcpy(rec.data(), sec_be, 8);
    memcpy(rec.data() + 8, usec_be, 4);
    ASSERT_EQ(bsvf_pcap_write(h, rec.data(), 60), 0);
    bsvf_pcap_close(h);
    const bytes f = slurp(path_);
    EXPECT_EQ(bytes(f.begin(), f.begin() + 8), (bytes{0xa1, 0xb2, 0xc3, 0xd4, 0, 2, 0, 4}));
    EXPECT_EQ(bytes(f.begin() + 20, f.begin() + 24), (bytes{0, 0, 0, 148}));
    EXPECT_EQ(bytes(f.begin() + 24, f.begin() + 40),
              (bytes{0x65, 0x53, 0xf1, 0x00, 0, 0, 0, 7, 0, 0, 0, 48, 0, 0, 0, 48}));
}

TEST_F(BsvfPcapFile, RefusalsAreLoggedAndWriteNothing)
{
    EXPECT_EQ(bsvf_type_2_dlt(0), -1);
    EXPECT_EQ(bsvf_type_2_dlt(16), -1);
    EXPECT_TRUE(logged("type=0 error\n"));
    EXPECT_TRUE(logged("type=16 error\n"));
    EXPECT_EQ(bsvf_type_2_dlt(1), 147);
    EXPECT_EQ(bsvf_type_2_dlt(15), 161);
    EXPECT_EQ(bsvf_pcap_create(path_.c_str(), 16), nullptr);
    EXPECT_EQ(bsvf_pcap_create(path_.c_str(), 4), nullptr);  // a link type but no schema
    EXPECT_TRUE(logged("bsv_value_init_form_type failed.\n"));
    EXPECT_EQ(bsvf_pcap_create((dir_ + "/none/x.pcap").c_str(), 1), nullptr);
    EXPECT_TRUE(logged("pcap_dump_open failed.\n"));

    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    const bytes rec = record(40);
    EXPECT_EQ(bsvf_pcap_write(h, rec.data(), 12), -1);
    EXPECT_TRUE(logged("expr[len > 12]: assert failed\n"));
    EXPECT_EQ(bsvf_pcap_reset(h), -1);
    EXPECT_EQ(bsvf_pcap_finish(h), -1);
    bsvf_pcap_close(h);
    EXPECT_EQ(slurp(path_).size(), 24u);
}

TEST_F(BsvfPcapFile, AppendAddsRecordsWithoutSecondHeader)
{
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_write(h, record(50).data(), 50);
    bsvf_pcap_close(h);
    h = bsvf_pcap_append(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_write(h, record(70).data(), 70);
    bsvf_pcap_close(h);
    const bytes f = slurp(path_);
    EXPECT_EQ(record_ends(f), (std::vector<size_t>{24 + 16 + 38, 24 + 16 + 38 + 16 + 58}));

    // An empty file gets its header.
    spit(path_, {});
    h = bsvf_pcap_append(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_close(h);
    EXPECT_EQ(slurp(path_).size(), 24u);
}

struct damaged_row {
    const char *name;
    size_t keep;        // bytes of the good file kept
    int poke_at;        // -1 none
    uint8_t poke;
    size_t want_size;   // before the new record
    const char *logged;
};

void PrintTo(const damaged_row &r, std::ostream *os)
{
    *os << r.name;
}

class BsvfPcapAppendDamaged : public BsvfPcapFile, public ::testing::WithParamInterface<damaged_row> {};

TEST_P(BsvfPcapAppendDamaged, NewRecordsStartOnARecordBoundary)
{
    const damaged_row &r = GetParam();
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_write(h, record(50).data(), 50);   // ends at 78
    bsvf_pcap_write(h, record(60).data(), 60);   // ends at 142
    bsvf_pcap_close(h);
    bytes f = slurp(path_);
    f.resize(r.keep);
    if (r.poke_at >= 0)
        f[static_cast<size_t>(r.poke_at)] = r.poke;
    spit(path_, f);
    h = bsvf_pcap_append(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(slurp(path_).size(), r.want_size);
    bsvf_pcap_write(h, record(40).data(), 40);
    bsvf_pcap_close(h);
    const bytes after = slurp(path_);
    EXPECT_EQ(record_ends(after).back(), after.size());
    EXPECT_EQ(after.size(), r.want_size + 16 + 28);
    if (r.logged != nullptr) {
        EXPECT_TRUE(logged(r.logged)) << r.name;
    }
}

const damaged_row k_damaged[] = {
    {"Whole", 142, -1, 0, 142, nullptr},
    {"CutMidRecord", 130, -1, 0, 78, "runs past the end"},
    {"CutInRecordHeader", 85, -1, 0, 78, "runs past the end"},
    {"ClaimsMoreThanTheFile", 142, 78 + 9, 0x40, 78, "runs past the end"},
    {"NotOurMagic", 142, 0, 0x00, 24, "is not a pcap file of link type 147"},
    {"OtherLinkType", 142, 20, 1, 24, "is not a pcap file of link type 147"},
    {"ShorterThanHeader", 10, -1, 0, 24, "is not a pcap file of link type 147"},
};

INSTANTIATE_TEST_SUITE_P(Bsvf, BsvfPcapAppendDamaged, ::testing::ValuesIn(k_damaged),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(BsvfPcapFile, CapKeepsNewestRecordsFromTheFirstEndPastHalf)
{
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    // 24 + 29 records of 144 bytes = 4200 bytes.
    for (int i = 0; i < 29; i++)
        ASSERT_EQ(bsvf_pcap_write(h, record(140, 1700000000 + static_cast<uint32_t>(i)).data(), 140), 0);
    ASSERT_EQ(bsvf_pcap_flush(h), 0);
    const bytes before = slurp(path_);
    ASSERT_EQ(before.size(), 4200u);
    ASSERT_EQ(bsvf_pcap_set_fsize(h, 8192), 0);
    EXPECT_EQ(slurp(path_).size(), 4200u);  // below the cap: nothing to do
    ASSERT_EQ(bsvf_pcap_set_fsize(h, 4096), 0);
    const bytes after = slurp(path_);
    // The first record end at or after 2048 is 24 + 15 * 144 = 2184.
    ASSERT_EQ(after.size(), 24u + (4200 - 2184));
    EXPECT_EQ(bytes(after.begin(), after.begin() + 24), bytes(before.begin(), before.begin() + 24));
    EXPECT_EQ(bytes(after.begin() + 24, after.end()), bytes(before.begin() + 2184, before.end()));
    EXPECT_EQ(le32(after, 24), 1700000000u + 15);
    // Writing goes on into the new file.
    ASSERT_EQ(bsvf_pcap_write(h, record(140).data(), 140), 0);
    bsvf_pcap_flush(h);
    EXPECT_EQ(slurp(path_).size(), after.size() + 144);
    bsvf_pcap_close(h);
    EXPECT_FALSE(std::filesystem::exists(path_ + ".cut"));
}

TEST_F(BsvfPcapFile, CapOfADamagedFileChangesNothing)
{
    bsvf_pcap *h = bsvf_pcap_create(path_.c_str(), 1);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 10; i++)
        bsvf_pcap_write(h, record(140).data(), 140);
    bsvf_pcap_flush(h);
    // Damaged from outside: the third record claims more than the file holds.
    bytes f = slurp(path_);
    {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(24 + 2 * 144 + 8);
        const uint8_t big[4] = {0xff, 0xff, 0, 0};
        io.write(reinterpret_cast<const char *>(big), 4);
    }
    f = slurp(path_);
    EXPECT_EQ(bsvf_pcap_set_fsize(h, 1024), -1);
    EXPECT_TRUE(logged("file error offset="));
    EXPECT_EQ(slurp(path_), f);
    bsvf_pcap_close(h);
}

}  // namespace
