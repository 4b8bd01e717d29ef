// The file-hash tool: the caller's thread reads the range block by block
// through the read cache; the blocks are hashed by the thread "hash_cal"
// through a ring (whole-range digests must see them in order), by the caller
// itself when no ring could be had, or by a thread pool (per-block digests
// only). Ring and block pool hold at most 64 MiB and are reused within a
// range, so a long range never allocates its own length; every wait on them
// is bounded by the job's drain time-out.
#include "libpal/tframe/file_hash.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh3.h"
#include "libpal/memory/mbuf.h"
#include "libpal/memory/mbuf2.h"
#include "libpal/memory/mem_add.h"
#include "libpal/os/os_sys_text.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

#define FH_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr uint32_t k_default_timeout_ms = 30000;
// Bounds of what a job may ask for: a block and the read-ahead buffer are
// allocated whole, and every block of a range keeps a record per per-block
// algorithm.
constexpr uint32_t k_max_unit = 64u << 20;
constexpr uint64_t k_max_blocks = 1u << 20;
constexpr uint32_t k_poll_ms = 10;
constexpr int k_stop_wait_ms = 1000;
// Holds the longest state text of any algorithm (XXH3's, 1153 bytes).
constexpr size_t k_line_size = 4096;
constexpr int k_code_param = -2;
constexpr int k_code_nomem = -8;
constexpr int k_code_flags = -37;

// One digest in its two uses. Whole-range contexts are driven through these
// slots; the digest is taken from a copy, so the context can go on.
struct digest_alg {
    const char *name;
    const char *pname;
    uint32_t flag;
    uint32_t pflag;
    size_t size;
    size_t exact_text;  // a state text must have this length (0: the algorithm checks it)
    void *(*make)();
    void (*release)(void *ctx);
    void (*update)(void *ctx, const void *data, size_t len);
    void (*digest)(const void *ctx, uint8_t *out);
    int (*get)(const void *ctx, char *text, size_t size);
    int (*set)(void *ctx, const char *text);
    void (*oneshot)(const void *data, size_t len, uint8_t *out);
};

template <typename Ctx, auto Init, auto Update, auto Final, auto Get, auto Set>
struct pod_ops {
    static void *make()
    {
        auto *c = static_cast<Ctx *>(os_zalloc(sizeof(Ctx)));
        if (c != nullptr)
            Init(c);
        return c;
    }
    static void release(void *c) { os_free(c); }
    static void update(void *c, const void *d, size_t n) { Update(static_cast<Ctx *>(c), d, n); }
    static void digest(const void *c, uint8_t *out)
    {
        Ctx copy = *static_cast<const Ctx *>(c);
        Final(&copy, out);
    }
    static int get(const void *c, char *t, size_t s) { return Get(static_cast<const Ctx *>(c), t, s); }
    static int set(void *c, const char *t) { return Set(static_cast<Ctx *>(c), t); }
};

using md5_ops = pod_ops<md5_ctx, pl_md5_init, pl_md5_update, pl_md5_final, pl_md5_get_ctx, pl_md5_set_ctx>;
using sha1_ops = pod_ops<sha1_ctx, pl_sha1_init, pl_sha1_update, pl_sha1_final, pl_sha1_get_ctx, pl_sha1_set_ctx>;
using sha256_ops =
    pod_ops<sha256_ctx, pl_sha256_init, pl_sha256_update, pl_sha256_final, pl_sha256_get_ctx, pl_sha256_set_ctx>;
using sha512_ops =
    pod_ops<sha512_ctx, pl_sha512_init, pl_sha512_update, pl_sha512_final, pl_sha512_get_ctx, pl_sha512_set_ctx>;
using sm3_ops = pod_ops<sm3_ctx, pl_sm3_init, pl_sm3_update, pl_sm3_final, pl_sm3_get_ctx, pl_sm3_set_ctx>;

