// Binary log records: the record writer, the type registry and its readers.
#define ZLOG_TAG "bsv"

#include "libbsv/bsv.h"

#include <pthread.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <utility>

#include "libbsv/bsv_net.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/memory/mem_pack.h"
#include "libpal/memory/rbuf.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/zlog.h"

namespace {

constexpr size_t k_name_size = 256;
constexpr size_t k_type_name_size = 256;
constexpr uint64_t k_default_ring = 1u << 20;
// A ring is held in memory whole: a size above this is refused.
constexpr uint64_t k_max_ring = 1u << 30;
constexpr uint32_t k_level_and_net = LOG2_F_NET | LOG2_F_BSVONLY;
constexpr size_t k_path_prefix_len = 12;

// Field indices of the "log" schema and of its type-3 form.
enum : uint32_t { f_sec, f_usec, f_pid, f_tid, f_level, f_tag, f_tid_name, f_file, f_line, f_func, f_msg };
enum : uint32_t { f3_cpu = f_level, f3_irql, f3_level, f3_tag, f3_tid_name, f3_file, f3_line, f3_func, f3_msg };
constexpr uint32_t k_log3_head = 24;

// The callbacks and their arguments; g_cb_lock is held while one runs.
struct write_cb {
    bsv_write_cb fn;
    void *arg;
};
constinit std::mutex g_cb_lock;
write_cb g_net_cb{nullptr, nullptr};
write_cb g_file_cb{nullptr, nullptr};
std::atomic<bool> g_any_cb{false};

// The registry.
constinit std::mutex g_reg_lock;
bsv_type *g_types[BSV_TYPE_SLOTS];
bsv_type g_log_type{"log", BSV_SCHEMA_LOG, BSV_LOG_TYPE_ID, 0, BSV_LOG_MAX, BSV_LOG_READERS, {0}, nullptr};
std::atomic<bool> g_log_registered{false};

// Set while this thread writes a record or holds the registry lock: a
// message logged meanwhile (by a filter, a callback) makes no record, which
// would otherwise take the same locks again.
thread_local bool t_in_bsv = false;

class bsv_busy {
public:
    bsv_busy() : was_(t_in_bsv) { t_in_bsv = true; }
    ~bsv_busy() { t_in_bsv = was_; }
    bsv_busy(const bsv_busy &) = delete;
    bsv_busy &operator=(const bsv_busy &) = delete;

private:
    bool was_;
};

// The process and thread ids of this thread, asked of the system once per
// thread: each is a system call, and a record is made for every message. A
// fork (the daemon detaching) gives the child new ids, so it starts a new
// generation that every thread's copy is checked against.
std::atomic<uint32_t> g_fork_gen{1};
std::once_flag g_atfork_once;

struct thread_ids {
    uint32_t gen;
    uint32_t pid;
    uint32_t tid;
};
thread_local thread_ids t_ids{0, 0, 0};

const thread_ids &my_ids()
{
    std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, [] { g_fork_gen.fetch_add(1); }); });
    const uint32_t gen = g_fork_gen.load(std::memory_order_relaxed);
    if (t_ids.gen != gen)
        t_ids = {gen, static_cast<uint32_t>(os_process_id()), static_cast<uint32_t>(os_thread_id())};
    return t_ids;
}

void set_cb(write_cb *slot, bsv_write_cb fn, void *arg)
{
    std::lock_guard guard(g_cb_lock);
    *slot = {fn, fn != nullptr ? arg : nullptr};
    g_any_cb.store(g_net_cb.fn != nullptr || g_file_cb.fn != nullptr);
}

const char *or_empty(const char *s)
{
    return s != nullptr ? s : "";
}

// Builds a record: the fixed fields by the layout, then the strings packed
// into the rest of BSV_LOG_MAX bytes (the last one cut, later ones dropped).
int build_record(void *buf, uint32_t level, const char *tag, const char *file, int line, const char *func,
                 const char *msg, bool form3)
{
    if (buf == nullptr)
        return -1;
    auto *p = static_cast<uint8_t *>(buf);
    os_time now;
    os_time_now(&now);
    const uint32_t usec = now.nsec / 1000;
    const thread_ids &ids = my_ids();
    const uint32_t pid = ids.pid;
    const uint32_t tid = ids.tid;
    memcpy(p + 0, &now.sec, 8);
    memcpy(p + 8, &usec, 4);
    memcpy(p + 12, &pid, 4);
    memcpy(p + 16, &tid, 4);
    uint32_t head = BSV_LOG_HEAD_SIZE;
    if (form3) {
        const uint16_t cpu_num = 1;
        memcpy(p + 20, &cpu_num, 2);
        p[22] = 2;  // irql
        p[23] = static_cast<uint8_t>(level & 0xff);
        head = k_log3_head;
    } else {
        p[20] = static_cast<uint8_t>(level & 0xff);
    }
    char name[k_name_size] = "";
    os_thread_name_get(name, sizeof(name));
    char line_text[16];
    snprintf(line_text, sizeof(line_text), "%d", line);
    const int used = mem_cat_strs(p + head, BSV_LOG_MAX - 2 - head, or_empty(tag), name, or_empty(file), line_text,
                                  or_empty(func), or_empty(msg), nullptr);
    return used < 0 ? -1 : static_cast<int>(head) + used;
}

