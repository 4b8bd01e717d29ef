// The block layer's cipher: XTS-AES-256 over 512-byte data units numbered
// from the export's first byte, one 256-bit key serving as both data key and
// tweak key. One context per open device, created when the export name asks
// for "alg=aes", used by that device's one thread, freed with the device.
#pragma once

#include <cstdint>

#include "libblock/crypt/aes.h"

struct str_vector;

struct bd_cipher {
    uint32_t      kind;       // 1: AES, the only kind
    aes_schedule *schedules;  // [0] encryption, [1] decryption
};

// The known algorithm names ("aes"); the caller frees the vector.
str_vector *bd_cipher_list();
// nullptr (errno EINVAL) unless name is exactly "aes", or when memory runs out.
bd_cipher *bd_cipher_new(const char *name);
int        bd_cipher_free(bd_cipher *c);
// key: at least 32 bytes, of which bytes 0..31 are the AES-256 key. 0, or -1
// for a context of an unknown kind.
int        bd_cipher_set_key(bd_cipher *c, const uint8_t *key);

// In place; the first data unit is offset / 512. Requires (checked by the
// block layer): offset and len multiples of 512.
void bd_cipher_encrypt(bd_cipher *c, int64_t offset, void *data, uint64_t len);
void bd_cipher_decrypt(bd_cipher *c, int64_t offset, void *data, uint64_t len);
