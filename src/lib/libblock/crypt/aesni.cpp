// AES-NI rounds. A group of up to 15 blocks stays in registers while each
// round key is loaded once and applied to all of them, which hides the
// latency of the round instruction; 15 blocks plus the round key fill the 16
// registers of SSE2 x86-64.
#include "libblock/crypt/aesni.h"

#if defined(__x86_64__)

#include <emmintrin.h>
#include <string.h>
#include <wmmintrin.h>

#define AESNI_TARGET __attribute__((target("aes,sse2")))

namespace {

constexpr int      k_rounds     = 14;
constexpr uint64_t k_unit_bytes = 512;

AESNI_TARGET inline __m128i round_key(const aes_schedule *s, int r)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(s->rk) + r);
}

// x^1 in GF(2^128) on a little-endian tweak: each 32-bit lane shifts left,
// the bit leaving a lane enters the next, the bit leaving the top folds back
// as 0x87.
AESNI_TARGET inline __m128i gf_double(__m128i t)
{
    __m128i carry = _mm_shuffle_epi32(_mm_srai_epi32(t, 31), 0x93);
    carry = _mm_and_si128(carry, _mm_set_epi32(1, 1, 1, 0x87));
    return _mm_xor_si128(_mm_add_epi32(t, t), carry);
}

// One group of N blocks through the 14 rounds, each round key loaded once;
// with tweaks given, every block is XORed with its tweak before and after.
template <int N, bool Enc>
AESNI_TARGET inline void group(const aes_schedule *s, uint8_t *p, const __m128i *tw = nullptr)
{
    __m128i *q = reinterpret_cast<__m128i *>(p);
    __m128i x[N];
    __m128i k = round_key(s, 0);
    for (int i = 0; i < N; i++) {
        x[i] = _mm_loadu_si128(q + i);
        if (tw != nullptr)
            x[i] = _mm_xor_si128(x[i], tw[i]);
        x[i] = _mm_xor_si128(x[i], k);
    }
    for (int r = 1; r < k_rounds; r++) {
        k = round_key(s, r);
        for (int i = 0; i < N; i++)
            x[i] = Enc ? _mm_aesenc_si128(x[i], k) : _mm_aesdec_si128(x[i], k);
    }
    k = round_key(s, k_rounds);
    for (int i = 0; i < N; i++) {
        x[i] = Enc ? _mm_aesenclast_si128(x[i], k) : _mm_aesdeclast_si128(x[i], k);
        if (tw != nullptr)
            x[i] = _mm_xor_si128(x[i], tw[i]);
        _mm_storeu_si128(q + i, x[i]);
    }
}

// One unit whose encrypted tweak is t. Each group's tweaks are made just
// before it, so the doubling chain of the next group overlaps the rounds of
// this one.
template <bool Enc>
AESNI_TARGET inline void xts_unit(const aes_schedule *s, __m128i t, uint8_t *data)
{
    __m128i tw[32];
    constexpr int k_groups[3][2] = {{0, 15}, {15, 30}, {30, 32}};
    for (const auto &g : k_groups) {
        for (int j = g[0]; j < g[1]; j++) {
            tw[j] = t;
            t = gf_double(t);
        }
        if (g[1] - g[0] == 15)
            group<15, Enc>(s, data + 16 * g[0], tw + g[0]);
        else
            group<2, Enc>(s, data + 16 * g[0], tw + g[0]);
    }
    // Tweaks are key-derived: none stays behind on the stack.
    explicit_bzero(tw, sizeof(tw));
}

// The tweaks of up to 8 units are encrypted together, hiding the latency of
// the tweak encryption that a lone unit must wait for.
template <bool Enc>
AESNI_TARGET inline void xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                   uint8_t *data, uint64_t count)
{
    constexpr uint64_t k_batch = 8;
    alignas(16) uint8_t t0[k_batch][16];
    const aes_schedule *s = Enc ? &data_keys[0] : &data_keys[1];
    while (count > 0) {
        const uint64_t n = count < k_batch ? count : k_batch;
        memset(t0, 0, sizeof(t0));
        for (uint64_t u = 0; u < n; u++)
            for (int i = 0; i < 8; i++)
                t0[u][i] = static_cast<uint8_t>((unit + u) >> (8 * i));
        if (n == 1)
            group<1, true>(tweak_keys, t0[0]);
        else
            group<k_batch, true>(tweak_keys, t0[0]);
        for (uint64_t u = 0; u < n; u++)
            xts_unit<Enc>(s, _mm_load_si128(reinterpret_cast<const __m128i *>(t0[u])), data + k_unit_bytes * u);
        unit += n;
        data += k_unit_bytes * n;
        count -= n;
    }
    explicit_bzero(t0, sizeof(t0));
}

template <bool Enc>
AESNI_TARGET inline void unit_32(const aes_schedule *s, uint8_t *data)
{
    group<15, Enc>(s, data);
    group<15, Enc>(s, data + 15 * 16);
    group<2, Enc>(s, data + 30 * 16);
}

}  // namespace

AESNI_TARGET void aesni_enc_block(const aes_schedule *s, uint8_t *block)
{
    group<1, true>(s, block);
}

AESNI_TARGET void aesni_dec_block(const aes_schedule *s, uint8_t *block)
{
    group<1, false>(s, block);
}

AESNI_TARGET void aesni_enc_32(const aes_schedule *s, uint8_t *data)
{
    unit_32<true>(s, data);
}

AESNI_TARGET void aesni_dec_32(const aes_schedule *s, uint8_t *data)
{
    unit_32<false>(s, data);
}

AESNI_TARGET void aesni_xts_enc_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                      uint8_t *data, uint64_t count)
{
    xts_units<true>(data_keys, tweak_keys, unit, data, count);
}

AESNI_TARGET void aesni_xts_dec_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                      uint8_t *data, uint64_t count)
{
    xts_units<false>(data_keys, tweak_keys, unit, data, count);
}

#endif
