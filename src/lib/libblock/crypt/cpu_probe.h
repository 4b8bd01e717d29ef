// Processor features for the cipher: whether the AES-NI path may run. The
// probe executes cpuid under a temporary SIGILL guard, once per process
// (again only after a probe that could not run), and serialises itself.
#pragma once

#include <cstdint>

// Fills eax, ebx, ecx, edx of leaf (sub-leaf 0) into regs; 1, or 0 when the
// instruction could not run (no x86-64, or it raised SIGILL).
int  cpu_cpuid_guarded(uint32_t leaf, uint32_t regs[4]);
void cpu_detect_features();
// 1 when cpuid reports SSE2, OSXSAVE and AES; probes first when no probe has
// completed.
int  cpu_has_aesni();
