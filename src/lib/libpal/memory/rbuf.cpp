// Ring of blocks: MaxQueueSize slots of BlockSize bytes, each a length header
// and a payload. The read and write indices only grow (slot = index modulo
// the slot count), so "unread" is simply read index < write index. Readers
// wait on the read event under the ring's own mutex, and writers change the
// pending count under it too, so a write that lands between a reader's test
// and its wait still wakes it.
#include "libpal/memory/rbuf.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"
#include "libpal/memory/mem_wait.h"

#define ZLOG_TAG "bsv"
#include "libpal/env/pl_assert.h"

struct rbuf {
    uint32_t BlockSize;     // header plus largest payload
    uint32_t bs_byte;       // header size: 2, or 4 from payloads of 65536 on
    uint32_t MaxQueueSize;  // slots
    uint8_t *data;
    uint64_t count;  // unread blocks
    uint64_t read_idx;
    uint64_t write_idx;
    rbuf_stat stat;
    std::atomic<uint32_t> pending;
    uint32_t locked_size;  // the block between rbuf_alloc_lock and rbuf_unlock
    os_mutex *mutex;
    os_cond *read_event;   // signalled after each write
    os_cond *write_event;  // signalled after each read
};

namespace {

enum read_mode { READ_BLOCKS = 0, READ_BLOCK = 1, READ_PROC = 2, READ_DATA = 3 };

// A header past 65535 is an i32: the largest payload stays below INT32_MAX.
constexpr uint32_t k_max_payload = INT32_MAX - 4;

uint8_t *slot_at(const rbuf *h, uint64_t index)
{
    return h->data + (index % h->MaxQueueSize) * h->BlockSize;
}

uint32_t header_load(const rbuf *h, const uint8_t *slot)
{
    if (h->bs_byte == 2) {
        uint16_t v = 0;
        memcpy(&v, slot, sizeof(v));
        return v;
    }
    int32_t v = 0;
    memcpy(&v, slot, sizeof(v));
    return static_cast<uint32_t>(v);
}

void header_store(const rbuf *h, uint8_t *slot, uint32_t len)
{
    if (h->bs_byte == 2) {
        const auto v = static_cast<uint16_t>(len);
        memcpy(slot, &v, sizeof(v));
    } else {
        const auto v = static_cast<int32_t>(len);
        memcpy(slot, &v, sizeof(v));
    }
}

bool size_ok(const rbuf *h, uint32_t size)
{
    PL_ASSERT_TEXT_RET(size > 0 && size <= h->BlockSize - h->bs_byte, "size>0 && size<=ctx->BlockSize-ctx->bs_byte",
                       false);
    return true;
}

// Takes the slot for a block of size bytes, dropping the oldest block when
// every slot is taken; returns its payload. Requires: the mutex is held.
uint8_t *claim_slot(rbuf *h, uint32_t size)
{
    if (h->count >= h->MaxQueueSize) {
        const uint32_t old = header_load(h, slot_at(h, h->read_idx));
        h->read_idx++;
        h->stat.drop_count++;
        h->stat.drop_byte += old;
        h->pending.fetch_sub(old);
    } else {
        h->count++;
    }
    uint8_t *slot = slot_at(h, h->write_idx++);
    header_store(h, slot, size);
    h->stat.write_byte += size;
    h->stat.write_count++;
    return slot + h->bs_byte;
}

void write_locked(rbuf *h, const void *block, uint32_t size)
{
    memcpy(claim_slot(h, size), block, size);
    h->pending.fetch_add(size);
}

bool full_locked(const rbuf *h)
{
    return h->count + 1 >= h->MaxQueueSize;
}

bool room_for_next(const rbuf *h, int mode, uint32_t room)
{
    if (mode == READ_BLOCKS)
        return room >= h->BlockSize;
    if (mode == READ_BLOCK || mode == READ_DATA)
        return room + h->bs_byte >= h->BlockSize;
    return true;
}

int rbuf_read_imp(rbuf *h, void *buf, rbuf_read_cb cb, uint32_t len, int mode, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(mode == READ_PROC ? cb != nullptr : buf != nullptr, "buf!=NULL", -1);
    if (mode == READ_BLOCKS)
        PL_ASSERT_TEXT_RET(len >= h->BlockSize, "len>=ctx->BlockSize", -1);
    if (mode == READ_BLOCK || mode == READ_DATA)
        PL_ASSERT_TEXT_RET(len + h->bs_byte >= h->BlockSize, "len+ctx->bs_byte>=ctx->BlockSize", -1);
    // The result is an int: never copy more than it can count.
    uint32_t room = len > INT32_MAX ? INT32_MAX : len;
    if (mode != READ_PROC && ms == 0 && h->pending.load() == 0)
        return 0;
    int result = 0;
    {
        os_mutex_guard held(h->mutex);
        if (mode != READ_PROC && mem_wait_twice(held, h->read_event, ms, [h] { return h->pending.load() == 0; }) != 0)
            return 0;
        h->stat.read_count++;
        auto *out = static_cast<uint8_t *>(buf);
        while (h->read_idx < h->write_idx && room_for_next(h, mode, room)) {
            const uint8_t *slot = slot_at(h, h->read_idx++);
            const uint32_t blen = header_load(h, slot);
            h->stat.read_byte += blen;
            h->count--;
            h->pending.fetch_sub(blen);
            if (mode == READ_PROC) {
                cb(slot + h->bs_byte, blen);
                continue;
            }
            const uint32_t n = mode == READ_BLOCKS ? h->bs_byte + blen : blen;
            memcpy(out, mode == READ_BLOCKS ? slot : slot + h->bs_byte, n);
            out += n;
            room -= n;
            result += static_cast<int>(n);
            if (mode == READ_BLOCK)
                break;
        }
    }
    // A read may free several slots: every waiting writer may go on.
    os_cond_broadcast(h->write_event);
    return result;
}

void rbuf_free(rbuf *h)
{
    os_free(h->data);
    mutex_free(h->mutex);
    os_cond_free(h->read_event);
    os_cond_free(h->write_event);
    h->~rbuf();
    os_free(h);
}

}  // namespace

