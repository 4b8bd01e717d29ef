// The password checker: one configured user and password, checked by user
// and password (the password also in its "{SHA}" form) or by a key derived
// from user, password and a random challenge; every check goes through a
// per-address lock-out, and logins and failures are written as audit lines to
// a size-capped line log. The debug web tool asks it when its authentication
// mode is not 0. Passwords and keys never reach a log line. Error texts
// (err) hold 4096 bytes. Log tag "pwd".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LIBPWD_TEXT_SIZE = 4096;
constexpr size_t LIBPWD_CHALLENGE_BYTES = 128;  // 256 hexadecimal digits
constexpr size_t LIBPWD_KEY_SIZE = 41;          // 40 hexadecimal digits and a NUL
constexpr uint32_t LIBPWD_LOCK_MINUTES = 60;    // lock time when 0 is given
constexpr uint32_t LIBPWD_TABLE_SIZE = 10000;   // addresses tracked when 0 is given

constexpr int LIBPWD_OK = 0;
constexpr int LIBPWD_REFUSED = 1;
constexpr int LIBPWD_LOCKED = 2;

struct libpwd_param {
    const char *user;
    const char *password;
    const char *audit_path;   // nullptr or "": no audit log
    uint32_t audit_max_size;  // the audit log's size cap in bytes
    uint32_t fail_limit;      // failures before a lock; 0 turns the lock-out off
    uint32_t lock_minutes;    // 0: LIBPWD_LOCK_MINUTES
    uint32_t table_size;      // 0: LIBPWD_TABLE_SIZE
};

// One client address of the lock-out; times are os_tick_ms milliseconds.
struct ipcheck_rec {
    uint64_t first_seen;
    uint64_t last_fail;  // 0 when none
    uint64_t locked_until;
    int32_t failures;
};

// Start and stop; both 0. Start empties the stored credentials first.
int libpwd_init(const libpwd_param *param);
int libpwd_exit();
// Refuses a user or password holding any of STR_NAME_INVALID_CHARS. 0 or -1.
int libpwd_set_user_pwd(const char *user, const char *password, char *err);

// LIBPWD_OK, LIBPWD_REFUSED ("Wrong user or password") or LIBPWD_LOCKED (the
// minutes still to wait in err). The user ":" is refused without counting.
int libpwd_check_user_pwd(const char *addr, const char *user, const char *password, char *err);
// A fresh challenge (256 hexadecimal digits; size >= 257) for user and the key
// expected back (size >= 41). *flag_out gets 1 for a positive flag, else flag.
// 0, or 1 for another user or a buffer too small.
int libpwd_user_get_cert(const char *addr, int flag, int *flag_out, const char *user, char *challenge,
                         size_t challenge_size, char *key, size_t key_size, char *err);
// The lower-case hexadecimal SHA-1 of "QALDO", user, password and challenge.
// 0, or -1 with key emptied when size < 41.
int libpwd_build_key(const char *user, const char *password, const void *unused, const char *challenge, char *key,
                     size_t size);
// LIBPWD_OK, LIBPWD_REFUSED, or LIBPWD_LOCKED for an address locked out.
int libpwd_check_key(const char *addr, const char *key, const char *expected, char *err);
// RC4 under key's characters, written as Base64 into out. 0 or -1.
int libpwd_encrypt(const char *text, const char *key, char *out, size_t size);
// Base64-decodes text into buf, ends it with a NUL and deciphers it in
// place. 0, or -1 when it does not decode or fills the whole buffer.
int libpwd_decrypt(const char *text, const char *key, char *buf, size_t size);

// The lock-out.
void ipcheck_init(const libpwd_param *param);
void ipcheck_exit();
// 0, or LIBPWD_LOCKED with "Login failed %d times, Please try again in %0.2f
// minutes" in msg (4096 bytes). An unknown address is tracked from here,
// evicting the unlocked records of the oldest last failure when the table is
// full; a locked record is never evicted, and a table full of locks refuses
// an unknown address with "Login table full of %u locked addresses, Please
// try again in %0.2f minutes" (the table's size, the first lock's time left).
int ipcheck_check(const char *addr, char *msg);
int ipcheck_login_ok(const char *addr, const char *user);
int ipcheck_login_fail(const char *addr, const char *user);
// The number of addresses tracked.
uint32_t ipcheck_count();
// Replaces the millisecond clock of the lock-out (nullptr: os_tick_ms), so
// that tests can let lock times pass.
void ipcheck_set_clock(uint64_t (*now_ms)());
