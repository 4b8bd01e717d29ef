// The byte-count tool: the caller reads the range block by block; the blocks
// are counted by "bcount_cal" through a ring, by the caller through one
// buffer when no ring could be had, or by a thread pool whose workers count
// each block privately and add it under the tool's mutex. Every wait is
// bounded.
#include "libpal/tframe/file_bcount.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/memory/mbuf.h"
#include "libpal/memory/mbuf2.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_sys_text.h"
#include "libpal/string/str_buf.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

#define BC_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr uint32_t k_default_block = 0x200000;
constexpr uint32_t k_max_block = 64u << 20;
constexpr uint32_t k_drain_ms = 30000;
constexpr uint32_t k_poll_ms = 10;
constexpr int k_stop_wait_ms = 1000;
constexpr uint64_t k_read_only = 1;
constexpr int k_code_param = -2;
constexpr int k_code_nomem = -8;

struct job_rec {
    file_bcount_ctx *tool;
    uint32_t len;
};
static_assert(sizeof(job_rec) <= sizeof(mbuf2_desc::user));

// The 256 comma-separated hex counters of text into out: false unless the
// text holds exactly that.
bool parse_counters(const char *text, uint64_t *out)
{
    if (text == nullptr)
        return false;
    std::string_view rest(text);
    for (size_t i = 0; i < 256; i++) {
        const size_t comma = rest.find(',');
        if ((comma == std::string_view::npos) != (i == 255))
            return false;
        const std::string_view field = rest.substr(0, comma);
        const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), out[i], 16);
        if (field.empty() || ec != std::errc() || end != field.data() + field.size())
            return false;
        if (comma != std::string_view::npos)
            rest.remove_prefix(comma + 1);
    }
    return true;
}

// Counters with their total from a text: false unless it holds 256 counters.
bool counters_of(const char *text, uint64_t counters[FILE_BCOUNT_COUNTERS])
{
    if (!parse_counters(text, counters))
        return false;
    counters[256] = 0;
    for (size_t i = 0; i < 256; i++)
        counters[256] += counters[i];
    return true;
}

double share(uint64_t count, uint64_t total)
{
    return total == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(total) * 100.0;
}

void fill_stats(const uint64_t counters[FILE_BCOUNT_COUNTERS], double stats[FILE_BCOUNT_STATS])
{
    for (size_t i = 0; i < 256; i++)
        stats[i] = share(counters[i], counters[256]);
    stats[256] = *std::min_element(stats, stats + 256);
    stats[257] = *std::max_element(stats, stats + 256);
    stats[258] = *std::max_element(stats + 1, stats + 256);
}

void read_failed(file_bcount_ctx *t, int64_t n, const char *func)
{
    file_tool_failed(t->err, t->read == file_tool_pread, t->on_error, t->handle, n, __FILE__, __LINE__, func);
}

void free_parts(file_bcount_ctx *t)
{
    if (t->blocks != nullptr)
        mbuf2_exit(t->blocks);
    if (t->ring != nullptr)
        mbuf_exit(t->ring);
    os_free(t->single);
    mutex_free(t->mutex);
    t->~file_bcount_ctx();
    os_free(t);
}

// The ring, its counting thread or the single buffer, sized by the first range.
int set_up_loop(file_bcount_ctx *t, uint64_t len)
{
    const uint32_t size = file_tool_ring_size(len, t->block_size);
    t->ring = mbuf_init(size, t->block_size);
    if (t->ring == nullptr) {
        ZLOG_ERR("mbuf_init(bs=%d) failed\n", static_cast<int>(size));
        t->single = static_cast<uint8_t *>(os_malloc(t->block_size));
        if (t->single == nullptr) {
            BC_ERR(t->err, k_code_nomem, "%s", verr2str(k_code_nomem));
            return -1;
        }
        return 0;
    }
    t->thread = os_thread_init("bcount_cal", file_bcount_thread, t, 0);
    if (t->thread == nullptr) {
        BC_ERR(t->err, k_code_nomem, "the thread bcount_cal cannot start");
        return -1;
    }
    return 0;
}

// Reads one block: false (recorded) unless it is whole.
bool read_block(file_bcount_ctx *t, uint8_t *buf, uint32_t n, uint64_t pos, const char *func)
{
    const int64_t got = t->read(t->handle, buf, n, pos);
    if (got == n)
        return true;
    read_failed(t, got, func);
    return false;
}

