// What the file tools (hashing, byte counting, positioned writes) share: the
// default positioned read and write over a file object, the recording of a
// failed read or write into the caller's error record, and the bounded wait
// of their drains.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/mbuf.h"
#include "libpal/memory/mbuf2.h"
#include "libpal/tframe/read_cache.h"
#include "libpal/tframe/thread_pool.h"

// Called when a read or write function other than the default fails: fills
// the record with the handle's own error.
using file_error_proc = int (*)(void *handle, verr *err);
// A positioned write: bytes written, negative on failure.
using file_write_proc = int64_t (*)(void *handle, const void *buf, size_t count, uint64_t offset);

// os_file_pread and os_file_pwrit on an os_file_ctx handle.
int64_t file_tool_pread(void *handle, void *buf, size_t count, uint64_t offset);
int64_t file_tool_pwrite(void *handle, const void *buf, size_t count, uint64_t offset);

// Records why a transfer of want bytes gave n: the errno's code after a
// failing default function, the handle's own error through on_error after
// another one (a generic failure when there is no callback), and -110 ("Reached
// the end of the file.") for a short or empty read.
void file_tool_failed(verr *err, bool by_default, file_error_proc on_error, void *handle, int64_t n,
                      const char *file, int line, const char *func);
#define FILE_TOOL_FAILED(err, by_default, on_error, handle, n) \
    file_tool_failed((err), (by_default), (on_error), (handle), (n), __FILE__, __LINE__, __func__)

// The drains' wait: calls step(slice_ms) until it reports done (true). 0
// done; -1 when stop is set; -40 when timeout_ms pass first.
template <typename Step>
int file_tool_wait(uint32_t timeout_ms, const std::atomic<int> *stop, const Step &step)
{
    constexpr uint32_t k_slice_ms = 1;
    const uint64_t start = os_tick_ms();
    while (!step(k_slice_ms)) {
        if (stop != nullptr && stop->load() != 0)
            return -1;
        if (os_tick_ms() - start >= timeout_ms)
            return -40;
    }
    return 0;
}

// The ring's or block pool's size for ranges of len bytes: whole blocks, at
// most 64 MiB (at least one block), never below the 3 bytes a ring needs.
uint32_t file_tool_ring_size(uint64_t len, uint32_t block_size);
// Waits until the consumer has taken every committed block of the ring.
int file_tool_ring_drain(mbuf *ring, uint32_t timeout_ms, const std::atomic<int> *stop);
// The ring's next free block. When every block was used since the last
// reset, waits for the consumer to take them all and starts the ring over;
// nullptr with *wait_rc set when that wait fails (-1 stopped, -40 time-out).
void *file_tool_ring_next(mbuf *ring, uint32_t timeout_ms, const std::atomic<int> *stop, int *wait_rc);
// Waits until the pool has run every queued job.
int file_tool_pool_drain(thread_pool *pool, uint32_t timeout_ms);
// Records a failed wait (-40 "Timeout.", or -1 for a stop); -1.
int file_tool_wait_failed(verr *err, int wait_rc, const char *file, int line, const char *func);
#define FILE_TOOL_WAIT_FAILED(err, wait_rc) file_tool_wait_failed((err), (wait_rc), __FILE__, __LINE__, __func__)

// One pass of a tool over [offset, offset + len): the caller's thread reads
// it block by block (read(buf, n, pos) records its own failure and returns
// false) and hands each block on, with its index within the pass.
struct file_tool_pass {
    verr *err;
    const char *func;  // named in the records
    uint32_t block_size;
    uint32_t timeout_ms;
    const std::atomic<int> *stop;
};

// Thread mode: blocks go through the ring to its consumer, or without a
// ring to direct(buf, n, idx) on this thread; the ring is drained at the end.
// 0, or -1 with the reason recorded.
template <typename Read, typename Direct>
int file_tool_ring_pass(const file_tool_pass &p, mbuf *ring, uint8_t *single, uint64_t offset, uint64_t len,
                        const Read &read, const Direct &direct)
{
    const uint64_t end = offset + len;
    int rc = 0;
    int32_t idx = 0;
    for (uint64_t pos = offset; pos < end; idx++) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(p.block_size, end - pos));
        auto *blk = single;
        if (ring != nullptr) {
            int w = 0;
            blk = static_cast<uint8_t *>(file_tool_ring_next(ring, p.timeout_ms, p.stop, &w));
            if (blk == nullptr)
                return file_tool_wait_failed(p.err, w, __FILE__, __LINE__, p.func);
        }
        if (!read(blk, n, pos)) {
            rc = -1;
            break;
        }
        if (ring != nullptr)
            mbuf_alloc_unref(ring, n);
        else
            direct(blk, n, idx);
        pos += n;
    }
    if (ring != nullptr)
        if (const int w = file_tool_ring_drain(ring, p.timeout_ms, p.stop); w != 0)
            return file_tool_wait_failed(p.err, w, __FILE__, __LINE__, p.func);
    return rc;
}

// Pool mode: blocks are read into the block pool and queued with
// queue(desc, n, idx); a block pool used up is started over once the pool
// has run its jobs, and the pool is drained at the end. 0, or -1 with the
// reason recorded.
template <typename Read, typename Queue>
int file_tool_pool_pass(const file_tool_pass &p, thread_pool *pool, mbuf2 *blocks, uint64_t offset, uint64_t len,
                        const Read &read, const Queue &queue)
{
    const uint64_t end = offset + len;
    int rc = 0;
    int32_t idx = 0;
    mbuf2_reset(blocks);
    for (uint64_t pos = offset; pos < end; idx++) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(p.block_size, end - pos));
        if (blocks->alloc_idx >= blocks->max_idx) {
            if (const int w = file_tool_pool_drain(pool, p.timeout_ms); w != 0)
                return file_tool_wait_failed(p.err, w, __FILE__, __LINE__, p.func);
            mbuf2_reset(blocks);
        }
        mbuf2_desc *d = mbuf2_get_block(blocks);
        if (d == nullptr || !read(static_cast<uint8_t *>(d->block), n, pos)) {
            if (d == nullptr)
                verr_set(p.err, __FILE__, __LINE__, p.func, -1, "no free block in the block pool");
            rc = -1;
            break;
        }
        queue(d, n, idx);
        pos += n;
    }
    if (const int w = file_tool_pool_drain(pool, p.timeout_ms); w != 0)
        return file_tool_wait_failed(p.err, w, __FILE__, __LINE__, p.func);
    return rc;
}