// The XXH3 state is the library's own; its digest leaves it unchanged.
struct xxh3_ops {
    static void *make() { return pl_xxh3_128_new(); }
    static void release(void *c) { pl_xxh3_128_free(static_cast<XXH3_state_t *>(c)); }
    static void update(void *c, const void *d, size_t n) { pl_xxh3_128_update(static_cast<XXH3_state_t *>(c), d, n); }
    static void digest(const void *c, uint8_t *out)
    {
        pl_xxh3_128_final(const_cast<XXH3_state_t *>(static_cast<const XXH3_state_t *>(c)), out);
    }
    static int get(const void *c, char *t, size_t s) { return pl_xxh3_128_get_ctx(static_cast<const XXH3_state_t *>(c), t, s); }
    static int set(void *c, const char *t) { return pl_xxh3_128_set_ctx(static_cast<XXH3_state_t *>(c), t); }
};

template <typename Ops>
constexpr digest_alg alg(const char *name, const char *pname, uint32_t flag, uint32_t pflag, size_t size,
                         size_t exact_text, void (*oneshot)(const void *, size_t, uint8_t *))
{
    return {name, pname, flag, pflag, size, exact_text, Ops::make, Ops::release, Ops::update,
            Ops::digest, Ops::get, Ops::set, oneshot};
}

// The processing order of the texts and digests.
constexpr std::array<digest_alg, 6> k_algs = {{
    alg<md5_ops>("md5", "pmd5", FILE_HASH_MD5, FILE_HASH_PMD5, PL_MD5_DIGEST_SIZE, 0, pl_md5_buf),
    alg<sha1_ops>("sha1", "psha1", FILE_HASH_SHA1, FILE_HASH_PSHA1, PL_SHA1_DIGEST_SIZE, 0, pl_sha1_buf),
    alg<sha256_ops>("sha256", "psha256", FILE_HASH_SHA256, FILE_HASH_PSHA256, PL_SHA256_DIGEST_SIZE, 0,
                    pl_sha256_buf),
    alg<sha512_ops>("sha512", "psha512", FILE_HASH_SHA512, FILE_HASH_PSHA512, PL_SHA512_DIGEST_SIZE, 0,
                    pl_sha512_buf),
    alg<sm3_ops>("sm3", "psm3", FILE_HASH_SM3, FILE_HASH_PSM3, PL_SM3_DIGEST_SIZE, 0, pl_sm3_buf),
    // A shorter XXH3 text would replace only the state's leading bytes.
    alg<xxh3_ops>("xxh3", "pxxh3", FILE_HASH_XXH3, FILE_HASH_PXXH3, PL_XXH3_128_DIGEST_SIZE,
                  PL_XXH3_CTX_TEXT_SIZE - 1, pl_xxh3_128_buf),
}};

// The twelve names and flags in processing order: the whole-range ones, then
// the per-block ones.
constexpr size_t k_name_count = 2 * k_algs.size();
constexpr const char *name_at(size_t i)
{
    return i < k_algs.size() ? k_algs[i].name : k_algs[i - k_algs.size()].pname;
}
constexpr uint32_t flag_at(size_t i)
{
    return i < k_algs.size() ? k_algs[i].flag : k_algs[i - k_algs.size()].pflag;
}

// What a pool job finds in its block descriptor.
struct job_rec {
    file_hash_ctx *tool;
    uint32_t len;
    int32_t idx;
};
static_assert(sizeof(job_rec) <= sizeof(mbuf2_desc::user));

uint64_t round_up(uint64_t n, uint64_t unit)
{
    return (n + unit - 1) / unit * unit;
}

// Restores a whole-range context from its line of text: 0 or -1.
int restore_whole(const digest_alg &a, void *ctx, const char *text, std::vector<char> &line)
{
    file_hash_find_ctx(text, a.flag, line.data(), line.size());
    if (line[0] == '\0' || (a.exact_text != 0 && strlen(line.data()) != a.exact_text))
        return -1;
    return a.set(ctx, line.data());
}

// Restores per-block sums from their line of text: 0 or -1 (sums unchanged).
int restore_sums(const digest_alg &a, mem_add *acc, const char *text, std::vector<char> &line)
{
    file_hash_find_ctx(text, a.pflag, line.data(), line.size());
    if (line[0] == '\0')
        return -1;
    return set_sum(acc, line.data());
}

