// XTS units with VAES on 512-bit registers (AVX-512F): four blocks per
// register, so a group of 8 registers carries a whole unit, and its 8
// registers of tweaks stay beside it.
#include "libblock/crypt/aesni.h"

#if defined(__x86_64__)

#include <string.h>

// g++ 12's AVX-512 intrinsics start from a self-initialised "undefined"
// register (GCC bug 105593), which -Wmaybe-uninitialized reports once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#define XTS_TARGET __attribute__((target("vaes,avx512f")))

namespace {

struct zmm_lanes {
    using vec                  = __m512i;
    static constexpr int lanes = 4;

    XTS_TARGET static vec load(const uint8_t *p) { return _mm512_loadu_si512(p); }
    XTS_TARGET static void store(uint8_t *p, vec v) { _mm512_storeu_si512(p, v); }
    XTS_TARGET static vec key(const uint32_t *rk)
    {
        return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i *>(rk)));
    }
    XTS_TARGET static vec enc(vec v, vec k) { return _mm512_aesenc_epi128(v, k); }
    XTS_TARGET static vec enc_last(vec v, vec k) { return _mm512_aesenclast_epi128(v, k); }
    XTS_TARGET static vec dec(vec v, vec k) { return _mm512_aesdec_epi128(v, k); }
    XTS_TARGET static vec dec_last(vec v, vec k) { return _mm512_aesdeclast_epi128(v, k); }
    XTS_TARGET static vec steps() { return _mm512_set_epi64(3, 3, 2, 2, 1, 1, 0, 0); }
    XTS_TARGET static vec shl(vec v, int k)
    {
        return _mm512_sllv_epi64(v, _mm512_add_epi64(_mm512_set1_epi64(k), steps()));
    }
    XTS_TARGET static vec shr(vec v, int k)
    {
        return _mm512_srlv_epi64(v, _mm512_sub_epi64(_mm512_set1_epi64(64 - k), steps()));
    }
    XTS_TARGET static vec shl_all(vec v, int n) { return _mm512_slli_epi64(v, static_cast<unsigned>(n)); }
    XTS_TARGET static vec swap(vec v) { return _mm512_shuffle_epi32(v, _MM_PERM_BADC); }
    XTS_TARGET static vec low_halves() { return _mm512_set_epi64(0, -1, 0, -1, 0, -1, 0, -1); }
    XTS_TARGET static vec unit_blocks(uint64_t u)
    {
        const auto n = [u](uint64_t j) { return static_cast<long long>(u + j); };
        return _mm512_set_epi64(0, n(3), 0, n(2), 0, n(1), 0, n(0));
    }
    XTS_TARGET static vec spread(const vec *t, int u)
    {
        const vec idx = _mm512_add_epi64(_mm512_set1_epi64(2 * (u % 4)), _mm512_set_epi64(1, 0, 1, 0, 1, 0, 1, 0));
        return _mm512_permutexvar_epi64(idx, t[u / 4]);
    }
};

#include "libblock/crypt/xts_lanes.h"

}  // namespace

XTS_TARGET void vaes512_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                  uint8_t *data, uint64_t count, bool enc)
{
    xts_whole_units<zmm_lanes>(data_keys, tweak_keys, unit, data, count, enc);
}

#endif