bsv_type *find_type_locked(std::string_view name)
{
    for (bsv_type *t : g_types) {
        if (t != nullptr && name == t->name)
            return t;
    }
    return nullptr;
}

void detach_locked(bsv_reader *r)
{
    bsv_type *t = r->type;
    if (t == nullptr || t->readers == nullptr)
        return;
    for (uint32_t i = 0; i < t->max_readers; i++) {
        if (t->readers[i] == r) {
            t->readers[i] = nullptr;
            t->reader_count.fetch_sub(1);
            break;
        }
    }
    r->type = nullptr;
}

void set_err(char *err, const char *text)
{
    if (err != nullptr)
        str_safecopy2(err, BSV_ERR_SIZE, text);
}

}  // namespace

// ---- the record writer ----

namespace {

// Builds a message's record and hands it to its takers, or, file_only, to
// the file callback alone.
void write_message(bool file_only, uint32_t level, const char *tag, const char *file, int line, const char *func,
                   const char *msg)
{
    if (t_in_bsv || (tag != nullptr && (strcmp(tag, "bsv") == 0 || strcmp(tag, "net") == 0)))
        return;
    bsv_reg_log();
    // Nobody takes records (no reader, sink or collector): the log call pays
    // nothing for them.
    if (!g_any_cb.load() && (file_only || g_log_type.reader_count.load() == 0))
        return;
    const bsv_busy busy;
    if (file != nullptr && strncmp(file, BSV_PATH_PREFIX, k_path_prefix_len) == 0)
        file += k_path_prefix_len;
    uint8_t rec[BSV_LOG_MAX];
    const int len = bsv_log_record(rec, level, tag, file, line, func, msg);
    if (len < 0)
        return;
    if (g_any_cb.load()) {
        std::lock_guard guard(g_cb_lock);
        if (!file_only && g_net_cb.fn != nullptr && (level & k_level_and_net) != 0) {
            uint8_t pkt[BSV_NET_MAX];
            const int n = bsv_pack_log(pkt, 0, rec, static_cast<uint32_t>(len));
            if (n > 0)
                g_net_cb.fn(level, pkt, static_cast<uint32_t>(n), g_net_cb.arg);
        }
        if (g_file_cb.fn != nullptr)
            g_file_cb.fn(level, rec, static_cast<uint32_t>(len), g_file_cb.arg);
    }
    if (!file_only)
        bsv_type_write(&g_log_type, rec, static_cast<uint32_t>(len));
}

}  // namespace

void bsv_log_write(uint32_t level, const char *tag, const char *file, int line, const char *func, const char *msg)
{
    write_message(false, level, tag, file, line, func, msg);
}

void bsv_log_write_file(uint32_t level, const char *tag, const char *file, int line, const char *func,
                        const char *msg)
{
    write_message(true, level, tag, file, line, func, msg);
}

void bsv_set_net_cb(bsv_write_cb cb, void *arg)
{
    set_cb(&g_net_cb, cb, arg);
}

void bsv_set_file_cb(bsv_write_cb cb, void *arg)
{
    set_cb(&g_file_cb, cb, arg);
}

int bsv_log_record(void *buf, uint32_t level, const char *tag, const char *file, int line, const char *func,
                   const char *msg)
{
    return build_record(buf, level, tag, file, line, func, msg, false);
}

int bsv_log3_record(void *buf, uint32_t level, const char *tag, const char *file, int line, const char *func,
                    const char *msg)
{
    return build_record(buf, level, tag, file, line, func, msg, true);
}

