// AES-NI rounds on 128-bit registers. A group of 8 blocks stays in registers
// while each round key is applied to all of them, which hides the latency of
// the round instruction; XTS units go through the shared whole-unit body with
// one block per register.
#include "libblock/crypt/aesni.h"

#if defined(__x86_64__)

#include <string.h>

#include <emmintrin.h>
#include <wmmintrin.h>

#define XTS_TARGET __attribute__((target("aes,sse2")))

namespace {

struct xmm_lanes {
    using vec                  = __m128i;
    static constexpr int lanes = 1;

    XTS_TARGET static vec load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const vec *>(p)); }
    XTS_TARGET static void store(uint8_t *p, vec v) { _mm_storeu_si128(reinterpret_cast<vec *>(p), v); }
    XTS_TARGET static vec key(const uint32_t *rk) { return load(reinterpret_cast<const uint8_t *>(rk)); }
    XTS_TARGET static vec enc(vec v, vec k) { return _mm_aesenc_si128(v, k); }
    XTS_TARGET static vec enc_last(vec v, vec k) { return _mm_aesenclast_si128(v, k); }
    XTS_TARGET static vec dec(vec v, vec k) { return _mm_aesdec_si128(v, k); }
    XTS_TARGET static vec dec_last(vec v, vec k) { return _mm_aesdeclast_si128(v, k); }
    XTS_TARGET static vec unit_blocks(uint64_t u) { return _mm_set_epi64x(0, static_cast<long long>(u)); }
    XTS_TARGET static vec spread(const vec *t, int u) { return t[u]; }
    // t times x^0 .. x^7 into tw, and t times x^8 returned. Doubling shifts
    // each 64-bit half left; the bit leaving the low half enters the high
    // half, the bit leaving the top folds back as 0x87. Those two top bits
    // are followed in a copy (bits 127 and 63 in dwords 0 and 2) that
    // doubles on its own, so one tweak follows the last by an add and an XOR.
    XTS_TARGET static vec tweak_run(vec t, vec *tw)
    {
        const vec fold = _mm_set_epi32(0, 1, 0, 0x87);
        vec tops       = _mm_shuffle_epi32(t, 0x13);
#pragma GCC unroll 8
        for (int i = 0; i < 8; i++) {
            tw[i]           = t;
            const vec carry = _mm_and_si128(_mm_srai_epi32(tops, 31), fold);
            tops            = _mm_add_epi32(tops, tops);
            t               = _mm_xor_si128(_mm_add_epi64(t, t), carry);
        }
        return t;
    }
};

#include "libblock/crypt/xts_lanes.h"

using W = xmm_lanes;

// N blocks in place, no tweak: ECB over one group.
template <int N, bool Enc>
XTS_TARGET inline void group(const aes_schedule *s, uint8_t *p)
{
    W::vec x[N];
    const W::vec first = W::key(s->rk), last = W::key(s->rk + 4 * k_aes_rounds);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        x[i] = W::load(p + 16 * i) ^ first;
    aes_middle_rounds<W, N, Enc>(s, x);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        W::store(p + 16 * i, Enc ? W::enc_last(x[i], last) : W::dec_last(x[i], last));
}

template <bool Enc>
XTS_TARGET inline void unit_32(const aes_schedule *s, uint8_t *data)
{
#pragma GCC unroll 4
    for (int g = 0; g < 32; g += k_xts_group)
        group<k_xts_group, Enc>(s, data + 16 * g);
}

}  // namespace

XTS_TARGET void aesni_enc_block(const aes_schedule *s, uint8_t *block)
{
    group<1, true>(s, block);
}

XTS_TARGET void aesni_dec_block(const aes_schedule *s, uint8_t *block)
{
    group<1, false>(s, block);
}

XTS_TARGET void aesni_enc_32(const aes_schedule *s, uint8_t *data)
{
    unit_32<true>(s, data);
}

XTS_TARGET void aesni_dec_32(const aes_schedule *s, uint8_t *data)
{
    unit_32<false>(s, data);
}

XTS_TARGET void aesni_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                uint8_t *data, uint64_t count, bool enc)
{
    xts_whole_units<W>(data_keys, tweak_keys, unit, data, count, enc);
}

#endif