rbuf *rbuf_init(uint32_t all_size, uint32_t block_size)
{
    PL_ASSERT_TEXT_RET(all_size > 2, "all_size>2", nullptr);
    // Payloads above 65535 are allowed: they switch the header to an i32.
    PL_ASSERT_TEXT_RET(block_size > 2 && block_size <= k_max_payload, "block_size>2 && block_size<=UINT16_MAX",
                       nullptr);
    const uint32_t bs_byte = block_size <= UINT16_MAX ? 2 : 4;
    const uint32_t BlockSize = block_size + bs_byte;
    const uint32_t MaxQueueSize = all_size / BlockSize;
    if (MaxQueueSize < 2) {
        ZLOG_ERR("MaxQueueSize=%d <2 error\n", static_cast<int>(MaxQueueSize));
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(rbuf));
    if (mem == nullptr)
        return nullptr;
    pl_owned<rbuf, rbuf_free> h(new (mem) rbuf{});
    h->BlockSize = BlockSize;
    h->bs_byte = bs_byte;
    h->MaxQueueSize = MaxQueueSize;
    h->data = static_cast<uint8_t *>(os_malloc(static_cast<size_t>(MaxQueueSize) * BlockSize));
    h->mutex = mutex_malloc();
    h->read_event = os_cond_new();
    h->write_event = os_cond_new();
    if (h->data == nullptr || h->mutex == nullptr || h->read_event == nullptr || h->write_event == nullptr)
        return nullptr;
    return h.release();
}

int rbuf_exit(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    rbuf_free(h);
    return 0;
}

int rbuf_clear(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    {
        os_mutex_guard held(h->mutex);
        h->count = 0;
        h->read_idx = 0;
        h->write_idx = 0;
        h->stat = rbuf_stat{};
        h->pending.store(0);
    }
    os_cond_init(h->read_event);
    os_cond_init(h->write_event);
    return 0;
}

void *rbuf_alloc_lock(rbuf *h, uint32_t size)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", nullptr);
    if (!size_ok(h, size))
        return nullptr;
    mutex_lock(h->mutex);
    h->locked_size = size;
    return claim_slot(h, size);
}

