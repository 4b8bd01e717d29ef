// The SHA-2 compression that SHA-256 and SHA-512 share: the same message
// schedule and rounds over 32- or 64-bit words, differing only in the round
// count, the constants and the rotation amounts (FIPS 180-4, section 6).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "libpal/os/os_byte_order.h"

// Word is uint32_t or uint64_t. big0 and big1 are the three rotations of the
// round functions; small0 and small1 the two rotations and the shift of the
// message schedule.
template <typename Word, int Rounds>
struct sha2_spec {
    const Word *k;
    int big0[3], big1[3], small0[3], small1[3];
};

template <typename Word, int Rounds>
inline void sha2_compress(const sha2_spec<Word, Rounds> &s, Word h[8], const uint8_t *block)
{
    Word w[Rounds];
    for (int i = 0; i < 16; i++) {
        if constexpr (sizeof(Word) == 4)
            w[i] = be32_load(block + 4 * i);
        else
            w[i] = be64_load(block + 8 * i);
    }
    for (int i = 16; i < Rounds; i++) {
        const Word x = w[i - 15], y = w[i - 2];
        const Word s0 = std::rotr(x, s.small0[0]) ^ std::rotr(x, s.small0[1]) ^ (x >> s.small0[2]);
        const Word s1 = std::rotr(y, s.small1[0]) ^ std::rotr(y, s.small1[1]) ^ (y >> s.small1[2]);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    Word a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
#pragma GCC unroll 80
    for (int i = 0; i < Rounds; i++) {
        const Word e1 = std::rotr(e, s.big1[0]) ^ std::rotr(e, s.big1[1]) ^ std::rotr(e, s.big1[2]);
        const Word a0 = std::rotr(a, s.big0[0]) ^ std::rotr(a, s.big0[1]) ^ std::rotr(a, s.big0[2]);
        const Word t1 = hh + e1 + ((e & f) ^ (~e & g)) + s.k[i] + w[i];
        const Word t2 = a0 + ((a & b) ^ (a & c) ^ (b & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}
