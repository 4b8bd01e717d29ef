// What the block digests share: the buffering of an update (bytes wait in the
// context's buffer until a block is whole; whole blocks of the caller's data
// are compressed where they lie) and the padding bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// blocks(p, n) compresses n whole blocks at p. used: bytes already waiting.
template <size_t Block, typename Blocks>
inline void hash_block_feed(uint8_t *buffer, size_t used, const uint8_t *data, size_t len, Blocks &&blocks)
{
    if (used != 0) {
        const size_t take = Block - used < len ? Block - used : len;
        memcpy(buffer + used, data, take);
        if (used + take < Block)
            return;
        blocks(buffer, 1);
        data += take;
        len -= take;
    }
    if (const size_t n = len / Block; n != 0) {
        blocks(data, n);
        data += n * Block;
        len -= n * Block;
    }
    if (len != 0)
        memcpy(buffer, data, len);
}

// The padding the digests feed through their own update: 0x80, then zeros.
inline constexpr uint8_t k_hash_pad[128] = {0x80};

// Adds len bytes to a message length kept in bits as two 32-bit words, low
// word first, carrying across the words.
inline void hash_count_add_bits(uint32_t count[2], size_t len)
{
    const uint64_t bits = ((uint64_t{count[1]} << 32) | count[0]) + (uint64_t{len} << 3);
    count[0] = static_cast<uint32_t>(bits);
    count[1] = static_cast<uint32_t>(bits >> 32);
}