int file_bcount_cal_loop(file_bcount_ctx *t, uint64_t offset, uint64_t len)
{
    if (t->ring == nullptr && t->single == nullptr && set_up_loop(t, len) != 0)
        return -1;
    const file_tool_pass p{t->err, __func__, t->block_size, k_drain_ms, &t->stop};
    return file_tool_ring_pass(
        p, t->ring, t->single, offset, len,
        [t, &p](uint8_t *buf, uint32_t n, uint64_t pos) { return read_block(t, buf, n, pos, p.func); },
        [t](uint8_t *buf, uint32_t n, int32_t) { file_bcount_add(t->counters, buf, n); });
}

int file_bcount_cal_thread_pool(file_bcount_ctx *t, uint64_t offset, uint64_t len)
{
    if (t->blocks == nullptr) {
        t->blocks = mbuf2_init(file_tool_ring_size(len, t->block_size), t->block_size);
        if (t->blocks == nullptr) {
            BC_ERR(t->err, k_code_nomem, "%s", verr2str(k_code_nomem));
            return -1;
        }
    }
    const file_tool_pass p{t->err, __func__, t->block_size, k_drain_ms, nullptr};
    return file_tool_pool_pass(
        p, t->pool, t->blocks, offset, len,
        [t, &p](uint8_t *buf, uint32_t n, uint64_t pos) { return read_block(t, buf, n, pos, p.func); },
        [t](mbuf2_desc *d, uint32_t n, int32_t) {
            const job_rec rec{t, n};
            memcpy(d->user, &rec, sizeof(rec));
            if (thread_pool_add(t->pool, file_bcount_job, d) != 0)
                file_bcount_job(d);
        });
}

}  // namespace

void file_bcount_add(uint64_t counters[256], const void *buf, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    for (size_t i = 0; i < len; i++)
        counters[p[i]]++;
}

void file_bcount_job(void *arg)
{
    auto *d = static_cast<mbuf2_desc *>(arg);
    job_rec rec;
    memcpy(&rec, d->user, sizeof(rec));
    std::array<uint64_t, 256> mine{};
    file_bcount_add(mine.data(), d->block, rec.len);
    os_mutex_guard held(rec.tool->mutex);
    for (size_t i = 0; i < mine.size(); i++)
        rec.tool->counters[i] += mine[i];
}

int file_bcount_thread(void *arg)
{
    auto *t = static_cast<file_bcount_ctx *>(arg);
    // Lives until the tool closes, so that any range may follow any other.
    while (t->stop.load() == 0) {
        uint32_t len = 0;
        void *blk = mbuf_read_get_wait(t->ring, &len, k_poll_ms);
        if (blk == nullptr)
            continue;
        file_bcount_add(t->counters, blk, len);
        mbuf_read_unref(t->ring);
    }
    return 0;
}

file_bcount_ctx *file_bcount_open(const file_bcount_param *param, verr *err)
{
    PL_ASSERT_TEXT_RET(param != nullptr, "param!=NULL", nullptr);
    PL_ASSERT_TEXT_RET(err != nullptr, "errp!=NULL", nullptr);
    if (param->block_size > k_max_block) {
        BC_ERR(err, k_code_param, "block_size=%u: at most %u", param->block_size, k_max_block);
        return nullptr;
    }
    std::array<uint64_t, 256> saved{};
    // A text that does not restore would restart the counts without a sign.
    if (param->saved != nullptr && param->saved[0] != '\0' && !parse_counters(param->saved, saved.data())) {
        BC_ERR(err, k_code_param, "the saved text is not 256 hex counters");
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(file_bcount_ctx));
    if (mem == nullptr) {
        BC_ERR(err, k_code_nomem, "%s", verr2str(k_code_nomem));
        return nullptr;
    }
    auto *t = new (mem) file_bcount_ctx{};
    t->handle = param->handle;
    t->read = param->read != nullptr ? param->read : file_tool_pread;
    t->on_error = param->on_error;
    t->err = err;
    t->use_pool = param->use_pool;
    t->block_size = param->block_size != 0 ? param->block_size : k_default_block;
    memcpy(t->counters, saved.data(), sizeof(t->counters));
    if (t->use_pool) {
        thread_pool_param pp{os_cpu_count(), "bcount_thread_pool", param->attr};
        t->pool = thread_pool_init(&pp);
        if (t->pool == nullptr) {
            ZLOG_ERR("thread_pool_init failed\n");
            BC_ERR(err, k_code_nomem, "thread_pool_init failed");
            free_parts(t);
            return nullptr;
        }
        t->mutex = mutex_malloc();
        if (t->mutex == nullptr) {
            BC_ERR(err, k_code_nomem, "%s", verr2str(k_code_nomem));
            file_bcount_close(t);
            return nullptr;
        }
    }
    return t;
}

