// AES-256 on the processor's AES-NI instructions (x86-64 only), reading the
// schedule records of aes.h: the encryption schedule for the enc calls, the
// equivalent-inverse decryption schedule for the dec calls. Blocks are
// transformed in place and need no alignment. Callers run these only after
// cpu_has_aesni() said yes.
#pragma once

#include <cstdint>

#include "libblock/crypt/aes.h"

#if defined(__x86_64__)
void aesni_enc_block(const aes_schedule *s, uint8_t *block);
void aesni_dec_block(const aes_schedule *s, uint8_t *block);
// 32 consecutive blocks (one 512-byte data unit), as two groups of 15
// interleaved blocks and a group of 2.
void aesni_enc_32(const aes_schedule *s, uint8_t *data);
void aesni_dec_32(const aes_schedule *s, uint8_t *data);
// count whole XTS data units (32 blocks each) in place from unit number
// unit: each unit's tweak encrypted under tweak_keys[0], its 32 tweaks kept in
// a table, the data XORed with them on the way into and out of the 15/15/2
// interleaved groups under data_keys[0] (enc) or data_keys[1] (dec).
void aesni_xts_enc_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                         uint8_t *data, uint64_t count);
void aesni_xts_dec_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit,
                         uint8_t *data, uint64_t count);
#endif
