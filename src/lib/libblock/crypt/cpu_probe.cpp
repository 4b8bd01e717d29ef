// The cpuid probe. No signal handler is involved: cpuid exists on every
// x86-64 processor, and xgetbv runs only after cpuid said the OS enabled it
// (OSXSAVE), so neither can fault. A function-local static serialises the
// one probe between threads.
#include "libblock/crypt/cpu_probe.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

constexpr uint32_t k_leaf1_edx_sse2    = 1u << 26;
constexpr uint32_t k_leaf1_ecx_aes     = 1u << 25;
constexpr uint32_t k_leaf1_ecx_osxsave = 1u << 27;
constexpr uint32_t k_leaf1_ecx_avx     = 1u << 28;
constexpr uint32_t k_leaf7_ebx_avx2    = 1u << 5;
constexpr uint32_t k_leaf7_ebx_avx512f = 1u << 16;
constexpr uint32_t k_leaf7_ecx_vaes    = 1u << 9;

// XCR0: the register states the OS saves on a context switch. YMM needs SSE
// and AVX state; ZMM adds the opmask, the upper halves of ZMM0-15 and ZMM16-31.
constexpr uint64_t k_xcr0_ymm = 0x06;
constexpr uint64_t k_xcr0_zmm = 0xE6;

uint64_t xcr0()
{
#if defined(__x86_64__)
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
#else
    return 0;
#endif
}

cpu_features probe()
{
    cpu_features f{};
    uint32_t r0[4], r1[4], r7[4] = {};
    if (cpu_cpuid_guarded(0, r0) == 0 || r0[0] < 1 || cpu_cpuid_guarded(1, r1) == 0)
        return f;
    const bool osxsave = (r1[2] & k_leaf1_ecx_osxsave) != 0;
    f.aesni            = (r1[3] & k_leaf1_edx_sse2) && osxsave && (r1[2] & k_leaf1_ecx_aes);
    if (!osxsave)
        return f;
    const uint64_t xcr = xcr0();
    const bool ymm     = (r1[2] & k_leaf1_ecx_avx) && (xcr & k_xcr0_ymm) == k_xcr0_ymm;
    const bool zmm     = ymm && (xcr & k_xcr0_zmm) == k_xcr0_zmm;
    if (r0[0] >= 7)
        cpu_cpuid_guarded(7, r7);
    f.avx2    = ymm && (r7[1] & k_leaf7_ebx_avx2);
    f.avx512f = zmm && (r7[1] & k_leaf7_ebx_avx512f);
    f.vaes    = ymm && (r7[2] & k_leaf7_ecx_vaes);
    return f;
}

}  // namespace

int cpu_cpuid_guarded(uint32_t leaf, uint32_t regs[4])
{
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, 0, a, b, c, d);
    regs[0] = a, regs[1] = b, regs[2] = c, regs[3] = d;
    return 1;
#else
    (void)leaf;
    (void)regs;
    return 0;
#endif
}

const cpu_features *cpu_features_get()
{
    static const cpu_features features = probe();
    return &features;
}

void cpu_detect_features()
{
    cpu_features_get();
}

int cpu_has_aesni()
{
    return cpu_features_get()->aesni;
}
