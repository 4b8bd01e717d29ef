// This build carries no cipher: no context can be made, so an encrypted
// export is refused at open and no data is ever served in clear.
#include <cerrno>
#include <cstring>

#include "libblock/bd_cipher.h"
#include "libpal/string/str_array.h"

str_vector *bd_cipher_list()
{
    return str_vector_new(0);
}

bd_cipher *bd_cipher_new(const char *alg)
{
    errno = alg != nullptr && strcmp(alg, "aes") == 0 ? ENOSYS : EINVAL;
    return nullptr;
}

int bd_cipher_free(bd_cipher *)
{
    return 0;
}

int bd_cipher_set_key(bd_cipher *, const uint8_t *)
{
    return -1;
}

// No context exists to call these with.
void bd_cipher_encrypt(bd_cipher *, int64_t, void *, uint64_t) {}
void bd_cipher_decrypt(bd_cipher *, int64_t, void *, uint64_t) {}
