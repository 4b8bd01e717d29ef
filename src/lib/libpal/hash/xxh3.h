// XXH3 128-bit hashes through the xxHash library's run-time dispatch (SSE2,
// AVX2 or AVX-512, chosen by the library once). The streaming state is the
// library's own; its text form is the state's memory image, meaningful only
// to the same build of the library, and is checked when read back. Used by
// the file-hash tool. A state is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <xxhash.h>

constexpr size_t PL_XXH3_128_DIGEST_SIZE = 16;
constexpr size_t PL_XXH3_STATE_SIZE = 576;
// The state text (two hex digits per byte) and its NUL.
constexpr size_t PL_XXH3_CTX_TEXT_SIZE = 2 * PL_XXH3_STATE_SIZE + 1;

// A zeroed, reset state, or nullptr when the library cannot allocate one.
// Requires: pl_xxh3_128_free.
XXH3_state_t *pl_xxh3_128_new();
void pl_xxh3_128_free(XXH3_state_t *state);
// The library's result: 0 (XXH_OK) or 1 (XXH_ERROR).
int pl_xxh3_128_update(XXH3_state_t *state, const void *data, size_t len);
// The canonical form: the high 64 bits first, each half big-endian.
void pl_xxh3_128_final(XXH3_state_t *state, uint8_t digest[PL_XXH3_128_DIGEST_SIZE]);
// The state as 1152 lower-case hex digits: 0, or -1 (logged) when size is
// below PL_XXH3_CTX_TEXT_SIZE.
int pl_xxh3_128_get_ctx(const XXH3_state_t *state, char *text, size_t size);
// Reads a state text; a shorter text replaces only the leading bytes. The
// secret pointer is this process's own and the state's sizes and counts must
// be those a reset and updates make: 0, or -1 with the state unchanged.
int pl_xxh3_128_set_ctx(XXH3_state_t *state, const char *text);
void pl_xxh3_128_buf(const void *data, size_t len, uint8_t digest[PL_XXH3_128_DIGEST_SIZE]);