// Whole-range contexts and per-block sums of text, checked on scratch copies.
int restore_check(const file_hash_ctx *t, const char *text, std::vector<char> &line)
{
    for (const digest_alg &a : k_algs) {
        if (t->flags & a.flag) {
            void *c = a.make();
            if (c == nullptr)
                return -1;
            const int rc = restore_whole(a, c, text, line);
            a.release(c);
            if (rc != 0) {
                ZLOG_ERR("the saved %s state does not restore\n", a.name);
                return -1;
            }
        }
        if (t->flags & a.pflag) {
            pl_owned<mem_add, mem_add_free> probe(mem_add_malloc(static_cast<int32_t>(a.size), 0, nullptr));
            if (!probe || restore_sums(a, probe.get(), text, line) != 0) {
                ZLOG_ERR("the saved %s sums do not restore\n", a.pname);
                return -1;
            }
        }
    }
    return 0;
}

void read_failed(file_hash_ctx *t, int64_t n, const char *func)
{
    file_tool_failed(t->err, t->read == file_tool_pread, t->on_error, t->handle, n, __FILE__, __LINE__, func);
}

void free_parts(file_hash_ctx *t)
{
    for (size_t i = 0; i < k_algs.size(); i++)
        if (t->whole[i] != nullptr)
            k_algs[i].release(t->whole[i]);
    for (mem_add *acc : t->acc)
        mem_add_free(acc);
    if (t->ring != nullptr)
        mbuf_exit(t->ring);
    if (t->blocks != nullptr)
        mbuf2_exit(t->blocks);
    os_free(t->single);
    if (t->text != nullptr)
        str_buf_free(t->text);
    read_cache_close(t->cache);
    os_free(t->saved);
    t->~file_hash_ctx();
    os_free(t);
}

// Reads one block through the read cache: false (recorded) unless it is whole.
bool read_block(file_hash_ctx *t, uint8_t *buf, uint32_t n, uint64_t pos, const char *func)
{
    const int64_t got = read_cache_pread(t->cache, buf, n, pos);
    if (got == n)
        return true;
    read_failed(t, got, func);
    return false;
}

// Thread mode: the caller reads into the ring, "hash_cal" hashes in order.
int file_hash_cal_loop(file_hash_ctx *t, uint64_t offset, uint64_t len)
{
    t->next_idx.store(0);
    const file_tool_pass p{t->err, __func__, t->block_size, t->timeout_ms, &t->stop};
    return file_tool_ring_pass(
        p, t->ring, t->single, offset, len,
        [t, &p](uint8_t *buf, uint32_t n, uint64_t pos) { return read_block(t, buf, n, pos, p.func); },
        [t](uint8_t *buf, uint32_t n, int32_t idx) { file_hash_update(t, buf, n, idx); });
}

// Pool mode: the caller reads into the block pool, the workers hash.
int file_hash_cal_thread_pool(file_hash_ctx *t, uint64_t offset, uint64_t len)
{
    if (thread_pool_pending(t->pool) > 0) {
        ZLOG_ERR("thread_pool must empty\n");
        FH_ERR(t->err, -1, "thread_pool must empty");
        return -1;
    }
    const file_tool_pass p{t->err, __func__, t->block_size, t->timeout_ms, nullptr};
    return file_tool_pool_pass(
        p, t->pool, t->blocks, offset, len,
        [t, &p](uint8_t *buf, uint32_t n, uint64_t pos) { return read_block(t, buf, n, pos, p.func); },
        [t](mbuf2_desc *d, uint32_t n, int32_t idx) {
            const job_rec rec{t, n, idx};
            memcpy(d->user, &rec, sizeof(rec));
            // A job the pool cannot take is hashed here: no block goes missing.
            if (thread_pool_add(t->pool, file_hash_job, d) != 0)
                file_hash_job(d);
        });
}

// Appends "name text\n" for every enabled algorithm, whole-range ones first
// (without whole_text, only the per-block ones); the last line feed dropped.
template <typename WholeText, typename BlockText>
int build_lines(file_hash_ctx *t, const WholeText *whole_text, const BlockText &block_text)
{
    str_buf_reset(t->text);
    for (size_t i = 0; i < k_algs.size(); i++) {
        if (t->whole[i] == nullptr || whole_text == nullptr)
            continue;
        const char *s = (*whole_text)(i);
        if (s == nullptr || str_buf_appendf(t->text, "%s %s\n", k_algs[i].name, s) < 0)
            return -1;
    }
    for (size_t i = 0; i < k_algs.size(); i++) {
        if (t->acc[i] == nullptr)
            continue;
        const char *s = block_text(i);
        if (s == nullptr || str_buf_appendf(t->text, "%s %s\n", k_algs[i].pname, s) < 0)
            return -1;
    }
    str_buf_del_last(t->text);
    return 0;
}

