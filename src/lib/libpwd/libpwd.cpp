// The stored credentials and the password and key checks.
#include "libpwd/libpwd.h"

#include <sys/random.h>

#include <cstring>
#include <string>
#include <vector>

#define ZLOG_TAG "pwd"
#include "libhttpd/httpd_content.h"
#include "liblog/zlog.h"
#include "libpal/hash/rc4.h"
#include "libpal/hash/sha1.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_check.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char k_wrong[] = "Wrong user or password";

// Written by libpwd_init, libpwd_set_user_pwd and libpwd_exit only, before or
// after the web tool serves requests.
char g_user[LIBPWD_TEXT_SIZE];
char g_password[LIBPWD_TEXT_SIZE];
char g_password_sha[LIBPWD_TEXT_SIZE];

const char *text_or_empty(const char *text) { return text != nullptr ? text : ""; }

// Compares without leaving the position of the first difference in the time taken.
bool same_secret(const char *a, const char *b)
{
    const size_t la = std::strlen(a);
    const size_t lb = std::strlen(b);
    unsigned diff = la != lb ? 1u : 0u;
    for (size_t i = 0; i < la; i++)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(i < lb ? b[i] : 0);
    return diff == 0;
}

void store_credentials(const char *user, const char *password)
{
    str_safecopy2(g_user, sizeof(g_user), text_or_empty(user));
    str_safecopy2(g_password, sizeof(g_password), text_or_empty(password));
    httpdPasswordSha(g_password, g_password_sha, sizeof(g_password_sha));
}

void wipe_credentials()
{
    explicit_bzero(g_user, sizeof(g_user));
    explicit_bzero(g_password, sizeof(g_password));
    explicit_bzero(g_password_sha, sizeof(g_password_sha));
}

// A refusal counted against addr: one warn line naming the address and the
// user as sent (escaped: it is the peer's text), never the password.
int refuse(const char *addr, const char *user, const char *what, char *err)
{
    ZLOG_WARN("ip=[%s] user=[%s] %s\n", text_or_empty(addr), str_log_text(user).c_str(), what);
    str_safecopy(err, LIBPWD_TEXT_SIZE, k_wrong);
    ipcheck_login_fail(addr, user);
    return LIBPWD_REFUSED;
}

// A locked address, refused before anything else is looked at.
bool locked(const char *addr, char *err)
{
    char msg[LIBPWD_TEXT_SIZE] = "";
    if (ipcheck_check(addr, msg) != LIBPWD_LOCKED)
        return false;
    ZLOG_WARN("ip=[%s] error: %s\n", text_or_empty(addr), msg);
    str_safecopy(err, LIBPWD_TEXT_SIZE, msg);
    return true;
}

void to_hex(const uint8_t *bytes, size_t n, char *out)
{
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = '\0';
}

// The challenge must not be guessable: it comes from the system's
// cryptographic source.
bool random_bytes(uint8_t *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = getrandom(buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

void precondition_failed()
{
    ZLOG_ERR("expr[%s]: assert failed\n", "ret != FALSE");
}

}  // namespace

int libpwd_init(const libpwd_param *param)
{
    wipe_credentials();
    store_credentials(param->user, param->password);
    ipcheck_init(param);
    return 0;
}

int libpwd_exit()
{
    wipe_credentials();
    ipcheck_exit();
    return 0;
}

int libpwd_set_user_pwd(const char *user, const char *password, char *err)
{
    if (!str_name_is_valid(user)) {
        str_sprintf_s2(err, LIBPWD_TEXT_SIZE, "user is invalid, Cannot use [%s]", STR_NAME_INVALID_CHARS);
        return -1;
    }
    if (!str_name_is_valid(password)) {
        str_sprintf_s2(err, LIBPWD_TEXT_SIZE, "passwd is invalid, Cannot use [%s]", STR_NAME_INVALID_CHARS);
        return -1;
    }
    wipe_credentials();
    store_credentials(user, password);
    return 0;
}

int libpwd_check_user_pwd(const char *addr, const char *user, const char *password, char *err)
{
    if (locked(addr, err))
        return LIBPWD_LOCKED;
    user = text_or_empty(user);
    password = text_or_empty(password);
    if (std::strcmp(user, ":") == 0) {
        str_safecopy(err, LIBPWD_TEXT_SIZE, k_wrong);
        return LIBPWD_REFUSED;
    }
    // Both compared whatever the first gives: the time taken tells nothing
    // of which one was wrong.
    const bool user_ok = same_secret(user, g_user);
    const bool password_ok = same_secret(password, g_password) | same_secret(password, g_password_sha);
    if (!user_ok)
        return refuse(addr, user, "wrong user", err);
    if (!password_ok)
        return refuse(addr, user, "wrong pwd", err);
    ipcheck_login_ok(addr, user);
    ZLOG_DBG("ip=[%s] [%s] login_ok\n", text_or_empty(addr), user);
    return LIBPWD_OK;
}

int libpwd_user_get_cert(const char *addr, int flag, int *flag_out, const char *user, char *challenge,
                         size_t challenge_size, char *key, size_t key_size, char *err)
{
    if (flag_out != nullptr)
        *flag_out = flag > 0 ? 1 : flag;
    user = text_or_empty(user);
    if (!same_secret(user, g_user))
        return refuse(addr, user, "wrong user", err);
    uint8_t bytes[LIBPWD_CHALLENGE_BYTES];
    if (challenge == nullptr || challenge_size < 2 * LIBPWD_CHALLENGE_BYTES + 1) {
        precondition_failed();
        return LIBPWD_REFUSED;
    }
    if (!random_bytes(bytes, sizeof(bytes))) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "getrandom failed: ");
        challenge[0] = '\0';
        return LIBPWD_REFUSED;
    }
    to_hex(bytes, sizeof(bytes), challenge);
    return libpwd_build_key(user, g_password, nullptr, challenge, key, key_size) == 0 ? LIBPWD_OK : LIBPWD_REFUSED;
}

