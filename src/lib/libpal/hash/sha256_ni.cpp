// SHA-256 on the SHA extensions. The state lives in two registers in the
// order the round instruction wants (ABEF and CDGH); each group of four
// rounds adds the round constants to four message words, runs two double
// rounds, and advances the message schedule with the msg1/msg2 helpers,
// whose words are ready two groups before they are needed.
#include "libpal/hash/sha256_ni.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <utility>

#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace {

// Rounds 4G to 4G+3. m holds the schedule words in a ring of four registers.
template <int G>
SHA_TARGET inline void group(__m128i &abef, __m128i &cdgh, __m128i (&m)[4], const uint8_t *p, __m128i bswap)
{
    constexpr int cur = G % 4, prev = (G + 3) % 4, next = (G + 1) % 4;
    if constexpr (G < 4)
        m[cur] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * G)), bswap);
    __m128i msg = _mm_add_epi32(m[cur], _mm_loadu_si128(reinterpret_cast<const __m128i *>(sha256_round_k + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
    if constexpr (G >= 3 && G <= 14) {
        m[next] = _mm_add_epi32(m[next], _mm_alignr_epi8(m[cur], m[prev], 4));
        m[next] = _mm_sha256msg2_epu32(m[next], m[cur]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
    if constexpr (G >= 1 && G <= 12)
        m[prev] = _mm_sha256msg1_epu32(m[prev], m[cur]);
}

template <int... G>
SHA_TARGET inline void block(__m128i &abef, __m128i &cdgh, const uint8_t *p, __m128i bswap,
                             std::integer_sequence<int, G...>)
{
    __m128i m[4];
    (group<G>(abef, cdgh, m, p, bswap), ...);
}

}  // namespace

SHA_TARGET void sha256_blocks_ni(uint32_t h[8], const uint8_t *p, size_t n)
{
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    // h[0..3] = ABCD and h[4..7] = EFGH into ABEF and CDGH (high lane first).
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; n != 0; n--, p += 64) {
        const __m128i abef0 = abef, cdgh0 = cdgh;
        block(abef, cdgh, p, bswap, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, abef0);
        cdgh = _mm_add_epi32(cdgh, cdgh0);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#else

void sha256_blocks_ni(uint32_t *, const uint8_t *, size_t) {}

#endif
