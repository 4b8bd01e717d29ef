// SHA-256 blocks on the x86 SHA extensions. Only for a processor whose probe
// (hash_cpu_sha_ni) said yes: elsewhere the instructions fault.
#pragma once

#include <cstddef>
#include <cstdint>

// The 64 round constants, shared with the portable code.
extern const uint32_t sha256_round_k[64];

// Compresses n 64-byte blocks at p into h. Off x86-64 it is never selected
// and does nothing.
void sha256_blocks_ni(uint32_t h[8], const uint8_t *p, size_t n);
