// The password and key checks and the login lock-out, on a clock the tests
// move by hand.
#include "libpwd/libpwd.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "libhttpd/httpd_content.h"
#include "libpal/hash/sha1.h"

namespace {

uint64_t g_now = 1000000;
uint64_t fake_clock() { return g_now; }

class Pwd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ipcheck_set_clock(fake_clock);
        std::snprintf(audit, sizeof(audit), "/tmp/libpwd_audit_%d.log", static_cast<int>(getpid()));
        std::remove(audit);
    }
    void TearDown() override
    {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
        std::remove(audit);
    }
    void start(uint32_t limit, uint32_t minutes, uint32_t table)
    {
        const libpwd_param p{"admin", "s3cret", audit, 1 << 20, limit, minutes, table};
        ASSERT_EQ(libpwd_init(&p), 0);
    }
    int check(const char *addr, const char *user, const char *pwd)
    {
        err[0] = '\0';
        return libpwd_check_user_pwd(addr, user, pwd, err);
    }
    std::string audit_text()
    {
        std::ifstream in(audit);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    char audit[64];
    char err[LIBPWD_TEXT_SIZE];
};

}  // namespace

TEST_F(Pwd, PlainAndShaPasswords)
{
    start(3, 1, 0);
    char sha[64];
    httpdPasswordSha("s3cret", sha, sizeof(sha));
    EXPECT_EQ(check("10.0.0.1", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("10.0.0.1", "admin", sha), LIBPWD_OK);
    EXPECT_EQ(check("10.0.0.1", "admin", "wrong"), LIBPWD_REFUSED);
    EXPECT_STREQ(err, "Wrong user or password");
    EXPECT_EQ(check("10.0.0.1", "other", "s3cret"), LIBPWD_REFUSED);
    EXPECT_STREQ(err, "Wrong user or password");
    EXPECT_EQ(check("10.0.0.1", nullptr, nullptr), LIBPWD_REFUSED);
}

// Three failures lock the address; even the right password is refused with
// the minutes still to wait, until the lock time has passed.
TEST_F(Pwd, LockAfterLimitThenUnlockAfterTheTime)
{
    start(3, 1, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(check("10.0.0.2", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.2", "admin", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 1.00 minutes");
    g_now += 30000;
    EXPECT_EQ(check("10.0.0.2", "admin", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 0.50 minutes");
    // Another address is not touched by the lock.
    EXPECT_EQ(check("10.0.0.3", "admin", "s3cret"), LIBPWD_OK);
    g_now += 30000;
    EXPECT_EQ(check("10.0.0.2", "admin", "s3cret"), LIBPWD_OK);
    // The login cleared the count: three more failures are needed again.
    EXPECT_EQ(check("10.0.0.2", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.2", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.2", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("10.0.0.2", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.2", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.2", "admin", "s3cret"), LIBPWD_OK);
}

TEST_F(Pwd, ZeroLockTimeMeansAnHour)
{
    start(1, 0, 0);
    EXPECT_EQ(check("a", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("a", "admin", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 1 times, Please try again in 60.00 minutes");
}

// The user ":" is refused without counting a failure.
TEST_F(Pwd, ColonUserIsNotCounted)
{
    start(2, 1, 0);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(check("10.0.0.4", ":", "x"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.4", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(audit_text().find("failed"), std::string::npos);
}

// With the table full, the unlocked records of the oldest last failure go
// together (those that never failed first), and the new address is tracked.
TEST_F(Pwd, FullTableEvictsTheOldestUnlockedLastFailure)
{
    start(2, 1, 3);
    EXPECT_EQ(check("a", "admin", "bad"), LIBPWD_REFUSED);  // a: one failure at t0
    g_now += 10;
    EXPECT_EQ(check("b", "admin", "bad"), LIBPWD_REFUSED);  // b: at t0 + 10
    EXPECT_EQ(check("b", "admin", "bad"), LIBPWD_REFUSED);  // b locked
    g_now += 10;
    EXPECT_EQ(check("c", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(ipcheck_count(), 3u);
    EXPECT_EQ(check("d", "admin", "bad"), LIBPWD_REFUSED);  // evicts a
    EXPECT_EQ(ipcheck_count(), 3u);
    EXPECT_EQ(check("b", "admin", "s3cret"), LIBPWD_LOCKED);  // b kept
    // a comes back: b has the oldest last failure but is locked, so c and d
    // (one failure each, at the same time) go instead.
    EXPECT_EQ(check("a", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(ipcheck_count(), 2u);
    EXPECT_EQ(check("b", "admin", "s3cret"), LIBPWD_LOCKED);
}

// Failures from many other addresses never evict a lock; once every record
// is locked, an address not in the table is refused too, with the text of
// the lock that frees first, and each is served when its time has passed.
TEST_F(Pwd, LocksOutliveAChurnOfOtherAddresses)
{
    start(2, 1, 3);
    const auto lock_out = [this](const char *addr) {
        EXPECT_EQ(check(addr, "admin", "bad"), LIBPWD_REFUSED) << addr;
        EXPECT_EQ(check(addr, "admin", "bad"), LIBPWD_REFUSED) << addr;
    };
    lock_out("victim");
    const uint64_t victim_free = g_now + 60000;
    for (int i = 0; i < 200; i++) {
        g_now += 10;
        const std::string other = "127.1.0." + std::to_string(i);
        EXPECT_EQ(check(other.c_str(), "admin", "bad"), LIBPWD_REFUSED) << other;
        EXPECT_LE(ipcheck_count(), 3u);
    }
    EXPECT_EQ(check("victim", "admin", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 2 times, Please try again in 0.97 minutes");

    g_now += 10;
    lock_out("second");
    g_now += 10;
    lock_out("third");  // evicts the last churned address: the table is all locks
    EXPECT_EQ(ipcheck_count(), 3u);
    // The newcomer never failed: the text names the full table and when its
    // first lock (the victim's) frees.
    EXPECT_EQ(check("newcomer", "admin", "s3cret"), LIBPWD_LOCKED);
    EXPECT_STREQ(err, "Login table full of 3 locked addresses, Please try again in 0.97 minutes");
    EXPECT_EQ(ipcheck_count(), 3u);
    // A refused newcomer's failure counts nowhere and frees nothing.
    EXPECT_EQ(check("newcomer", "admin", "bad"), LIBPWD_LOCKED);
    EXPECT_EQ(check("victim", "admin", "s3cret"), LIBPWD_LOCKED);

    g_now = victim_free;
    EXPECT_EQ(check("newcomer", "admin", "s3cret"), LIBPWD_OK);  // takes the freed place
    EXPECT_EQ(check("victim", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("second", "admin", "s3cret"), LIBPWD_LOCKED);
    g_now += 2020;  // the churn and the two later locks
    EXPECT_EQ(check("second", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(check("third", "admin", "s3cret"), LIBPWD_OK);
}

TEST_F(Pwd, LimitZeroNeverLocksButAudits)
{
    start(0, 1, 0);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(check("10.0.0.5", "admin", "bad"), LIBPWD_REFUSED);
    EXPECT_EQ(check("10.0.0.5", "admin", "s3cret"), LIBPWD_OK);
    EXPECT_EQ(ipcheck_count(), 0u);
    const std::string lines = audit_text();
    EXPECT_NE(lines.find("\twarn\tadmin\tlogin\tlogin failed form 10.0.0.5\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("\tinfo\tadmin\tlogin\tlogin from 10.0.0.5\n"), std::string::npos) << lines;
    // Passwords never reach the audit log.
    EXPECT_EQ(lines.find("bad"), std::string::npos);
    EXPECT_EQ(lines.find("s3cret"), std::string::npos);
}

TEST_F(Pwd, KeyIsShaOfTheFourParts)
{
    char key[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_build_key("u", "p", nullptr, "c", key, sizeof(key)), 0);
    uint8_t digest[PL_SHA1_DIGEST_SIZE];
    pl_sha1_buf("QALDOupc", 8, digest);
    char hex[41];
    for (int i = 0; i < 20; i++)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(key, hex);
    // Any one character of the four parts changes the key.
    const char *variants[][3] = {{"v", "p", "c"}, {"u", "q", "c"}, {"u", "p", "d"}};
    for (const auto &v : variants) {
        char other[LIBPWD_KEY_SIZE];
        ASSERT_EQ(libpwd_build_key(v[0], v[1], nullptr, v[2], other, sizeof(other)), 0);
        EXPECT_STRNE(other, key);
    }
    char small[40];
    EXPECT_EQ(libpwd_build_key("u", "p", nullptr, "c", small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
}

TEST_F(Pwd, ChallengeAndKeyCheck)
{
    start(2, 1, 0);
    char challenge[257];
    char key[LIBPWD_KEY_SIZE];
    int flag = 0;
    ASSERT_EQ(libpwd_user_get_cert("k", 5, &flag, "admin", challenge, sizeof(challenge), key, sizeof(key), err), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(std::strlen(challenge), 256u);
    EXPECT_EQ(std::strspn(challenge, "0123456789abcdef"), 256u);
    char again[257];
    char key2[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_user_get_cert("k", -3, &flag, "admin", again, sizeof(again), key2, sizeof(key2), err), 0);
    EXPECT_EQ(flag, -3);
    EXPECT_STRNE(again, challenge);
    char expect[LIBPWD_KEY_SIZE];
    libpwd_build_key("admin", "s3cret", nullptr, challenge, expect, sizeof(expect));
    EXPECT_STREQ(key, expect);
    EXPECT_EQ(libpwd_check_key("k", key, key, err), LIBPWD_OK);
    EXPECT_EQ(libpwd_check_key("k", "bad", key, err), LIBPWD_REFUSED);
    EXPECT_EQ(libpwd_check_key("k", "bad", key, err), LIBPWD_REFUSED);
    // Locked: the right key is refused too.
    EXPECT_EQ(libpwd_check_key("k", key, key, err), LIBPWD_LOCKED);
    EXPECT_EQ(libpwd_user_get_cert("k", 0, &flag, "nobody", again, sizeof(again), key2, sizeof(key2), err), 1);
    char small[100];
    EXPECT_EQ(libpwd_user_get_cert("k", 0, &flag, "admin", small, sizeof(small), key2, sizeof(key2), err), 1);
}

TEST_F(Pwd, EncryptDecryptRoundTrip)
{
    char b64[256];
    ASSERT_EQ(libpwd_encrypt("hello world", "key", b64, sizeof(b64)), 0);
    EXPECT_STRNE(b64, "hello world");
    char plain[64];
    ASSERT_EQ(libpwd_decrypt(b64, "key", plain, sizeof(plain)), 0);
    EXPECT_STREQ(plain, "hello world");
    // A result that fills the whole buffer, and text that is no Base64.
    EXPECT_EQ(libpwd_decrypt(b64, "key", plain, 11), -1);
    EXPECT_EQ(libpwd_decrypt("**", "key", plain, sizeof(plain)), -1);
    EXPECT_EQ(libpwd_encrypt("x", "", b64, sizeof(b64)), -1);

    // The published RC4 answers (a round trip alone passes for any scheme
    // that is its own inverse), written as Base64.
    const struct {
        const char *key;
        const char *plain;
        const char *b64;  // of bbf316e8d940af0ad3, 1021bf0420, 45a01f645fc35b383552544b9bf5
    } known[] = {
        {"Key", "Plaintext", "u/MW6NlArwrT"},
        {"Wiki", "pedia", "ECG/BCA="},
        {"Secret", "Attack at dawn", "RaAfZF/DWzg1UlRLm/U="},
    };
    for (const auto &k : known) {
        SCOPED_TRACE(k.key);
        ASSERT_EQ(libpwd_encrypt(k.plain, k.key, b64, sizeof(b64)), 0);
        EXPECT_STREQ(b64, k.b64);
        ASSERT_EQ(libpwd_decrypt(k.b64, k.key, plain, sizeof(plain)), 0);
        EXPECT_STREQ(plain, k.plain);
    }
}

TEST_F(Pwd, SetUserPasswordRefusesNameCharacters)
{
    start(3, 1, 0);
    EXPECT_EQ(libpwd_set_user_pwd("bad user", "p", err), -1);
    EXPECT_STREQ(err, "user is invalid, Cannot use [;/\\\"'?:@# ]");
    EXPECT_EQ(libpwd_set_user_pwd("u", "p;w", err), -1);
    EXPECT_STREQ(err, "passwd is invalid, Cannot use [;/\\\"'?:@# ]");
    ASSERT_EQ(libpwd_set_user_pwd("neo", "matrix", err), 0);
    EXPECT_EQ(check("z", "neo", "matrix"), LIBPWD_OK);
    EXPECT_EQ(check("z", "admin", "s3cret"), LIBPWD_REFUSED);
}
