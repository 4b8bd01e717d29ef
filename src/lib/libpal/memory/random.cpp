// Pseudo-random filler bytes.
#include "libpal/memory/random.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// Shared and unlocked by design; relaxed atomics keep concurrent use defined.
std::atomic<uint64_t> g_rand_xorshift_state{0x811c9dc5};

uint64_t rand_word32()
{
    uint32_t hi = static_cast<uint32_t>(rand());
    uint32_t lo = static_cast<uint32_t>(rand());
    return static_cast<uint32_t>((hi << 16) | (lo & 0xffff));
}

}  // namespace

void rand_seed(uint64_t seed)
{
    g_rand_xorshift_state.store(seed - 1, std::memory_order_relaxed);
}

uint64_t rand_xorshift64()
{
    uint64_t x = g_rand_xorshift_state.load(std::memory_order_relaxed);
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    g_rand_xorshift_state.store(x, std::memory_order_relaxed);
    return x;
}

uint64_t rand_u64()
{
    uint64_t hi = rand_word32();
    uint64_t lo = rand_word32();
    return (hi << 32) | lo;
}

size_t memory_random_imp(int kind, void *buf, size_t len)
{
    PL_ASSERT_RET(buf, SIZE_MAX);
    auto *out = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (len - done >= sizeof(uint64_t)) {
        uint64_t w = kind == 0 ? rand_xorshift64() : rand_u64();
        memcpy(out + done, &w, sizeof(w));
        done += sizeof(w);
    }
    if (done < len) {
        uint64_t w = kind == 0 ? rand_xorshift64() : rand_u64();
        // The least significant bytes first, whatever the machine's byte order.
        for (size_t i = 0; done < len; i++, done++)
            out[done] = static_cast<unsigned char>(w >> (8 * i));
    }
    return len;
}

size_t memory_random(void *buf, size_t len)
{
    return memory_random_imp(0, buf, len);
}
