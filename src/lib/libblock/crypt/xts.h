// XTS over 512-byte data units (IEEE Std 1619) on the AES core, and the
// block-level dispatch between the portable and the AES-NI paths. Schedules
// come in pairs: [0] encryption, [1] decryption. Data is transformed in
// place; a tail of fewer than 16 bytes is left as it is (no ciphertext
// stealing). Used by the cipher glue of the block layer.
#pragma once

#include <cstdint>

#include "libblock/crypt/aes.h"

constexpr uint32_t CIPHER_KIND_AES = 1;
constexpr uint32_t XTS_UNIT_SIZE   = 512;
constexpr uint32_t XTS_UNIT_BLOCKS = 32;

// The process-wide AES-NI flag, rewritten from the probe at every key
// setting. With the portable path forced (benchmarks, tests that compare the
// two paths) the flag stays off whatever the processor offers.
void cipher_hw_select();
void cipher_force_portable(bool on);
bool cipher_hw_enabled(uint32_t kind);

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
// The whole-unit forms (tweak table, one multi-block call per unit); the same
// bytes as the forms above, which hand over to them when the AES-NI flag is on.
void xts_encrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind);
void xts_decrypt_hw(uint8_t *data, uint64_t len, uint64_t unit, uint32_t block, const aes_schedule *data_keys,
                    const aes_schedule *tweak_keys, uint32_t kind);
