// The positioned-write executor: one buffer, written chunk by chunk; a
// fixed byte is filled once, random bytes anew for every chunk.
#include "libpal/tframe/pwritex.h"

#include <algorithm>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/memory/random.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

#define PW_ERR(rec, code, ...) verr_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

namespace {

constexpr int k_code_param = -2;
constexpr int k_code_nomem = -8;
constexpr int k_code_io = -250;

// The buffer holds fill: a byte value, fresh random bytes, or (a prepared
// buffer) what it holds.
void fill_buffer(uint8_t *buf, size_t len, uint32_t fill)
{
    if (fill < PWRITEX_RANDOM)
        memset(buf, static_cast<int>(fill), len);
    else if (fill == PWRITEX_RANDOM)
        memory_random(buf, len);
}

// Writes len bytes of buf at offset whole, continuing after short writes:
// len, the failing write's negative result, or 0 when a write moved nothing.
int64_t write_whole(const pwritex_ctx *ctx, void *handle, const uint8_t *buf, size_t len, uint64_t offset)
{
    const file_write_proc write = ctx->write != nullptr ? ctx->write : file_tool_pwrite;
    size_t done = 0;
    while (done < len) {
        const int64_t w = write(handle, buf + done, len - done, offset + done);
        if (w <= 0)
            return w;
        done += static_cast<size_t>(w);
    }
    return static_cast<int64_t>(len);
}

}  // namespace

int pwritex_init(pwritex_ctx *ctx, void *handle, uint32_t fill, uint64_t size)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    pwritex_free(ctx);
    if (size == 0 || size > PWRITEX_MAX_SIZE) {
        PW_ERR(ctx->err, k_code_param, "buffer size %llu: 1 to %llu bytes", static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(PWRITEX_MAX_SIZE));
        return -1;
    }
    // Zeroed, so that a prepared buffer the caller does not fill writes zeros,
    // never whatever the memory held.
    ctx->buf = static_cast<uint8_t *>(os_zalloc(size));
    if (ctx->buf == nullptr) {
        PW_ERR(ctx->err, k_code_nomem, "%s", verr2str(k_code_nomem));
        return -1;
    }
    ctx->handle = handle;
    ctx->fill = fill;
    ctx->size = size;
    ctx->buf_fill = fill < PWRITEX_RANDOM ? fill : 0;
    if (fill < PWRITEX_RANDOM)
        fill_buffer(ctx->buf, size, fill);
    return 0;
}

int64_t pwritex_exec(pwritex_ctx *ctx, uint64_t len, uint64_t offset)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    if (ctx->buf == nullptr || ctx->size == 0) {
        PW_ERR(ctx->err, k_code_param, "no buffer: pwritex_init first");
        return -1;
    }
    uint64_t done = 0;
    while (done < len) {
        const auto n = static_cast<size_t>(std::min(ctx->size, len - done));
        if (ctx->fill == PWRITEX_RANDOM)
            fill_buffer(ctx->buf, n, PWRITEX_RANDOM);
        const int64_t w = write_whole(ctx, ctx->handle, ctx->buf, n, offset + done);
        if (w < 0) {
            file_tool_failed(ctx->err, ctx->write == nullptr, ctx->on_error, ctx->handle, w, __FILE__, __LINE__,
                             __func__);
            return -1;
        }
        if (w == 0) {
            PW_ERR(ctx->err, k_code_io, "write at %llu moved nothing: %s",
                   static_cast<unsigned long long>(offset + done), verr2str(k_code_io));
            return -1;
        }
        done += n;
    }
    return static_cast<int64_t>(len);
}

int pwritex_free(pwritex_ctx *ctx)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    os_free(ctx->buf);
    ctx->buf = nullptr;
    ctx->size = 0;
    return 0;
}

int64_t pwritex_write(pwritex_ctx *ctx, void *handle, uint32_t fill, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(ctx != nullptr, -1);
    if (count == 0 || count > PWRITEX_MAX_SIZE)
        return -1;
    if (ctx->buf == nullptr || ctx->size < count) {
        auto *bigger = static_cast<uint8_t *>(os_zalloc(count));
        if (bigger == nullptr)
            return -1;
        os_free(ctx->buf);
        ctx->buf = bigger;
        ctx->size = count;
        ctx->buf_fill = 0;  // zeroed: the content of fill 0
    }
    // A byte value refills the whole buffer, so that a later longer write of
    // the same value finds all of it right.
    if (fill == PWRITEX_RANDOM)
        fill_buffer(ctx->buf, count, fill);
    else if (fill < PWRITEX_RANDOM && fill != ctx->buf_fill)
        fill_buffer(ctx->buf, static_cast<size_t>(ctx->size), fill);
    const int64_t w = write_whole(ctx, handle, ctx->buf, count, offset);
    if (fill <= PWRITEX_RANDOM)
        ctx->buf_fill = fill;
    return w;
}