namespace {

// The fields both record forms share: sec, usec, pid and tid first, the
// level just before the six strings, which end the schema.
int parse_record(const void *rec, uint32_t len, bsv_value *value, uint32_t count, uint32_t head, bsv_log_rec *out)
{
    if (rec == nullptr || value == nullptr || out == nullptr || len < head || value->count_idx != count)
        return -1;
    out->sec = bsv_value_get_u64(value, rec, len, f_sec);
    out->usec = bsv_value_get_u32(value, rec, len, f_usec);
    out->pid = bsv_value_get_u32(value, rec, len, f_pid);
    out->tid = bsv_value_get_u32(value, rec, len, f_tid);
    const char **strs[] = {&out->tag, &out->tid_name, &out->file, &out->line, &out->func, &out->msg};
    const uint32_t first = count - static_cast<uint32_t>(std::size(strs));
    out->level = bsv_value_get_u8(value, rec, len, first - 1);
    for (uint32_t i = 0; i < std::size(strs); i++) {
        *strs[i] = bsv_value_get_str(value, rec, len, first + i);
        if (*strs[i] == nullptr)
            return -1;
    }
    return 0;
}

}  // namespace

int bsv_log_record_parse(const void *rec, uint32_t len, bsv_value *value, bsv_log_rec *out)
{
    return parse_record(rec, len, value, f_msg + 1, BSV_LOG_HEAD_SIZE, out);
}

int bsv_log3_record_parse(const void *rec, uint32_t len, bsv_value *value, bsv_log3_rec *out)
{
    if (out == nullptr || parse_record(rec, len, value, f3_msg + 1, k_log3_head, &out->log) != 0)
        return -1;
    out->cpu_num = bsv_value_get_u16(value, rec, len, f3_cpu);
    out->irql = bsv_value_get_u8(value, rec, len, f3_irql);
    return 0;
}

// ---- types and readers ----

int bsv_reg_log()
{
    if (g_log_registered.load())
        return 0;
    ZLOG_VERB("==>\n");
    if (bsv_type_reg(&g_log_type) != 0)
        return -1;
    g_log_registered.store(true);
    return 0;
}

int bsv_log_type_id()
{
    bsv_reg_log();
    return static_cast<int>(BSV_LOG_TYPE_ID);
}

bsv_type *bsv_log_type()
{
    bsv_reg_log();
    return &g_log_type;
}

int bsv_type_reg(bsv_type *type)
{
    if (type == nullptr || type->max_readers == 0)
        return -1;
    std::lock_guard guard(g_reg_lock);
    bsv_type **free_slot = nullptr;
    for (bsv_type *&slot : g_types) {
        if (slot == type)
            return 0;
        if (slot == nullptr && free_slot == nullptr)
            free_slot = &slot;
    }
    if (free_slot == nullptr)
        return -1;
    type->readers = static_cast<bsv_reader **>(os_zalloc(sizeof(bsv_reader *) * type->max_readers));
    if (type->readers == nullptr)
        return -1;
    type->reader_count.store(0);
    *free_slot = type;
    return 0;
}

