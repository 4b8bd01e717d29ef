#include "libpal/hash/crc.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {
const char k_check[] = "123456789";
}

TEST(Crc, CheckValuesOfTheNineDigits)
{
    EXPECT_EQ(hash_crc8(k_check, 9, 0), 0xF4);       // CRC-8/SMBUS
    EXPECT_EQ(hash_crc16(k_check, 9, 0), 0xE8FE);    // CRC-16/UMTS 0xFEE8, bytes exchanged
    EXPECT_EQ(hash_crc32(k_check, 9, 0), 0xCBF43926u);
    EXPECT_EQ(hash_crc64(k_check, 9, 0), 0xE9C6D914C4B8D9CAull);  // reflected 0xAD93D23594C935A9
    EXPECT_STREQ(hash_crc32_str(k_check, 9), "cbf43926");
}

TEST(Crc, ContinuingOverPiecesEqualsOneRun)
{
    std::string data;
    for (int i = 0; i < 1000; i++)
        data += static_cast<char>(i * 7 + 3);
    for (size_t cut : {0u, 1u, 4u, 500u, 999u, 1000u}) {
        const char *p = data.data();
        size_t n = data.size();
        EXPECT_EQ(hash_crc32(p + cut, n - cut, hash_crc32(p, cut, 0)), hash_crc32(p, n, 0)) << cut;
        EXPECT_EQ(hash_crc16(p + cut, n - cut, hash_crc16(p, cut, 0)), hash_crc16(p, n, 0)) << cut;
        EXPECT_EQ(hash_crc8(p + cut, n - cut, hash_crc8(p, cut, 0)), hash_crc8(p, n, 0)) << cut;
        EXPECT_EQ(hash_crc64(p + cut, n - cut, hash_crc64(p, cut, 0)), hash_crc64(p, n, 0)) << cut;
    }
}

TEST(Crc, EmptyInputAndMissingData)
{
    EXPECT_EQ(hash_crc32("", 0, 0), 0u);
    EXPECT_STREQ(hash_crc32_str("", 0), "0");
    EXPECT_EQ(hash_crc16("", 0, 0x1234), 0x1234);

    log_capture cap;
    EXPECT_EQ(hash_crc8(nullptr, 5, 0x55), 0);
    EXPECT_TRUE(cap.has("expr[data]: assert failed\n"));
}

using CrcFile = temp_dir_test;

TEST_F(CrcFile, WholeFileInPiecesEqualsOneRun)
{
    constexpr size_t k_piece = 2 * 1024 * 1024;
    std::string big(k_piece + 1, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 131 + i / 4099);
    struct row {
        const char *name;
        size_t len;
    } rows[] = {
        {"empty", 0}, {"nine", 9}, {"one_piece", k_piece}, {"piece_and_one", k_piece + 1},
    };
    for (const row &r : rows) {
        std::string data = r.len == 9 ? std::string(k_check) : big.substr(0, r.len);
        std::string p = make_file(r.name, data);
        uint32_t crc = 0x5555;
        ASSERT_EQ(hash_crc32_file(p.c_str(), &crc), 0) << r.name;
        EXPECT_EQ(crc, hash_crc32(data.data(), data.size(), 0)) << r.name;
    }
}

TEST_F(CrcFile, UnopenablePathLeavesOutputAndFailedReadFails)
{
    uint32_t crc = 0x5555;
    EXPECT_EQ(hash_crc32_file(path("missing").c_str(), &crc), -1);
    EXPECT_EQ(crc, 0x5555u);

    // A directory opens but cannot be read.
    std::string sub = path("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    log_capture cap;
    EXPECT_EQ(hash_crc32_file(sub.c_str(), &crc), -1);
}
