// Processor features the digests can use. They are read once per process, by
// whichever thread asks first, from cpuid; later calls only read the record,
// so a digest may ask on every update.
#pragma once

// 1 when cpuid reports the SHA extensions together with SSSE3 and SSE4.1,
// which the SHA-256 rounds need for byte order and lane moves. These are
// 128-bit instructions whose register state every x86-64 OS saves, so no
// xgetbv check is needed. 0 off x86-64.
int hash_cpu_sha_ni();