// The builder's text into out with the strict copy: 0, or -1 (out emptied).
int copy_out(file_hash_ctx *t, int built, char *out, size_t size)
{
    const char *text = str_buf_cstr(t->text);
    if (built != 0) {
        out[0] = '\0';
        return -1;
    }
    return str_safecopy(out, size, text != nullptr ? text : "") == 0 ? 0 : -1;
}

}  // namespace

file_hash_ctx *file_hash_open(const file_hash_param *param, verr *err)
{
    PL_ASSERT_TEXT_RET(param != nullptr, "param!=NULL", nullptr);
    PL_ASSERT_TEXT_RET(err != nullptr, "errp!=NULL", nullptr);
    if (param->flags & ~uint32_t{FILE_HASH_ALL}) {
        ZLOG_ERR("flag=0x%x\n", param->flags);
        FH_ERR(err, k_code_flags, "flag=0x%x: %s", param->flags, verr2str(k_code_flags));
        return nullptr;
    }
    if (param->flags == 0 || param->total_size < 0) {
        FH_ERR(err, k_code_param, "flags=0x%x total_size=%lld: %s", param->flags,
               static_cast<long long>(param->total_size), verr2str(k_code_param));
        return nullptr;
    }
    if (param->block_size == 0 || param->block_size > k_max_unit || param->read_ahead > k_max_unit ||
        param->block_count < 0) {
        FH_ERR(err, k_code_param, "block_size=%u read_ahead=%u block_count=%d: block size 1 to %u, read-ahead at most %u",
               param->block_size, param->read_ahead, param->block_count, k_max_unit, k_max_unit);
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(file_hash_ctx));
    if (mem == nullptr) {
        FH_ERR(err, k_code_nomem, "%s", verr2str(k_code_nomem));
        return nullptr;
    }
    auto *t = new (mem) file_hash_ctx{};
    t->flags = param->flags;
    t->handle = param->handle;
    t->read = param->read != nullptr ? param->read : file_tool_pread;
    t->on_error = param->on_error;
    t->err = err;
    t->block_size = param->block_size;
    t->use_pool = param->use_pool;
    t->timeout_ms = param->timeout_ms != 0 ? param->timeout_ms : k_default_timeout_ms;
    t->total_size = static_cast<uint64_t>(param->total_size);
    t->read_ahead = param->read_ahead;
    t->attr = param->attr;
    t->pool = param->pool;
    if (param->saved != nullptr && param->saved[0] != '\0')
        t->saved = os_strdup(param->saved);
    t->text = str_buf_new();
    const read_cache_param rc{param->read_ahead, t->total_size, t->handle, t->read};
    t->cache = read_cache_open(&rc);
    if ((param->saved != nullptr && param->saved[0] != '\0' && t->saved == nullptr) || t->text == nullptr ||
        t->cache == nullptr) {
        FH_ERR(err, k_code_nomem, "%s", verr2str(k_code_nomem));
        free_parts(t);
        return nullptr;
    }
    // A saved text must restore every enabled algorithm: a digest that went
    // on from a fresh state would be wrong without a sign.
    std::vector<char> line(k_line_size);
    if (t->saved != nullptr && restore_check(t, t->saved, line) != 0) {
        FH_ERR(err, k_code_param, "the saved text does not restore [%s]", file_hash_flags_str(t->flags));
        free_parts(t);
        return nullptr;
    }
    if (param->block_count > 0)
        t->range_limit = static_cast<uint64_t>(param->block_count) * param->block_size;
    if (file_hash_init_env(t) != 0) {
        file_hash_close(t);
        return nullptr;
    }
    return t;
}

