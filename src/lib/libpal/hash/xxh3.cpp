// The XXH3 wrappers: the library's dispatch entry points, and the state's
// memory image as text. The image carries a pointer to the library's
// default secret, which is an address in the process that wrote it: a
// restore takes that pointer from a fresh state of this process instead, and
// refuses sizes and counts that would send the library outside its buffers.
#include "libpal/hash/xxh3.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <xxh_x86dispatch.h>

#include <cstring>

#include "libpal/string/str_hex.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

static_assert(sizeof(XXH3_state_t) == PL_XXH3_STATE_SIZE, "the state text is the library's 576-byte state");

namespace {

// The longest input the library keeps whole in its buffer before it starts
// accumulating stripes.
constexpr uint64_t k_buffer_size = sizeof(XXH3_state_t::buffer);

bool state_valid(const XXH3_state_t &s, const XXH3_state_t &fresh)
{
    if (s.secretLimit != fresh.secretLimit || s.nbStripesPerBlock != fresh.nbStripesPerBlock ||
        s.useSeed != fresh.useSeed || s.seed != fresh.seed)
        return false;
    if (s.bufferedSize > k_buffer_size || s.nbStripesSoFar >= s.nbStripesPerBlock)
        return false;
    // A short message is held whole in the buffer; a longer one always
    // leaves some bytes there for the last stripe.
    if (s.totalLen <= k_buffer_size)
        return s.bufferedSize == s.totalLen;
    return s.bufferedSize != 0;
}

}  // namespace

XXH3_state_t *pl_xxh3_128_new()
{
    XXH3_state_t *state = XXH3_createState();
    if (state == nullptr)
        return nullptr;
    memset(state, 0, sizeof(*state));
    XXH3_128bits_reset(state);
    return state;
}

void pl_xxh3_128_free(XXH3_state_t *state)
{
    XXH3_freeState(state);
}

int pl_xxh3_128_update(XXH3_state_t *state, const void *data, size_t len)
{
    return XXH3_128bits_update_dispatch(state, data, len);
}

void pl_xxh3_128_final(XXH3_state_t *state, uint8_t digest[PL_XXH3_128_DIGEST_SIZE])
{
    XXH128_canonical_t canon;
    XXH128_canonicalFromHash(&canon, XXH3_128bits_digest(state));
    memcpy(digest, canon.digest, PL_XXH3_128_DIGEST_SIZE);
}

int pl_xxh3_128_get_ctx(const XXH3_state_t *state, char *text, size_t size)
{
    if (str_bin_encode_hex(state, static_cast<int>(sizeof(*state)), text, size) < 0) {
        ZLOG_ERR("str_bin_encode_hex failed\n");
        return -1;
    }
    return 0;
}

int pl_xxh3_128_set_ctx(XXH3_state_t *state, const char *text)
{
    XXH3_state_t next;
    memcpy(&next, state, sizeof(next));
    if (str_hex_decode_bin(text, false, &next, sizeof(next)) < 0) {
        ZLOG_ERR("str_hex_decode_bin failed\n");
        return -1;
    }
    XXH3_state_t fresh;
    memset(&fresh, 0, sizeof(fresh));
    XXH3_128bits_reset(&fresh);
    next.extSecret = fresh.extSecret;
    if (!state_valid(next, fresh)) {
        ZLOG_ERR("xxh3 state text refused\n");
        return -1;
    }
    memcpy(state, &next, sizeof(next));
    return 0;
}

void pl_xxh3_128_buf(const void *data, size_t len, uint8_t digest[PL_XXH3_128_DIGEST_SIZE])
{
    XXH128_canonical_t canon;
    XXH128_canonicalFromHash(&canon, XXH3_128bits_dispatch(data, len));
    memcpy(digest, canon.digest, PL_XXH3_128_DIGEST_SIZE);
}
