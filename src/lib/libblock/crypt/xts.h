// XTS over 512-byte data units (IEEE Std 1619) on the AES core, and the
// dispatch between the portable path and those on the AES instructions.
// Schedules come in pairs: [0] encryption, [1] decryption. Data is
// transformed in place; a tail of fewer than 16 bytes is left as it is (no
// ciphertext stealing). Used by the cipher glue of the block layer.
#pragma once

#include <cstdint>

#include "libblock/crypt/aes.h"

constexpr uint32_t CIPHER_KIND_AES = 1;
constexpr uint32_t XTS_UNIT_SIZE   = 512;
constexpr uint32_t XTS_UNIT_BLOCKS = 32;

// The AES paths, slowest first; each needs the processor features of the
// ones before it. The probe picks the fastest at the first use and keeps it
// for the process; tests and benchmarks may force another to compare them.
enum cipher_path : uint32_t {
    CIPHER_PATH_PORTABLE = 0,  // table-driven AES, any processor
    CIPHER_PATH_AESNI    = 1,  // AES-NI, one block per register
    CIPHER_PATH_VAES256  = 2,  // VAES with AVX2, two blocks per register
    CIPHER_PATH_VAES512  = 3,  // VAES with AVX-512F, four blocks per register
};

cipher_path cipher_path_best();
cipher_path cipher_path_current();
bool        cipher_path_available(cipher_path p);
// 0, or -1 with the current path unchanged when the processor lacks p.
int         cipher_path_force(cipher_path p);
// "portable", "aesni", "vaes256", "vaes512"; "?" for anything else.
const char *cipher_path_name(cipher_path p);
// True for kind AES on any path but the portable one.
bool        cipher_hw_enabled(uint32_t kind);

// Kinds other than CIPHER_KIND_AES leave the data unchanged.
void cipher_encrypt_block(uint32_t kind, uint8_t *block, const aes_schedule *keys);
void cipher_decrypt_block(uint32_t kind, uint8_t *block, const aes_schedule *keys);
void cipher_encrypt_blocks(uint32_t kind, uint8_t *data, const aes_schedule *keys, uint64_t count);
void cipher_decrypt_blocks(uint32_t kind, uint8_t *data, const aes_schedule *keys, uint64_t count);

// unit: the first data unit's number; block: the first block's index in that
// unit (0..31). The tweak is always encrypted under tweak_keys[0].
void xts_encrypt(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                 const aes_schedule *tweak_keys, uint32_t kind);
void xts_decrypt(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                 const aes_schedule *tweak_keys, uint32_t kind);
// The whole-unit forms (all the tweaks of a unit first, then its blocks
// together); the same bytes as the forms above, which hand over to them on
// any path but the portable one.
void xts_encrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind);
void xts_decrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind);
