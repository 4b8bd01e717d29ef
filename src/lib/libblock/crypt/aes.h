// AES (FIPS-197) block core: key expansion into schedule records and the
// portable table-driven block transforms. The AES-NI transforms read the very
// same records, so one expansion serves either path. Used by the XTS routines.
#pragma once

#include <cstdint>

// One expanded key. rk holds the schedule bytes in FIPS-197 order (round key r
// at bytes 16r..16r+15); last is 16 x the number of rounds: 160, 192 or 224.
struct aes_schedule {
    uint32_t rk[60];
    uint32_t last;
};

// Decryption schedules are the equivalent inverse cipher's (round keys in
// reverse order, the inner ones passed through InvMixColumns).
int aes128_enc_schedule(const uint8_t *key, aes_schedule *s);
int aes192_enc_schedule(const uint8_t *key, aes_schedule *s);
int aes256_enc_schedule(const uint8_t *key, aes_schedule *s);
int aes128_dec_schedule(const uint8_t *key, aes_schedule *s);
int aes192_dec_schedule(const uint8_t *key, aes_schedule *s);
int aes256_dec_schedule(const uint8_t *key, aes_schedule *s);

// size in bytes (16, 24, 32) or bits (128, 192, 256); any other size
// returns 1 with the schedule untouched, else 0.
int aes_set_enc_key(const uint8_t *key, uint32_t size, aes_schedule *s);
int aes_set_dec_key(const uint8_t *key, uint32_t size, aes_schedule *s);

// One block; in and out may be the same. -1 with out untouched when the
// schedule's last-round offset is not 160, 192 or 224.
int aes_enc_block(const uint8_t *in, uint8_t *out, const aes_schedule *s);
int aes_dec_block(const uint8_t *in, uint8_t *out, const aes_schedule *s);
