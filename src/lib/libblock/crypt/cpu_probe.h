// Processor features for the cipher: which AES paths may run. The features
// are read once per process, by whichever thread asks first, from cpuid and
// from the register state the OS has enabled (xgetbv); later calls only read
// the record, so asking on every request costs nothing worth counting.
#pragma once

#include <cstdint>

// Each flag is 1 only when the instructions exist and the OS saves the
// registers they use, so code that runs on a flag can never fault.
struct cpu_features {
    uint8_t aesni;    // AES with SSE2 and OSXSAVE (cpuid leaf 1)
    uint8_t avx2;     // AVX2, with the YMM state enabled
    uint8_t avx512f;  // AVX-512F, with the opmask and ZMM states enabled
    uint8_t vaes;     // VAES (AES rounds on YMM/ZMM), with the YMM state enabled
};

// Fills eax, ebx, ecx, edx of leaf (sub-leaf 0) into regs; 1, or 0 off
// x86-64. cpuid cannot fault on x86-64, so it runs unguarded.
int cpu_cpuid_guarded(uint32_t leaf, uint32_t regs[4]);
// Either call probes when no probe has run yet; the record lives as long as
// the process.
void cpu_detect_features();
const cpu_features *cpu_features_get();
// 1 when cpuid reports SSE2, OSXSAVE and AES.
int cpu_has_aesni();
