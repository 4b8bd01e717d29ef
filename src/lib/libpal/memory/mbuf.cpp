// Block sequence: block i starts at data + i * block_size and the indices
// only grow until mbuf_reset. Each committed block's length is kept beside
// it, so a short block is reported with its own length even when another
// short block follows before the consumer reaches it. The indices and the
// count are atomics because each side reads the other's without the mutex;
// a block's bytes and length are written before the write index that
// publishes them.
#include "libpal/memory/mbuf.h"

#include <atomic>
#include <cstring>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"
#include "libpal/memory/mem_wait.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

struct mbuf {
    uint32_t all_size;
    uint32_t block_size;
    std::atomic<uint32_t> count;  // committed, unread blocks
    uint32_t max_queue_size;
    uint8_t *data;
    uint32_t *lengths;  // one per block, written at its commit
    std::atomic<uint32_t> read_idx;
    std::atomic<uint32_t> write_idx;
    os_mutex *mutex;
    os_cond *commit_event;
    os_cond *release_event;
};

namespace {

bool size_ok(const mbuf *h, uint32_t size)
{
    PL_ASSERT_TEXT_RET(size > 0 && size <= h->block_size, "size>0 && size<=ctx->block_size", false);
    return true;
}

bool full(const mbuf *h)
{
    return h->count.load() + 1 > h->max_queue_size || h->write_idx.load() >= h->max_queue_size;
}

bool empty(const mbuf *h)
{
    return h->read_idx.load() >= h->write_idx.load();
}

void mbuf_free(mbuf *h)
{
    os_free(h->data);
    os_free(h->lengths);
    mutex_free(h->mutex);
    os_cond_free(h->commit_event);
    os_cond_free(h->release_event);
    h->~mbuf();
    os_free(h);
}

}  // namespace

mbuf *mbuf_init(uint32_t all_size, uint32_t block_size)
{
    PL_ASSERT_TEXT_RET(all_size > 2, "all_size>2", nullptr);
    PL_ASSERT_TEXT_RET(block_size > 0, "block_size>0", nullptr);
    const uint32_t max_queue_size = all_size / block_size;
    if (max_queue_size == 0) {
        ZLOG_ERR("max_queue_size=%d <=0 error\n", 0);
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(mbuf));
    if (mem == nullptr)
        return nullptr;
    pl_owned<mbuf, mbuf_free> h(new (mem) mbuf{});
    h->all_size = all_size;
    h->block_size = block_size;
    h->max_queue_size = max_queue_size;
    h->data = static_cast<uint8_t *>(os_malloc(static_cast<size_t>(max_queue_size) * block_size));
    h->lengths = static_cast<uint32_t *>(os_calloc(max_queue_size, sizeof(uint32_t)));
    h->mutex = mutex_malloc();
    h->commit_event = os_cond_new();
    h->release_event = os_cond_new();
    if (h->data == nullptr || h->lengths == nullptr || h->mutex == nullptr || h->commit_event == nullptr ||
        h->release_event == nullptr)
        return nullptr;
    return h.release();
}

int mbuf_exit(mbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    mbuf_free(h);
    return 0;
}

void mbuf_reset(mbuf *h)
{
    PL_ASSERT_TEXT_RET_VOID(h != nullptr, "h!=NULL");
    // The write index goes first: a consumer polling for the next block
    // meanwhile sees either the old read index (nothing to read) or both
    // new ones, never the old blocks again.
    h->write_idx.store(0);
    h->read_idx.store(0);
    h->count.store(0);
}

void *mbuf_alloc(mbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", nullptr);
    if (full(h))
        return nullptr;
    return h->data + static_cast<size_t>(h->write_idx.load()) * h->block_size;
}

int mbuf_alloc_unref(mbuf *h, uint32_t size)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    if (!size_ok(h, size))
        return -1;
    {
        os_mutex_guard held(h->mutex);
        // A commit without a free block would publish memory past the data.
        PL_ASSERT_TEXT_RET(!full(h), "ctx->write_idx<ctx->max_queue_size", -1);
        const uint32_t at = h->write_idx.load();
        h->lengths[at] = size;
        h->count.fetch_add(1);
        h->write_idx.store(at + 1);
    }
    os_cond_signal(h->commit_event);
    return 0;
}

int mbuf_write(mbuf *h, const void *block, uint32_t size)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(block != nullptr, "block!=NULL", -1);
    if (!size_ok(h, size))
        return -1;
    void *to = mbuf_alloc(h);
    if (to == nullptr)
        return -1;
    memcpy(to, block, size);
    return mbuf_alloc_unref(h, size);
}

int mbuf_write_wait(mbuf *h, const void *block, uint32_t size, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    {
        os_mutex_guard held(h->mutex);
        const int rc = mem_wait_twice(held, h->release_event, ms, [h] { return full(h); });
        if (rc != 0)
            return rc;
    }
    // Only this producer fills the sequence, so the room found stays.
    return mbuf_write(h, block, size);
}

bool mbuf_is_full(mbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", true);
    return full(h);
}

bool mbuf_is_empty(mbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", true);
    os_mutex_guard held(h->mutex);
    return empty(h);
}

bool mbuf_wait_empty(mbuf *h, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", false);
    os_mutex_guard held(h->mutex);
    if (!empty(h))
        os_cond_wait_locked(h->release_event, held.mutex(), ms);
    return empty(h);
}

void *mbuf_read_get(mbuf *h, uint32_t *len)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", nullptr);
    PL_ASSERT_TEXT_RET(len != nullptr, "len!=NULL", nullptr);
    const uint32_t at = h->read_idx.load();
    if (at >= h->write_idx.load())
        return nullptr;
    *len = h->lengths[at];
    return h->data + static_cast<size_t>(at) * h->block_size;
}

void *mbuf_read_get_wait(mbuf *h, uint32_t *len, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", nullptr);
    if (empty(h) && ms > 0) {
        os_mutex_guard held(h->mutex);
        if (empty(h))
            os_cond_wait_locked(h->commit_event, held.mutex(), ms);
    }
    return mbuf_read_get(h, len);
}

int mbuf_read_unref(mbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    {
        os_mutex_guard held(h->mutex);
        PL_ASSERT_TEXT_RET(!empty(h), "ctx->count>0", -1);
        h->count.fetch_sub(1);
        h->read_idx.fetch_add(1);
    }
    os_cond_signal(h->release_event);
    return 0;
}

int mbuf_read_wait(mbuf *h, void *buf, uint32_t len, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(buf != nullptr, "buf!=NULL", -1);
    PL_ASSERT_TEXT_RET(len >= h->block_size, "len>=ctx->block_size", -1);
    uint32_t n = 0;
    const void *block = mbuf_read_get_wait(h, &n, ms);
    if (block == nullptr)
        return 0;
    memcpy(buf, block, n);
    mbuf_read_unref(h);
    return static_cast<int>(n);
}