void rbuf_unlock(rbuf *h)
{
    PL_ASSERT_TEXT_RET_VOID(h != nullptr, "h!=NULL");
    // The block counts as pending only now that it is filled.
    h->pending.fetch_add(h->locked_size);
    h->locked_size = 0;
    mutex_unlock(h->mutex);
    os_cond_signal(h->read_event);
}

int rbuf_write(rbuf *h, const void *block, uint32_t size)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(block != nullptr, "block!=NULL", -1);
    if (!size_ok(h, size))
        return -1;
    {
        os_mutex_guard held(h->mutex);
        write_locked(h, block, size);
    }
    os_cond_signal(h->read_event);
    return 0;
}

int rbuf_write_wait(rbuf *h, const void *block, uint32_t size, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(block != nullptr, "block!=NULL", -1);
    if (!size_ok(h, size))
        return -1;
    {
        // The room found after the wait is still there for the write: the
        // mutex is held from the last test to the copy.
        os_mutex_guard held(h->mutex);
        const int rc = mem_wait_twice(held, h->write_event, ms, [h] { return full_locked(h); });
        if (rc != 0)
            return rc;
        write_locked(h, block, size);
    }
    os_cond_signal(h->read_event);
    return 0;
}

int rbuf_read_blocks(rbuf *h, void *buf, uint32_t len)
{
    return rbuf_read_imp(h, buf, nullptr, len, READ_BLOCKS, 0);
}

int rbuf_read_block(rbuf *h, void *buf, uint32_t len)
{
    return rbuf_read_imp(h, buf, nullptr, len, READ_BLOCK, 0);
}

int rbuf_read_block_wait(rbuf *h, void *buf, uint32_t len, uint32_t ms)
{
    return rbuf_read_imp(h, buf, nullptr, len, READ_BLOCK, ms);
}

int rbuf_read_proc(rbuf *h, rbuf_read_cb cb)
{
    return rbuf_read_imp(h, nullptr, cb, 0, READ_PROC, 0);
}

int rbuf_read_data(rbuf *h, void *buf, uint32_t len)
{
    return rbuf_read_imp(h, buf, nullptr, len, READ_DATA, 0);
}

int rbuf_read_data_wait(rbuf *h, void *buf, uint32_t len, uint32_t ms)
{
    return rbuf_read_imp(h, buf, nullptr, len, READ_DATA, ms);
}

uint32_t rbuf_pending(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", 0);
    return h->pending.load();
}

bool rbuf_is_full(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", false);
    os_mutex_guard held(h->mutex);
    return full_locked(h);
}

bool rbuf_is_empty(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", true);
    os_mutex_guard held(h->mutex);
    return h->read_idx >= h->write_idx;
}

bool rbuf_has_drop(rbuf *h)
{
    return rbuf_get_drop_count(h) != 0;
}

uint64_t rbuf_get_drop_count(rbuf *h)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", 0);
    os_mutex_guard held(h->mutex);
    return h->stat.drop_count;
}

int rbuf_get_stat(rbuf *h, rbuf_stat *stat)
{
    PL_ASSERT_TEXT_RET(h != nullptr, "h!=NULL", -1);
    PL_ASSERT_TEXT_RET(stat != nullptr, "stat!=NULL", -1);
    os_mutex_guard held(h->mutex);
    *stat = h->stat;
    return 0;
}

const void *rbuf_blocks_next(rbuf_blocks_cursor *cur, uint32_t *len)
{
    PL_ASSERT_TEXT_RET(cur != nullptr && len != nullptr, "cur!=NULL && len!=NULL", nullptr);
    const auto *base = static_cast<const uint8_t *>(cur->buf);
    if (base == nullptr || cur->offset > cur->total || cur->total - cur->offset < sizeof(uint16_t))
        return nullptr;
    uint16_t n = 0;
    memcpy(&n, base + cur->offset, sizeof(n));
    const uint32_t at = cur->offset + sizeof(uint16_t);
    if (cur->total - at < n)
        return nullptr;
    cur->offset = at + n;
    *len = n;
    return base + at;
}