bsv_reader *bsv_open(const char *name, char *err)
{
    set_err(err, "");
    char type_name[k_type_name_size] = "";
    if (name == nullptr || sscanf(name, "%255[^?]", type_name) != 1) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    char *size_text = url_get_query_dup(name, "bsv_rbuf_size", "1m");
    uint64_t size = size_text != nullptr ? str_atosize(size_text) : 0;
    os_free(size_text);
    if (size == 0)
        size = k_default_ring;
    if (size > k_max_ring) {
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    uint32_t max_len = 0;
    {
        std::lock_guard guard(g_reg_lock);
        const bsv_type *t = find_type_locked(type_name);
        if (t == nullptr) {
            set_err(err, "name does not exist");
            return nullptr;
        }
        max_len = t->max_len;
    }
    auto *r = static_cast<bsv_reader *>(os_zalloc(sizeof(bsv_reader)));
    rbuf *ring = rbuf_init(static_cast<uint32_t>(size), max_len);
    if (r == nullptr || ring == nullptr) {
        os_free(r);
        if (ring != nullptr)
            rbuf_exit(ring);
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    r->ring = ring;
    std::lock_guard guard(g_reg_lock);
    // The type may have gone while the ring was made.
    bsv_type *t = find_type_locked(type_name);
    if (t != nullptr) {
        for (uint32_t i = 0; i < t->max_readers; i++) {
            if (t->readers[i] == nullptr) {
                t->readers[i] = r;
                t->reader_count.fetch_add(1);
                r->type = t;
                break;
            }
        }
    }
    r->enabled.store(1);
    return r;
}

void bsv_close(bsv_reader *reader)
{
    if (reader == nullptr)
        return;
    {
        std::lock_guard guard(g_reg_lock);
        detach_locked(reader);
    }
    rbuf_exit(reader->ring);
    if (reader->filter != nullptr)
        qexpr_free(reader->filter);
    if (reader->filter_value != nullptr)
        bsv_value_exit(reader->filter_value);
    os_free(reader);
}

int bsv_check(bsv_reader *reader)
{
    std::lock_guard guard(g_reg_lock);
    return reader != nullptr && reader->type != nullptr ? 0 : -1;
}

int bsv_get_info(bsv_reader *reader, bsv_type_info *info)
{
    if (reader == nullptr || info == nullptr)
        return -1;
    std::lock_guard guard(g_reg_lock);
    const bsv_type *t = reader->type;
    if (t == nullptr)
        return -1;
    info->type_id = static_cast<uint16_t>(t->type_id);
    info->endian = static_cast<uint16_t>(t->endian);
    info->max_len = t->max_len;
    str_safecopy2(info->schema, sizeof(info->schema), t->schema);
    return 0;
}

int bsv_enable(bsv_reader *reader)
{
    if (reader == nullptr)
        return -1;
    reader->enabled.store(1);
    return 0;
}

int bsv_disable(bsv_reader *reader)
{
    if (reader == nullptr)
        return -1;
    reader->enabled.store(0);
    return 0;
}

int bsv_read(bsv_reader *reader, void *buf, uint32_t size)
{
    // Every record the ring can hold must fit, with its 2-byte length.
    if (reader == nullptr || buf == nullptr || size < BSV_LOG_MAX + 2)
        return -1;
    return rbuf_read_blocks(reader->ring, buf, size);
}

int bsv_get_stat(bsv_reader *reader, rbuf_stat *stat)
{
    if (reader == nullptr || stat == nullptr)
        return -1;
    return rbuf_get_stat(reader->ring, stat);
}

int bsv_set_filter(bsv_reader *reader, const char *rules)
{
    if (reader == nullptr)
        return -1;
    bsv_type_info info;
    if (bsv_get_info(reader, &info) != 0)
        return -1;
    // The rules load into a set that no writer sees yet: the loader may log,
    // which it must not do under the registry lock. Only a set that loaded
    // replaces the live one.
    qexpr *set = qexpr_new(nullptr);
    bsv_value *value = bsv_type_open_value(info.type_id);
    if (set == nullptr || value == nullptr) {
        if (set != nullptr)
            qexpr_free(set);
        if (value != nullptr)
            bsv_value_exit(value);
        return -1;
    }
    char err[QPARSER_ERR_SIZE] = "";
    const int rc = qexpr_load(set, rules, err);
    if (rc < 0) {
        qexpr_free(set);
        bsv_value_exit(value);
        return rc;
    }
    qexpr *old_set = nullptr;
    bsv_value *old_value = nullptr;
    {
        std::lock_guard guard(g_reg_lock);
        old_set = std::exchange(reader->filter, set);
        old_value = std::exchange(reader->filter_value, value);
    }
    if (old_set != nullptr)
        qexpr_free(old_set);
    if (old_value != nullptr)
        bsv_value_exit(old_value);
    return rc;
}

int bsv_filter_test(bsv_value *value, const void *rec, uint32_t len, qexpr *filter)
{
    if (filter == nullptr)
        return 0;
    bsv_filter_ctx ctx{value, rec, len};
    return qexpr_filter_drop(filter, bsv_filter_getter, &ctx) == 1 ? 1 : 0;
}

void bsv_type_write(bsv_type *type, const void *rec, uint32_t len)
{
    if (type == nullptr || type->reader_count.load() == 0)
        return;
    std::lock_guard guard(g_reg_lock);
    const bsv_busy busy;
    if (type->readers == nullptr)
        return;
    const uint32_t count = type->reader_count.load();
    uint32_t seen = 0;
    for (uint32_t i = 0; i < type->max_readers && seen < count; i++) {
        bsv_reader *r = type->readers[i];
        if (r == nullptr)
            continue;
        seen++;
        if (r->enabled.load() == 0)
            continue;
        if (r->filter != nullptr && bsv_filter_test(r->filter_value, rec, len, r->filter) == 1)
            continue;
        rbuf_write(r->ring, rec, len);
    }
}

void bsv_exit_all()
{
    std::lock_guard guard(g_reg_lock);
    for (bsv_type *&t : g_types) {
        if (t == nullptr)
            continue;
        if (t->readers != nullptr) {
            for (uint32_t i = 0; i < t->max_readers; i++) {
                if (t->readers[i] != nullptr) {
                    t->readers[i]->type = nullptr;
                    t->readers[i]->enabled.store(0);
                }
            }
            os_free(t->readers);
            t->readers = nullptr;
        }
        t->reader_count.store(0);
        t = nullptr;
    }
    g_log_registered.store(false);
}

int bsv_nop()
{
    return 0;
}
