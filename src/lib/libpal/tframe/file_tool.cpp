// The file tools' shared reads, writes and failure records.
#include "libpal/tframe/file_tool.h"

#include <algorithm>
#include <cerrno>

#include "libpal/memory/mbuf.h"
#include "libpal/os/os_file.h"
#include "libpal/tframe/thread_pool.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr int k_code_eof = -110;
constexpr int k_code_timeout = -40;
constexpr uint64_t k_ring_max = 64u << 20;

}  // namespace

int64_t file_tool_pread(void *handle, void *buf, size_t count, uint64_t offset)
{
    return os_file_pread(static_cast<os_file_ctx *>(handle), buf, count, offset);
}

int64_t file_tool_pwrite(void *handle, const void *buf, size_t count, uint64_t offset)
{
    return os_file_pwrit(static_cast<os_file_ctx *>(handle), buf, count, offset);
}

void file_tool_failed(verr *err, bool by_default, file_error_proc on_error, void *handle, int64_t n,
                      const char *file, int line, const char *func)
{
    if (n >= 0) {
        verr_set(err, file, line, func, k_code_eof, "%s", verr2str(k_code_eof));
        return;
    }
    if (by_default) {
        const int eno = errno;
        verr_set(err, file, line, func, os_verr_get(eno), "%s", os_errno_text(eno));
        return;
    }
    if (on_error != nullptr) {
        on_error(handle, err);
        return;
    }
    ZLOG_ERR("expr[%s]: assert failed\n", "ctx->vperror!=NULL");
    // The caller still learns that the call failed, and where.
    verr_set(err, file, line, func, -1, "the read or write function failed");
}

uint32_t file_tool_ring_size(uint64_t len, uint32_t block_size)
{
    const uint64_t bs = std::max<uint32_t>(block_size, 1);
    const uint64_t whole = (std::max<uint64_t>(len, 1) + bs - 1) / bs * bs;
    uint64_t ring = std::min(whole, std::max<uint64_t>(k_ring_max / bs, 1) * bs);
    if (ring <= 2)
        ring = 4 * bs;  // blocks of 1 or 2 bytes
    return static_cast<uint32_t>(ring);
}

int file_tool_ring_drain(mbuf *ring, uint32_t timeout_ms, const std::atomic<int> *stop)
{
    return file_tool_wait(timeout_ms, stop, [ring](uint32_t ms) { return mbuf_wait_empty(ring, ms); });
}

void *file_tool_ring_next(mbuf *ring, uint32_t timeout_ms, const std::atomic<int> *stop, int *wait_rc)
{
    if (void *blk = mbuf_alloc(ring))
        return blk;
    // The indices do not wrap: the ring starts over once it is empty.
    *wait_rc = file_tool_ring_drain(ring, timeout_ms, stop);
    if (*wait_rc != 0)
        return nullptr;
    mbuf_reset(ring);
    return mbuf_alloc(ring);
}

int file_tool_pool_drain(thread_pool *pool, uint32_t timeout_ms)
{
    return file_tool_wait(timeout_ms, nullptr, [pool](uint32_t ms) {
        if (thread_pool_pending(pool) == 0)
            return true;
        thread_pool_wait(pool, ms);
        return thread_pool_pending(pool) == 0;
    });
}

int file_tool_wait_failed(verr *err, int wait_rc, const char *file, int line, const char *func)
{
    if (wait_rc == k_code_timeout)
        verr_set(err, file, line, func, k_code_timeout, "%s", verr2str(k_code_timeout));
    else
        verr_set(err, file, line, func, -1, "the tool is stopping");
    return -1;
}
