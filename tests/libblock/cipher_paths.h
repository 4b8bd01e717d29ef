// The AES paths as a test parameter: each cipher test runs once on every
// path the processor has, so all must give the very same bytes. Whether the
// processor has a path is asked of the compiler's own CPU query, not of the
// probe under test: a probe that wrongly said no fails these tests instead
// of turning them into skips.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "libblock/crypt/xts.h"

constexpr cipher_path k_cipher_paths[] = {CIPHER_PATH_PORTABLE, CIPHER_PATH_AESNI, CIPHER_PATH_VAES256,
                                          CIPHER_PATH_VAES512};

#if defined(__x86_64__)
#if defined(__clang__)
// clang's query knows neither "vaes" nor "osxsave"; there the kernel's flags
// answer, which list "vaes" only with the YMM state enabled and "xsave" only
// when the kernel has turned XSAVE on (OSXSAVE).
inline bool kernel_cpu_flag(const std::string &flag)
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("flags", 0) == 0)
            return (line + " ").find(" " + flag + " ") != std::string::npos;
    }
    return false;
}
inline bool cpu_query_vaes() { return kernel_cpu_flag("vaes"); }
inline bool cpu_query_osxsave() { return kernel_cpu_flag("xsave"); }
#else
inline bool cpu_query_vaes() { return __builtin_cpu_supports("vaes"); }
inline bool cpu_query_osxsave() { return __builtin_cpu_supports("osxsave"); }
#endif
#endif

inline bool processor_has(cipher_path p)
{
#if defined(__x86_64__)
    const bool aes = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2") && cpu_query_osxsave();
    const bool vaes = aes && cpu_query_vaes();
    switch (p) {
    case CIPHER_PATH_PORTABLE: return true;
    case CIPHER_PATH_AESNI: return aes;
    case CIPHER_PATH_VAES256: return vaes && __builtin_cpu_supports("avx2");
    case CIPHER_PATH_VAES512: return vaes && __builtin_cpu_supports("avx512f");
    }
#endif
    return p == CIPHER_PATH_PORTABLE;
}

// Test names and GetParam() texts that stay the same from run to run, so
// that ctest -R and --rerun-failed find the cases again.
inline void PrintTo(cipher_path p, std::ostream *os)
{
    *os << cipher_path_name(p);
}

inline std::string cipher_path_test_name(const testing::TestParamInfo<cipher_path> &info)
{
    std::string name = cipher_path_name(info.param);
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

class CipherPath : public testing::TestWithParam<cipher_path> {
protected:
    void SetUp() override
    {
        if (!processor_has(GetParam()))
            GTEST_SKIP() << cipher_path_name(GetParam()) << ": not on this processor";
        ASSERT_EQ(cipher_path_force(GetParam()), 0) << "the probe refuses a path the processor has";
        ASSERT_EQ(cipher_hw_enabled(CIPHER_KIND_AES), GetParam() != CIPHER_PATH_PORTABLE);
    }
    void TearDown() override { cipher_path_force(cipher_path_best()); }
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
