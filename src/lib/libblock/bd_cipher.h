// Cipher glue of the block layer: one AES-XTS context per encrypted device,
// keyed once after creation, transforming whole 512-byte data units in place.
// Units are numbered from the export's first byte (offset / 512).
#pragma once

#include <cstdint>

struct str_vector;
struct bd_cipher;

// The names of the algorithms this build serves (a new vector; the caller
// frees it with str_vector_free).
str_vector *bd_cipher_list();
// nullptr when the name is not served: errno ENOSYS when it names an
// algorithm this build does not carry, else EINVAL.
bd_cipher *bd_cipher_new(const char *alg);
int bd_cipher_free(bd_cipher *ctx);
// key: at least 32 bytes, of which the first 32 are used. 0 or -1.
int bd_cipher_set_key(bd_cipher *ctx, const uint8_t *key);
void bd_cipher_encrypt(bd_cipher *ctx, int64_t offset, void *data, uint64_t len);
void bd_cipher_decrypt(bd_cipher *ctx, int64_t offset, void *data, uint64_t len);