int file_bcount_cal(file_bcount_ctx *t, uint64_t offset, uint64_t len)
{
    PL_ASSERT_RET(t != nullptr, -1);
    if (offset > UINT64_MAX - len) {
        BC_ERR(t->err, k_code_param, "offset=%llu len=%llu: past the end of any data",
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(len));
        return -1;
    }
    return t->pool != nullptr ? file_bcount_cal_thread_pool(t, offset, len) : file_bcount_cal_loop(t, offset, len);
}

int file_bcount_get_ctx(file_bcount_ctx *t, char *out, size_t size)
{
    PL_ASSERT_RET(t != nullptr && out != nullptr && size > 0, -1);
    size_t used = 0;
    for (size_t i = 0; i < 256; i++) {
        char field[24];
        const int n = snprintf(field, sizeof(field), i == 0 ? "%lx" : ",%lx", static_cast<unsigned long>(t->counters[i]));
        if (static_cast<size_t>(n) >= size - used) {
            ZLOG_ERR("counters text does not fit in %zu bytes\n", size);
            out[0] = '\0';
            return -1;
        }
        memcpy(out + used, field, static_cast<size_t>(n) + 1);
        used += static_cast<size_t>(n);
    }
    return 0;
}

int file_bcount_close(file_bcount_ctx *t)
{
    if (t == nullptr)
        return 0;
    bool left_running = false;
    if (t->pool != nullptr) {
        left_running = file_tool_pool_drain(t->pool, k_drain_ms) != 0;
        thread_ctx_exit(t->pool);
        t->pool = nullptr;
    }
    if (t->thread != nullptr) {
        t->stop.store(1);
        left_running = os_thread_wait_kill_exit(t->thread, k_stop_wait_ms, nullptr) < 0 || left_running;
        t->thread = nullptr;
    }
    if (left_running) {
        ZLOG_WARN("a counting worker outlived close; the tool is left allocated\n");
        return 0;
    }
    free_parts(t);
    return 0;
}

char *file_bcount_table(const uint64_t counters[FILE_BCOUNT_COUNTERS])
{
    PL_ASSERT_RET(counters != nullptr, nullptr);
    pl_owned<str_buf, str_buf_free> sb(str_buf_new());
    if (!sb)
        return nullptr;
    str_buf_appendf(sb.get(), "Hex\tDec\tChr\tNo\t%%\n");
    for (int i = 0; i < 256; i++) {
        const char chr = i >= 32 && i <= 126 ? static_cast<char>(i) : '.';
        if (str_buf_appendf(sb.get(), "%02X\t%d\t%c\t%lu\t%0.2f%%\n", i, i, chr,
                            static_cast<unsigned long>(counters[i]), share(counters[i], counters[256])) < 0)
            return nullptr;
    }
    return str_buf_detach_nonnull(sb.release());
}

char *file_bcount_ctx_table(const char *text)
{
    std::array<uint64_t, FILE_BCOUNT_COUNTERS> counters{};
    if (!counters_of(text, counters.data()))
        return nullptr;
    return file_bcount_table(counters.data());
}

int file_bcount_ctx_stat(const char *text, uint64_t counters[FILE_BCOUNT_COUNTERS], double stats[FILE_BCOUNT_STATS])
{
    PL_ASSERT_RET(counters != nullptr && stats != nullptr, -1);
    if (!counters_of(text, counters))
        return -1;
    fill_stats(counters, stats);
    return 0;
}

int file_bcount_file(const char *path, uint32_t block_size, uint64_t counters[FILE_BCOUNT_COUNTERS],
                     double stats[FILE_BCOUNT_STATS])
{
    PL_ASSERT_RET(path != nullptr && counters != nullptr && stats != nullptr, -1);
    pl_owned<os_file_ctx, os_file_close> file(os_file_open(path, k_read_only));
    if (!file)
        return -1;
    pl_owned<verr, os_free> err(static_cast<verr *>(os_zalloc(sizeof(verr))));
    if (!err)
        return -1;
    const file_bcount_param param{file.get(), nullptr, nullptr, block_size, 0, nullptr, nullptr};
    pl_owned<file_bcount_ctx, file_bcount_close> tool(file_bcount_open(&param, err.get()));
    const int64_t size = os_file_size(file.get());
    if (!tool || size < 0)
        return -1;
    // One range: the ring is reused across it, so reading and counting overlap.
    if (file_bcount_cal(tool.get(), 0, static_cast<uint64_t>(size)) != 0) {
        ZLOG_ERR("count [%s] failed: %s\n", path, verr_msg(err.get()));
        return -1;
    }
    memcpy(counters, tool->counters, sizeof(tool->counters));
    counters[256] = static_cast<uint64_t>(size);
    fill_stats(counters, stats);
    return 0;
}
