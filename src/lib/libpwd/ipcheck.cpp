// The per-address login lock-out and its audit lines.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#define ZLOG_TAG "pwd"
#include "liblog/flog.h"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/comm/dict.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpwd/libpwd.h"

namespace {

struct lockout {
    std::mutex lock;
    dict *table = nullptr;  // address text -> ipcheck_rec (owned); nullptr while off
    uint32_t limit = 0;
    uint64_t lock_ms = 0;
    uint32_t table_size = 0;
    flog *audit = nullptr;
};

lockout g_lockout;
std::atomic<uint64_t (*)()> g_clock{nullptr};

uint64_t now_ms()
{
    const auto clock = g_clock.load();
    return clock != nullptr ? clock() : os_tick_ms();
}

const char *text_or_empty(const char *text) { return text != nullptr ? text : ""; }

bool is_locked(const ipcheck_rec *rec, uint64_t now) { return rec->locked_until > now; }

// Requires: the lock held and the table at or over its size. Every unlocked
// record of the smallest last-failure time goes (those that never failed
// first). A locked record stays for its whole lock time: were it evicted, a
// caller who churns through other addresses would undo its own lock. Returns
// the lock that frees first when every record is locked, else nullptr.
const ipcheck_rec *evict_oldest(dict *table, uint64_t now)
{
    uint64_t oldest = UINT64_MAX;
    const ipcheck_rec *first_free = nullptr;
    const char *key = nullptr;
    void *value = nullptr;
    for (int rank = 0; (rank = dict_next(table, rank, &key, &value)) > 0;) {
        const auto *rec = static_cast<const ipcheck_rec *>(value);
        if (!is_locked(rec, now))
            oldest = std::min(oldest, rec->last_fail);
        else if (first_free == nullptr || rec->locked_until < first_free->locked_until)
            first_free = rec;
    }
    if (oldest == UINT64_MAX && first_free != nullptr)
        return first_free;
    std::vector<std::string> doomed;
    for (int rank = 0; (rank = dict_next(table, rank, &key, &value)) > 0;) {
        const auto *rec = static_cast<const ipcheck_rec *>(value);
        if (!is_locked(rec, now) && rec->last_fail == oldest)
            doomed.emplace_back(key);
    }
    for (const auto &k : doomed)
        dict_del(table, k.c_str());
    return nullptr;
}

double minutes_left(const ipcheck_rec *rec, uint64_t now)
{
    return static_cast<double>(rec->locked_until - now) / 60000.0;
}

int locked_text(const ipcheck_rec *rec, uint64_t now, char *msg)
{
    str_sprintf_s2(msg, LIBPWD_TEXT_SIZE, "Login failed %d times, Please try again in %0.2f minutes", rec->failures,
                   minutes_left(rec, now));
    return LIBPWD_LOCKED;
}

// An address that never failed, refused because every record is a lock: the
// text says so, not that this address failed.
int table_full_text(const ipcheck_rec *first_free, uint64_t now, char *msg)
{
    str_sprintf_s2(msg, LIBPWD_TEXT_SIZE,
                   "Login table full of %u locked addresses, Please try again in %0.2f minutes",
                   g_lockout.table_size, minutes_left(first_free, now));
    return LIBPWD_LOCKED;
}

// "\tinfo\t%s\tlogin\tlogin from %s\n" and "\twarn\t%s\tlogin\tlogin failed form %s\n".
// The user is the peer's text, escaped like on any log line.
void audit(const char *level, const char *event, const char *user, const char *addr)
{
    const str_log_text shown(user);
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (g_lockout.audit != nullptr)
        flog_printf(g_lockout.audit, "\t%s\t%s\tlogin\t%s %s\n", level, shown.c_str(), event, text_or_empty(addr));
}

}  // namespace

void ipcheck_init(const libpwd_param *param)
{
    ipcheck_exit();
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (param->audit_path != nullptr && param->audit_path[0] != '\0') {
        const flog_opts opts{param->audit_max_size, FLOG_OPT_TIME};
        g_lockout.audit = flog_open(param->audit_path, &opts);
    }
    g_lockout.limit = param->fail_limit;
    if (g_lockout.limit == 0) {
        ZLOG_WARN("pelo_login_fail_count==0 stop ipcheck\n");
        return;
    }
    g_lockout.table = dict_new(DICT_KEY_COPY | DICT_VAL_OWNED);
    const uint32_t minutes = param->lock_minutes != 0 ? param->lock_minutes : LIBPWD_LOCK_MINUTES;
    g_lockout.lock_ms = static_cast<uint64_t>(minutes) * 60000;
    g_lockout.table_size = param->table_size != 0 ? param->table_size : LIBPWD_TABLE_SIZE;
}

void ipcheck_exit()
{
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (g_lockout.table != nullptr)
        dict_exit(g_lockout.table);
    g_lockout.table = nullptr;
    g_lockout.limit = 0;
    if (g_lockout.audit != nullptr)
        flog_close(g_lockout.audit);
    g_lockout.audit = nullptr;
}

int ipcheck_check(const char *addr, char *msg)
{
    addr = text_or_empty(addr);
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (g_lockout.table == nullptr)
        return 0;
    const uint64_t now = now_ms();
    auto *rec = static_cast<ipcheck_rec *>(dict_get(g_lockout.table, addr, nullptr));
    if (rec == nullptr) {
        if (dict_count(g_lockout.table) >= g_lockout.table_size) {
            // Full of locks: closed to everyone new until the first one frees.
            if (const ipcheck_rec *lock = evict_oldest(g_lockout.table, now))
                return table_full_text(lock, now, msg);
        }
        rec = static_cast<ipcheck_rec *>(os_zalloc(sizeof(ipcheck_rec)));
        if (rec == nullptr)
            return 0;
        new (rec) ipcheck_rec{now, 0, 0, 0};
        if (dict_set(g_lockout.table, addr, rec) != 0)
            os_free(rec);
        return 0;
    }
    if (rec->failures < static_cast<int32_t>(g_lockout.limit))
        return 0;
    if (!is_locked(rec, now)) {
        rec->failures = 0;
        return 0;
    }
    return locked_text(rec, now, msg);
}

int ipcheck_login_fail(const char *addr, const char *user)
{
    audit("warn", "login failed form", user, addr);
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (g_lockout.table == nullptr)
        return 0;
    auto *rec = static_cast<ipcheck_rec *>(dict_get(g_lockout.table, text_or_empty(addr), nullptr));
    if (rec == nullptr)
        return 0;
    const uint64_t now = now_ms();
    rec->last_fail = now;
    rec->failures++;
    if (rec->failures >= static_cast<int32_t>(g_lockout.limit))
        rec->locked_until = now + g_lockout.lock_ms;
    return 0;
}

int ipcheck_login_ok(const char *addr, const char *user)
{
    audit("info", "login from", user, addr);
    std::lock_guard<std::mutex> g(g_lockout.lock);
    if (g_lockout.table != nullptr)
        dict_del(g_lockout.table, text_or_empty(addr));
    return 0;
}

uint32_t ipcheck_count()
{
    std::lock_guard<std::mutex> g(g_lockout.lock);
    return g_lockout.table != nullptr ? dict_count(g_lockout.table) : 0;
}

void ipcheck_set_clock(uint64_t (*clock)()) { g_clock.store(clock); }