int file_hash_init_env(file_hash_ctx *t)
{
    PL_ASSERT_RET(t != nullptr, -1);
    if (t->range_limit == 0 || t->ready)
        return 0;
    const uint64_t blocks = (t->range_limit + t->block_size - 1) / t->block_size;
    if (blocks > k_max_blocks) {
        FH_ERR(t->err, k_code_param, "%llu blocks of %u bytes in one range: at most %llu",
               static_cast<unsigned long long>(blocks), t->block_size, static_cast<unsigned long long>(k_max_blocks));
        return -1;
    }
    t->block_count = static_cast<int32_t>(blocks);
    // The saved text was checked whole by the open (or by file_hash_set_ctx).
    std::vector<char> line(k_line_size);
    for (size_t i = 0; i < k_algs.size(); i++) {
        const digest_alg &a = k_algs[i];
        if (t->flags & a.flag) {
            t->whole[i] = a.make();
            if (t->whole[i] == nullptr) {
                FH_ERR(t->err, k_code_nomem, "%s", verr2str(k_code_nomem));
                return -1;
            }
            if (t->saved != nullptr)
                restore_whole(a, t->whole[i], t->saved, line);
            // Such a digest must see the blocks in order.
            t->use_pool = 0;
        }
    }
    for (size_t i = 0; i < k_algs.size(); i++) {
        const digest_alg &a = k_algs[i];
        if ((t->flags & a.pflag) == 0)
            continue;
        t->acc[i] = mem_add_malloc(static_cast<int32_t>(a.size), t->block_count, nullptr);
        if (t->acc[i] == nullptr) {
            FH_ERR(t->err, k_code_nomem, "%s", verr2str(k_code_nomem));
            return -1;
        }
        if (t->saved != nullptr)
            restore_sums(a, t->acc[i], t->saved, line);
    }
    const uint32_t ring_size = file_tool_ring_size(t->range_limit, t->block_size);
    if (t->use_pool) {
        if (t->pool == nullptr) {
            thread_pool_param pp{os_cpu_count(), "phash_thread_pool", t->attr};
            t->pool = thread_pool_init(&pp);
            if (t->pool == nullptr) {
                ZLOG_ERR("thread_pool_init failed\n");
                FH_ERR(t->err, k_code_nomem, "thread_pool_init failed");
                return -1;
            }
            t->pool_owned = 1;
        }
        t->blocks = mbuf2_init(ring_size, t->block_size);
        if (t->blocks == nullptr) {
            ZLOG_ERR("mbuf_init(len=%d) failed\n", static_cast<int>(ring_size));
            FH_ERR(t->err, k_code_nomem, "mbuf_init(len=%u) failed", ring_size);
            return -1;
        }
    } else {
        t->ring = mbuf_init(ring_size, t->block_size);
        if (t->ring == nullptr) {
            ZLOG_ERR("mbuf_init(len=%d) failed\n", static_cast<int>(ring_size));
            t->single = static_cast<uint8_t *>(os_malloc(t->block_size));
            if (t->single == nullptr) {
                FH_ERR(t->err, k_code_nomem, "%s", verr2str(k_code_nomem));
                return -1;
            }
        } else {
            t->thread = os_thread_init("hash_cal", file_hash_thread, t, 0);
            if (t->thread == nullptr) {
                FH_ERR(t->err, k_code_nomem, "the thread hash_cal cannot start");
                return -1;
            }
        }
    }
    t->ready = 1;
    return 0;
}

void file_hash_update(file_hash_ctx *t, const void *block, uint32_t len, int32_t idx)
{
    for (size_t i = 0; i < k_algs.size(); i++)
        if (t->whole[i] != nullptr)
            k_algs[i].update(t->whole[i], block, len);
    for (size_t i = 0; i < k_algs.size(); i++) {
        if (t->acc[i] == nullptr)
            continue;
        std::array<uint8_t, PL_SHA512_DIGEST_SIZE> digest{};
        k_algs[i].oneshot(block, len, digest.data());
        mem_add_buf(t->acc[i], digest.data(), idx);
    }
}

void file_hash_job(void *arg)
{
    auto *d = static_cast<mbuf2_desc *>(arg);
    job_rec rec;
    memcpy(&rec, d->user, sizeof(rec));
    file_hash_update(rec.tool, d->block, rec.len, rec.idx);
}

