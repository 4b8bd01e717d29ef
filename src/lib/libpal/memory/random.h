// Pseudo-random filler bytes: a process-wide xorshift generator (the "random"
// device of the file objects, test data) and a second source on the system's
// rand. Not for cryptographic keys. The state is shared without a lock:
// concurrent callers may receive equal or interleaved values.
#pragma once

#include <cstddef>
#include <cstdint>

// The xorshift state becomes seed - 1.
void rand_seed(uint64_t seed);
uint64_t rand_xorshift64();
// Four calls of the system's rand.
uint64_t rand_u64();

// Fills buf with whole 64-bit words in machine byte order (kind 0 xorshift,
// else rand_u64); a tail takes the least significant bytes of one more word.
// Returns len, or all ones for a missing buffer.
size_t memory_random_imp(int kind, void *buf, size_t len);
size_t memory_random(void *buf, size_t len);
