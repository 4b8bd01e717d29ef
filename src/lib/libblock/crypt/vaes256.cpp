// XTS units with VAES on 256-bit registers (AVX2): two blocks per register,
// so a group of 8 registers carries 16 blocks, half a unit.
#include "libblock/crypt/aesni.h"

#if defined(__x86_64__)

#include <string.h>

#include <immintrin.h>

#define XTS_TARGET __attribute__((target("vaes,avx2")))

namespace {

struct ymm_lanes {
    using vec                  = __m256i;
    static constexpr int lanes = 2;

    XTS_TARGET static vec load(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const vec *>(p)); }
    XTS_TARGET static void store(uint8_t *p, vec v) { _mm256_storeu_si256(reinterpret_cast<vec *>(p), v); }
    XTS_TARGET static vec key(const uint32_t *rk)
    {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(rk)));
    }
    XTS_TARGET static vec enc(vec v, vec k) { return _mm256_aesenc_epi128(v, k); }
    XTS_TARGET static vec enc_last(vec v, vec k) { return _mm256_aesenclast_epi128(v, k); }
    XTS_TARGET static vec dec(vec v, vec k) { return _mm256_aesdec_epi128(v, k); }
    XTS_TARGET static vec dec_last(vec v, vec k) { return _mm256_aesdeclast_epi128(v, k); }
    XTS_TARGET static vec steps() { return _mm256_set_epi64x(1, 1, 0, 0); }
    XTS_TARGET static vec shl(vec v, int k)
    {
        return _mm256_sllv_epi64(v, _mm256_add_epi64(_mm256_set1_epi64x(k), steps()));
    }
    XTS_TARGET static vec shr(vec v, int k)
    {
        return _mm256_srlv_epi64(v, _mm256_sub_epi64(_mm256_set1_epi64x(64 - k), steps()));
    }
    XTS_TARGET static vec shl_all(vec v, int n) { return _mm256_slli_epi64(v, n); }
    XTS_TARGET static vec swap(vec v) { return _mm256_shuffle_epi32(v, 0x4E); }
    XTS_TARGET static vec low_halves() { return _mm256_set_epi64x(0, -1, 0, -1); }
    XTS_TARGET static vec unit_blocks(uint64_t u)
    {
        return _mm256_set_epi64x(0, static_cast<long long>(u + 1), 0, static_cast<long long>(u));
    }
    XTS_TARGET static vec spread(const vec *t, int u)
    {
        const vec idx = _mm256_add_epi32(_mm256_set1_epi32(4 * (u % 2)), _mm256_set_epi32(3, 2, 1, 0, 3, 2, 1, 0));
        return _mm256_permutevar8x32_epi32(t[u / 2], idx);
    }
};

#include "libblock/crypt/xts_lanes.h"

}  // namespace

XTS_TARGET void vaes256_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                                  uint8_t *data, uint64_t count, bool enc)
{
    xts_whole_units<ymm_lanes>(data_keys, tweak_keys, unit, data, count, enc);
}

#endif