int file_hash_thread(void *arg)
{
    auto *t = static_cast<file_hash_ctx *>(arg);
    // Lives until the tool closes: a range that ended with a short block may
    // still be followed by another.
    while (t->stop.load() == 0) {
        uint32_t len = 0;
        void *blk = mbuf_read_get_wait(t->ring, &len, k_poll_ms);
        if (blk == nullptr)
            continue;
        file_hash_update(t, blk, len, t->next_idx.fetch_add(1));
        mbuf_read_unref(t->ring);
    }
    return 0;
}

int file_hash_cal(file_hash_ctx *t, uint64_t offset, uint64_t len)
{
    PL_ASSERT_RET(t != nullptr, -1);
    if (len > k_max_blocks * t->block_size || offset > UINT64_MAX - len) {
        FH_ERR(t->err, k_code_param, "offset=%llu len=%llu: too long for block size %u",
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(len), t->block_size);
        return -1;
    }
    if (t->range_limit == 0) {
        // An empty first range still sets the job up, so that an empty file
        // gives the empty-message digests.
        t->range_limit = round_up(std::max<uint64_t>(len, 1), t->block_size);
        if (file_hash_init_env(t) != 0)
            return -1;
    } else if (len > t->range_limit) {
        ZLOG_ERR("len=%u > max_len=%u\n", static_cast<unsigned>(len), static_cast<unsigned>(t->range_limit));
        FH_ERR(t->err, k_code_param, "len=%llu > max_len=%llu", static_cast<unsigned long long>(len),
               static_cast<unsigned long long>(t->range_limit));
        return -1;
    }
    if (!t->ready) {
        FH_ERR(t->err, -1, "the tool could not be set up");
        return -1;
    }
    file_hash_get_presult(t, nullptr, 0);
    return t->blocks != nullptr ? file_hash_cal_thread_pool(t, offset, len) : file_hash_cal_loop(t, offset, len);
}

int file_hash_get_digest(file_hash_ctx *t, uint32_t flag, uint8_t *out, size_t size)
{
    PL_ASSERT_RET(t != nullptr && out != nullptr, -1);
    for (size_t i = 0; i < k_algs.size(); i++) {
        if ((flag & k_algs[i].flag) == 0 || t->whole[i] == nullptr)
            continue;
        if (size < k_algs[i].size)
            return -1;
        k_algs[i].digest(t->whole[i], out);
        return 0;
    }
    for (size_t i = 0; i < k_algs.size(); i++)
        if ((flag & k_algs[i].pflag) != 0 && t->acc[i] != nullptr)
            return mem_add_get_crc8(t->acc[i], out, size);
    return -1;
}

int file_hash_get_result(file_hash_ctx *t, char *out, size_t size)
{
    PL_ASSERT_RET(t != nullptr && out != nullptr && size > 0, -1);
    if (!t->ready)
        return str_safecopy(out, size, t->saved != nullptr ? t->saved : "") == 0 ? 0 : -1;
    std::vector<char> line(k_line_size);
    const auto whole_text = [&](size_t i) {
        return k_algs[i].get(t->whole[i], line.data(), line.size()) == 0 ? line.data() : nullptr;
    };
    const auto sums_text = [&](size_t i) {
        return mem_add_get_sum(t->acc[i], line.data(), line.size()) == 0 ? line.data() : nullptr;
    };
    return copy_out(t, build_lines(t, &whole_text, sums_text), out, size);
}

int file_hash_get_presult(file_hash_ctx *t, char *out, size_t size)
{
    PL_ASSERT_RET(t != nullptr && (out == nullptr || size > 0), -1);
    int rc = 0;
    if (out != nullptr && t->ready) {
        std::vector<char> records;
        const auto records_text = [&](size_t i) -> const char * {
            mem_add *acc = t->acc[i];
            const size_t hex = 2 * static_cast<size_t>(acc->r_len) + 1;
            records.assign(static_cast<size_t>(acc->now_r_count) * hex + 1, '\0');
            return mem_add_get_record(acc, records.data(), records.size()) == 0 ? records.data() : nullptr;
        };
        rc = copy_out(t, build_lines(t, static_cast<const decltype(records_text) *>(nullptr), records_text), out,
                      size);
    } else if (out != nullptr) {
        out[0] = '\0';
    }
    for (mem_add *acc : t->acc)
        if (acc != nullptr)
            mem_add_reset(acc);
    return rc;
}

