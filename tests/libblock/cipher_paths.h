// The two AES paths as a test parameter: each cipher test runs once with the
// portable path forced and once on AES-NI (skipped where the processor has
// none), so both must give the very same bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libblock/crypt/cpu_probe.h"
#include "libblock/crypt/xts.h"

enum class aes_path { portable, aesni };

inline std::string aes_path_name(const testing::TestParamInfo<aes_path> &info)
{
    return info.param == aes_path::portable ? "Portable" : "AesNi";
}

class CipherPath : public testing::TestWithParam<aes_path> {
protected:
    void SetUp() override
    {
        if (GetParam() == aes_path::aesni && cpu_has_aesni() == 0)
            GTEST_SKIP() << "no AES-NI on this processor";
        cipher_force_portable(GetParam() == aes_path::portable);
        ASSERT_EQ(cipher_hw_enabled(CIPHER_KIND_AES), GetParam() == aes_path::aesni);
    }
    void TearDown() override { cipher_force_portable(false); }
};

inline std::vector<uint8_t> from_hex(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Bytes that differ from block to block and unit to unit.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}
