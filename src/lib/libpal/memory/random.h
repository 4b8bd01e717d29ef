// Pseudo-random filler bytes: a process-wide xorshift generator (the "random"
// device of the file objects, test data) and a second source on the system's
// rand; random texts and numbers; an additive lagged-Fibonacci generator. Not
// for cryptographic keys. The states are shared: concurrent callers may
// receive equal or interleaved values.
#pragma once

#include <cstddef>
#include <cstdint>

// The xorshift state becomes seed - 1 (a seed of 1 makes every value 0).
void rand_seed(uint64_t seed);
uint64_t rand_xorshift64();
// Two and four calls of the system's rand.
uint32_t rand_u32();
uint64_t rand_u64();
// Uniform in [lo, hi). Requires: lo < hi (else lo after a soft assertion).
uint32_t rand_range(uint32_t lo, uint32_t hi);

// Fills buf with whole 64-bit words in machine byte order (kind 0 xorshift,
// else rand_u64); a tail takes the least significant bytes of one more word.
// Returns len, or all ones for a missing buffer.
size_t memory_random_imp(int kind, void *buf, size_t len);
size_t memory_random(void *buf, size_t len);
// Seeds the system's rand with the millisecond tick, then kind 1.
size_t memory_random_seeded(void *buf, size_t len);

// size - 1 characters of [0-9a-zA-Z] (or of the 16 hexadecimal digits) and a
// NUL; a size below 2 leaves text untouched.
void rand_str(char *text, size_t size);
void rand_hex_str(char *text, size_t size);

// Character classes of rand_passwd; extra characters add the fourth.
enum : uint32_t {
    RAND_PW_DIGIT = 0x1,
    RAND_PW_LOWER = 0x2,
    RAND_PW_UPPER = 0x4,
    RAND_PW_EXTRA = 0x8,
};
// size - 1 characters holding at least one of every chosen class (and of the
// extra characters when given). An impossible request (no class, no room for
// one of each, a set above 255 characters) leaves text empty and is logged.
void rand_passwd(char *text, size_t size, const char *extra, uint32_t classes);

// The 31-word additive generator: seeding, then the next value (31 bits).
void rand_add_seed(uint64_t seed);
uint32_t rand_add_next();