int file_hash_set_ctx(file_hash_ctx *t, const char *text)
{
    PL_ASSERT_RET(t != nullptr && text != nullptr, -1);
    std::vector<char> line(k_line_size);
    if (restore_check(t, text, line) != 0)
        return -1;
    if (!t->ready) {
        // Not set up yet: the text is what the set-up restores from.
        char *copy = os_strdup(text);
        if (copy == nullptr)
            return -1;
        os_free(t->saved);
        t->saved = copy;
        return 0;
    }
    for (size_t i = 0; i < k_algs.size(); i++) {
        if (t->whole[i] != nullptr)
            restore_whole(k_algs[i], t->whole[i], text, line);
        if (t->acc[i] != nullptr) {
            mem_add_reset_sum(t->acc[i]);
            restore_sums(k_algs[i], t->acc[i], text, line);
        }
    }
    return 0;
}

int file_hash_close(file_hash_ctx *t)
{
    if (t == nullptr)
        return 0;
    bool left_running = false;
    if (t->thread != nullptr) {
        t->stop.store(1);
        left_running = os_thread_wait_kill_exit(t->thread, k_stop_wait_ms, nullptr) < 0;
        t->thread = nullptr;
    }
    if (t->pool != nullptr && t->blocks != nullptr) {
        // Jobs of ours may still be queued on a caller's pool, or running.
        left_running = file_tool_pool_drain(t->pool, t->timeout_ms) != 0 || left_running;
    }
    if (t->pool != nullptr && t->pool_owned)
        thread_ctx_exit(t->pool);
    if (left_running) {
        // A worker may still touch the contexts and blocks: they stay its.
        ZLOG_WARN("a hashing worker outlived close; the tool is left allocated\n");
        return 0;
    }
    free_parts(t);
    return 0;
}

int file_hash_find_ctx(const char *text, uint32_t flag, char *out, size_t size)
{
    PL_ASSERT_RET(out != nullptr && size > 0, -1);
    out[0] = '\0';
    if (text == nullptr)
        return 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        const std::string_view line = rest.substr(0, lf);
        for (size_t i = 0; i < k_name_count; i++) {
            const std::string_view name = name_at(i);
            if ((flag & flag_at(i)) == 0 || line.size() <= name.size() || line.substr(0, name.size()) != name ||
                line[name.size()] != ' ')
                continue;
            const std::string_view value = line.substr(name.size() + 1);
            if (value.size() >= size)
                return 0;
            memcpy(out, value.data(), value.size());
            out[value.size()] = '\0';
            return 0;
        }
        if (lf == std::string_view::npos)
            break;
        rest.remove_prefix(lf + 1);
    }
    return 0;
}

const char *file_hash_flags_str(uint32_t flags)
{
    thread_local char text[512];
    text[0] = '\0';
    for (size_t i = 0; i < k_name_count; i++) {
        if ((flags & flag_at(i)) == 0)
            continue;
        if (text[0] != '\0')
            str_safecat2(text, sizeof(text), "|");
        str_safecat2(text, sizeof(text), name_at(i));
    }
    return text;
}

int file_hash_str_flags(const char *text)
{
    if (text == nullptr || text[0] == '\0')
        return -1;
    uint32_t flags = 0;
    std::string_view rest(text);
    for (;;) {
        const size_t comma = rest.find(',');
        const std::string_view chunk = rest.substr(0, comma);
        for (size_t i = 0; i < k_name_count; i++)
            if (chunk == name_at(i))
                flags |= flag_at(i);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return flags != 0 ? static_cast<int>(flags) : -1;
}

int file_hash_split_records(const char *line, str_vector *out)
{
    PL_ASSERT_RET(line != nullptr && out != nullptr, -1);
    const char *blank = strchr(line, ' ');
    if (blank == nullptr)
        return -1;
    const char *value = blank + 1;
    const char *lf = strchr(value, '\n');
    pl_owned<char, os_free> copy(os_strndup(value, lf != nullptr ? static_cast<size_t>(lf - value) : strlen(value)));
    if (!copy)
        return -1;
    return str_vector_split(copy.get(), "|", out) < 0 ? -1 : 0;
}
