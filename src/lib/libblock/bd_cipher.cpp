// Cipher glue: name lookup, key setting and the per-request calls. The same
// schedule pair is handed to XTS as data key and tweak key, so media written
// here read back under IEEE 1619 XTS-AES-256 with Key1 = Key2 = the key.
#include "libblock/bd_cipher.h"

#include <cerrno>
#include <cstring>
#include <string.h>

#include "libblock/crypt/xts.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"

str_vector *bd_cipher_list()
{
    str_vector *v = str_vector_new(STR_F_NO_EMPTY | STR_F_UNIQUE);
    if (v != nullptr && str_vector_push_back(v, "aes") < 0) {
        str_vector_free(v);
        return nullptr;
    }
    return v;
}

bd_cipher *bd_cipher_new(const char *name)
{
    if (name == nullptr || strcmp(name, "aes") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto *c = static_cast<bd_cipher *>(os_zalloc(sizeof(bd_cipher)));
    if (c == nullptr)
        return nullptr;
    c->schedules = static_cast<aes_schedule *>(os_zalloc(2 * sizeof(aes_schedule)));
    if (c->schedules == nullptr) {
        os_free(c);
        return nullptr;
    }
    c->kind = CIPHER_KIND_AES;
    return c;
}

int bd_cipher_free(bd_cipher *c)
{
    if (c == nullptr)
        return 0;
    // The schedules are the key in another form: they do not outlive the device.
    explicit_bzero(c->schedules, 2 * sizeof(aes_schedule));
    os_free(c->schedules);
    os_free(c);
    return 0;
}

int bd_cipher_set_key(bd_cipher *c, const uint8_t *key)
{
    if (c == nullptr || c->kind != CIPHER_KIND_AES)
        return -1;
    aes256_enc_schedule(key, &c->schedules[0]);
    aes256_dec_schedule(key, &c->schedules[1]);
    return 0;
}

void bd_cipher_encrypt(bd_cipher *c, int64_t offset, void *data, uint64_t len)
{
    xts_encrypt(static_cast<uint8_t *>(data), len, static_cast<uint64_t>(offset / XTS_UNIT_SIZE), 0, c->schedules,
                c->schedules, c->kind);
}

void bd_cipher_decrypt(bd_cipher *c, int64_t offset, void *data, uint64_t len)
{
    xts_decrypt(static_cast<uint8_t *>(data), len, static_cast<uint64_t>(offset / XTS_UNIT_SIZE), 0, c->schedules,
                c->schedules, c->kind);
}
