// AES-256 on the processor's AES instructions (x86-64 only), reading the
// schedule records of aes.h: the encryption schedule for the enc calls, the
// equivalent-inverse decryption schedule for the dec calls. Blocks are
// transformed in place and need no alignment. Callers run these only on the
// path the probe allows (xts.h): the aesni_ calls after cpu_has_aesni(), the
// vaes256_ calls with AVX2 and VAES, the vaes512_ calls with AVX-512F and VAES.
#pragma once

#include <cstdint>

#include "libblock/crypt/aes.h"

#if defined(__x86_64__)
void aesni_enc_block(const aes_schedule *s, uint8_t *block);
void aesni_dec_block(const aes_schedule *s, uint8_t *block);
// 32 consecutive blocks (one 512-byte data unit), as four groups of 8
// interleaved blocks.
void aesni_enc_32(const aes_schedule *s, uint8_t *data);
void aesni_dec_32(const aes_schedule *s, uint8_t *data);

// count whole XTS data units (32 blocks each) in place from unit number
// unit: each unit's tweak encrypted under tweak_keys[0], the data under
// data_keys[0] when enc, else data_keys[1]. The same bytes on every path.
void aesni_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit, uint8_t *data,
                     uint64_t count, bool enc);
void vaes256_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit, uint8_t *data,
                       uint64_t count, bool enc);
void vaes512_xts_units(const aes_schedule *data_keys, const aes_schedule *tweak_keys, uint64_t unit, uint8_t *data,
                       uint64_t count, bool enc);
#endif
