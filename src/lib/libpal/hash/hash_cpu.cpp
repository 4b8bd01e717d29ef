// The cpuid probe of the digests. cpuid exists on every x86-64 processor, so
// it runs unguarded; a function-local static serialises the one probe
// between threads.
#include "libpal/hash/hash_cpu.h"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

constexpr uint32_t k_leaf1_ecx_ssse3  = 1u << 9;
constexpr uint32_t k_leaf1_ecx_sse41  = 1u << 19;
constexpr uint32_t k_leaf7_ebx_sha    = 1u << 29;

int probe_sha_ni()
{
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(0, 0, a, b, c, d);
    const unsigned max_leaf = a;
    if (max_leaf < 7)
        return 0;
    __cpuid_count(1, 0, a, b, c, d);
    const bool sse = (c & k_leaf1_ecx_ssse3) && (c & k_leaf1_ecx_sse41);
    __cpuid_count(7, 0, a, b, c, d);
    return sse && (b & k_leaf7_ebx_sha) ? 1 : 0;
#else
    return 0;
#endif
}

}  // namespace

int hash_cpu_sha_ni()
{
    static const int sha_ni = probe_sha_ni();
    return sha_ni;
}