int libpwd_build_key(const char *user, const char *password, const void *, const char *challenge, char *key,
                     size_t size)
{
    ZLOG_VERB("user=[%s] cert=[%s]\n", str_log_text(user).c_str(), str_log_text(challenge).c_str());
    if (key == nullptr || size < LIBPWD_KEY_SIZE) {
        precondition_failed();
        if (key != nullptr && size > 0)
            key[0] = '\0';
        return -1;
    }
    sha1_ctx ctx;
    pl_sha1_init(&ctx);
    for (const char *text : {"QALDO", text_or_empty(user), text_or_empty(password), text_or_empty(challenge)})
        pl_sha1_update(&ctx, text, std::strlen(text));
    uint8_t digest[PL_SHA1_DIGEST_SIZE];
    pl_sha1_final(&ctx, digest);
    to_hex(digest, sizeof(digest), key);
    return 0;
}

int libpwd_check_key(const char *addr, const char *key, const char *expected, char *err)
{
    // A locked address may not go on guessing through keys either.
    if (locked(addr, err))
        return LIBPWD_LOCKED;
    const char *k = text_or_empty(key);
    const char *e = text_or_empty(expected);
    if (e[0] == '\0' || !same_secret(k, e))
        return refuse(addr, g_user, "wrong key", err);
    ZLOG_DBG("ip=[%s] key login_ok\n", text_or_empty(addr));
    ipcheck_login_ok(addr, g_user);
    return LIBPWD_OK;
}

int libpwd_encrypt(const char *text, const char *key, char *out, size_t size)
{
    rc4_ctx rc4;
    key = text_or_empty(key);
    if (out == nullptr || size == 0 || rc4_init(&rc4, reinterpret_cast<const uint8_t *>(key), std::strlen(key)) != 0)
        return -1;
    const std::string plain(text_or_empty(text));
    std::vector<uint8_t> bytes(plain.size() + 1);
    rc4_crypt(&rc4, reinterpret_cast<const uint8_t *>(plain.data()), bytes.data(), plain.size());
    return str_base64_encode(bytes.data(), plain.size(), out, size) < 0 ? -1 : 0;
}

int libpwd_decrypt(const char *text, const char *key, char *buf, size_t size)
{
    rc4_ctx rc4;
    key = text_or_empty(key);
    if (buf == nullptr || size == 0 || rc4_init(&rc4, reinterpret_cast<const uint8_t *>(key), std::strlen(key)) != 0)
        return -1;
    const int n = str_base64_decode(text_or_empty(text), buf, size);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buf[0] = '\0';
        return -1;
    }
    buf[n] = '\0';
    rc4_crypt(&rc4, reinterpret_cast<uint8_t *>(buf), reinterpret_cast<uint8_t *>(buf), static_cast<size_t>(n));
    return 0;
}
