// Record accumulator. The sums are plain additions, so the combined value of
// a job does not depend on which thread added which block first.
#include "libpal/memory/mem_add.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/hash/crc.h"
#include "libpal/string/str_hex.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

void acc_free(mem_add *ctx)
{
    os_free(ctx->sum);
    os_free(ctx->records);
    os_free(ctx->hex);
    mutex_free(ctx->mutex);
    os_free(ctx);
}

// Reads the comma-separated hexadecimal fields of text into out (when
// given): the number of fields, or -1 at the first field that is no u32.
int parse_sums(std::string_view text, uint32_t *out, int max)
{
    int n = 0;
    for (;;) {
        const size_t comma = text.find(',');
        const std::string_view field = text.substr(0, comma);
        uint32_t v = 0;
        const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v, 16);
        if (field.empty() || ec != std::errc() || end != field.data() + field.size())
            return -1;
        if (out != nullptr && n < max)
            out[n] = v;
        n++;
        if (comma == std::string_view::npos)
            return n;
        text.remove_prefix(comma + 1);
    }
}

// Appends piece at *used; false (text emptied) when it does not fit with a NUL.
bool append(char *text, size_t size, size_t *used, std::string_view piece)
{
    if (piece.size() >= size - *used) {
        text[0] = '\0';
        return false;
    }
    memcpy(text + *used, piece.data(), piece.size());
    *used += piece.size();
    text[*used] = '\0';
    return true;
}

}  // namespace

mem_add *mem_add_malloc(int32_t r_len, int32_t r_count, const char *sums)
{
    PL_ASSERT_TEXT_RET(r_len > 0 && r_count >= 0, "r_len>0 && r_count>=0", nullptr);
    pl_owned<mem_add, acc_free> ctx(static_cast<mem_add *>(os_zalloc(sizeof(mem_add))));
    if (!ctx)
        return nullptr;
    ctx->r_len = r_len;
    ctx->r_count = r_count;
    ctx->sum_size = static_cast<size_t>(r_len) * sizeof(uint32_t);
    ctx->sum = static_cast<uint32_t *>(os_zalloc(ctx->sum_size));
    ctx->mutex = mutex_malloc();
    if (ctx->sum == nullptr || ctx->mutex == nullptr)
        return nullptr;
    if (r_count > 0) {
        ctx->hex_size = 2 * static_cast<size_t>(r_len) + 1;
        ctx->records = static_cast<uint8_t *>(os_zalloc(static_cast<size_t>(r_count) * static_cast<size_t>(r_len)));
        ctx->hex = static_cast<char *>(os_zalloc(ctx->hex_size));
        if (ctx->records == nullptr || ctx->hex == nullptr)
            return nullptr;
    }
    if (sums != nullptr && sums[0] != '\0' && set_sum(ctx.get(), sums) != 0)
        ZLOG_ERR("set_sum [%s] failed\n", sums);
    return ctx.release();
}

int mem_add_free(mem_add *ctx)
{
    if (ctx != nullptr)
        acc_free(ctx);
    return 0;
}

void mem_add_reset_sum(mem_add *ctx)
{
    PL_ASSERT_TEXT_RET_VOID(ctx != nullptr, "ctx!=NULL");
    memset(ctx->sum, 0, ctx->sum_size);
    ctx->now_r_count = 0;
}

void mem_add_reset(mem_add *ctx)
{
    PL_ASSERT_TEXT_RET_VOID(ctx != nullptr, "ctx!=NULL");
    ctx->now_r_count = 0;
}

int mem_add_buf(mem_add *ctx, const void *buf, int32_t r_idx)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr, "ctx!=NULL", -1);
    PL_ASSERT_TEXT_RET(buf != nullptr, "buf != NULL", -1);
    // Without record slots the index names nothing and only the sums grow.
    if (ctx->records != nullptr)
        PL_ASSERT_TEXT_RET(r_idx >= 0 && r_idx < ctx->r_count, "r_idx >= 0 && r_idx < ctx->r_count", -1);
    const auto *bytes = static_cast<const uint8_t *>(buf);
    os_mutex_guard held(ctx->mutex);
    if (ctx->records != nullptr)
        memcpy(ctx->records + static_cast<size_t>(r_idx) * static_cast<size_t>(ctx->r_len), bytes,
               static_cast<size_t>(ctx->r_len));
    for (int32_t i = 0; i < ctx->r_len; i++)
        ctx->sum[i] += bytes[i];
    ctx->now_r_count++;
    ctx->total++;
    return 0;
}

uint64_t mem_add_get_total(mem_add *ctx)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr, "ctx!=NULL", 0);
    os_mutex_guard held(ctx->mutex);
    return ctx->total;
}

int mem_add_get_sum(mem_add *ctx, char *text, size_t size)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr && text != nullptr && size > 0, "ctx!=NULL && buf!=NULL && len>0", -1);
    text[0] = '\0';
    size_t used = 0;
    for (int32_t i = 0; i < ctx->r_len; i++) {
        char field[16];
        const int n = snprintf(field, sizeof(field), i == 0 ? "%x" : ",%x", ctx->sum[i]);
        if (!append(text, size, &used, std::string_view(field, static_cast<size_t>(n))))
            return -1;
    }
    return 0;
}

int set_sum(mem_add *ctx, const char *text)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr && text != nullptr, "ctx!=NULL && str!=NULL", -1);
    ctx->now_r_count = 0;
    // Checked whole before any sum changes.
    if (parse_sums(text, nullptr, 0) != ctx->r_len)
        return -1;
    parse_sums(text, ctx->sum, ctx->r_len);
    return 0;
}

int mem_add_get_record(mem_add *ctx, char *text, size_t size)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr && text != nullptr && size > 0, "ctx!=NULL && buf!=NULL && len>0", -1);
    text[0] = '\0';
    if (ctx->records == nullptr)
        return 0;
    PL_ASSERT_TEXT_RET(ctx->now_r_count <= ctx->r_count, "ctx->now_r_count <= ctx->r_count", -1);
    size_t used = 0;
    for (int32_t i = 0; i < ctx->now_r_count; i++) {
        const int n = str_bin_encode_hex(ctx->records + static_cast<size_t>(i) * static_cast<size_t>(ctx->r_len),
                                         ctx->r_len, ctx->hex, ctx->hex_size);
        if ((i > 0 && !append(text, size, &used, "|")) ||
            !append(text, size, &used, std::string_view(ctx->hex, static_cast<size_t>(n))))
            return -1;
    }
    return 0;
}

int mem_add_get_crc8(mem_add *ctx, uint8_t *out, size_t room)
{
    PL_ASSERT_TEXT_RET(ctx != nullptr && out != nullptr, "ctx!=NULL && out!=NULL", -1);
    if (room < static_cast<size_t>(ctx->r_len))
        return -1;
    for (int32_t i = 0; i < ctx->r_len; i++) {
        const uint32_t s = ctx->sum[i];
        const uint8_t le[4] = {static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s >> 16),
                               static_cast<uint8_t>(s >> 24)};
        out[i] = hash_crc8(le, sizeof(le), 0);
    }
    return 0;
}
