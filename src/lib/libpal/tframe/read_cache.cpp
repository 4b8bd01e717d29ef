// The read-ahead cache: one buffer, refilled from wherever the caller reads
// next, cut at the data's limit.
#include "libpal/tframe/read_cache.h"

#include <algorithm>
#include <cstring>

#include "libpal/basic/os_malloc.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// count cut so that nothing at or past the limit is asked for.
size_t within_limit(const read_cache *c, size_t count, uint64_t offset)
{
    if (c->limit == 0)
        return count;
    if (offset >= c->limit)
        return 0;
    return static_cast<size_t>(std::min<uint64_t>(count, c->limit - offset));
}

}  // namespace

read_cache *read_cache_open(const read_cache_param *param)
{
    PL_ASSERT_RET(param != nullptr && param->read != nullptr, nullptr);
    auto *c = static_cast<read_cache *>(os_zalloc(sizeof(read_cache)));
    if (c == nullptr)
        return nullptr;
    c->block_size = param->block_size != 0 ? param->block_size : READ_CACHE_DEFAULT_SIZE;
    c->buf = static_cast<uint8_t *>(os_malloc(c->block_size));
    if (c->buf == nullptr) {
        os_free(c);
        return nullptr;
    }
    c->limit = param->limit;
    c->handle = param->handle;
    c->read = param->read;
    return c;
}

int64_t read_cache_pread(read_cache *c, void *buf, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(c != nullptr && (buf != nullptr || count == 0), -1);
    auto *out = static_cast<uint8_t *>(buf);
    // A limit applies to direct reads too: the data ends there either way.
    count = within_limit(c, count, offset);
    if (count == 0)
        return 0;
    if (count >= c->block_size) {
        read_cache_reset(c);
        return c->read(c->handle, out, count, offset);
    }
    size_t done = 0;
    if (c->valid != 0 && c->pos + c->consumed == offset) {
        const size_t take = std::min<size_t>(count, c->valid - c->consumed);
        memcpy(out, c->buf + c->consumed, take);
        c->consumed += static_cast<uint32_t>(take);
        if (c->consumed == c->valid)
            read_cache_reset(c);
        done = take;
        if (done == count)
            return static_cast<int64_t>(count);
    } else {
        read_cache_reset(c);
    }
    const uint64_t at = offset + done;
    const size_t amount = within_limit(c, c->block_size, at);
    if (amount == 0)
        return static_cast<int64_t>(done);
    const int64_t n = c->read(c->handle, c->buf, amount, at);
    if (n < 0)
        return -1;
    const size_t take = std::min<size_t>(static_cast<size_t>(n), count - done);
    memcpy(out + done, c->buf, take);
    if (take < static_cast<size_t>(n)) {
        c->pos = at;
        c->valid = static_cast<uint32_t>(n);
        c->consumed = static_cast<uint32_t>(take);
    }
    return static_cast<int64_t>(done + take);
}

void read_cache_reset(read_cache *c)
{
    if (c == nullptr)
        return;
    c->valid = 0;
    c->consumed = 0;
}

void read_cache_close(read_cache *c)
{
    if (c == nullptr)
        return;
    os_free(c->buf);
    os_free(c);
}
