#include "libpal/hash/crc.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "str_log_capture.h"

namespace {
const char k_check[] = "123456789";
}

TEST(Crc, CheckValuesOfTheNineDigits)
{
    EXPECT_EQ(hash_crc8(k_check, 9, 0), 0xF4);       // CRC-8/SMBUS
    EXPECT_EQ(hash_crc16(k_check, 9, 0), 0xE8FE);    // CRC-16/UMTS 0xFEE8, bytes exchanged
    EXPECT_EQ(hash_crc32(k_check, 9, 0), 0xCBF43926u);
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
