// Byte-count tool: how often each of the 256 byte values occurs in a byte
// range of a file or device, counted by the caller alone, by a counting
// thread fed through a ring, or by a thread pool. The counters can be written
// out as text and resumed by a new tool, and turned into a table or shares.
// The block layer attaches it to a device. Calls return 0 or -1 with the
// reason in the caller's error record; one caller thread uses a tool at a
// time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/tframe/file_tool.h"
#include "libpal/tframe/thread_pool.h"

struct mbuf;
struct mbuf2;

// The counters with their total, and the shares in percent followed by the
// smallest share, the largest share and the largest share of the values 1 to
// 255.
constexpr size_t FILE_BCOUNT_COUNTERS = 257;
constexpr size_t FILE_BCOUNT_STATS = 259;
// The counters text: 256 fields of up to 16 hex digits and their commas.
constexpr size_t FILE_BCOUNT_CTX_TEXT_SIZE = 256 * 17;

struct file_bcount_param {
    void *handle;  // handed to read and on_error
    file_read_proc read;  // nullptr: os_file_pread on an os_file_ctx handle
    file_error_proc on_error;  // optional
    uint32_t block_size;  // unit of reads; 0: 0x200000; at most 64 MiB
    uint8_t use_pool;
    const char *saved;  // a file_bcount_get_ctx text to resume from; optional
    const os_thread_attr *attr;  // optional, for the pool's threads
};

struct file_bcount_ctx {
    void *handle;
    file_read_proc read;
    file_error_proc on_error;
    verr *err;  // the caller's
    uint8_t use_pool;
    uint32_t block_size;
    uint64_t counters[256];
    // Pool mode: workers add their block's counts under the mutex.
    os_mutex *mutex;
    mbuf2 *blocks;
    thread_pool *pool;
    // Thread mode: "bcount_cal" counts the ring's blocks; without a ring the
    // caller counts through the single buffer.
    mbuf *ring;
    os_thread *thread;
    std::atomic<int> stop;
    uint8_t *single;
};

// nullptr with the reason in err: -2 for a block size above 64 MiB or a saved
// text that is not 256 hex counters, -8 when memory or the pool cannot be
// had. Requires: file_bcount_close.
file_bcount_ctx *file_bcount_open(const file_bcount_param *param, verr *err);
// Counts [offset, offset + len). The first call sizes the ring or block pool
// (at most 64 MiB), which later ranges of any length reuse. Every byte must
// be read: a range past the end of the data fails with -110.
int file_bcount_cal(file_bcount_ctx *ctx, uint64_t offset, uint64_t len);
// The counters text, "%lx" fields joined by ",": 0, or -1 with out emptied
// when it does not fit.
int file_bcount_get_ctx(file_bcount_ctx *ctx, char *out, size_t size);
int file_bcount_close(file_bcount_ctx *ctx);

// A table of counts and shares, one row per byte value, as a new text (free
// it with os_free); nullptr when memory runs out. A total of 0 shows 0.00%.
char *file_bcount_table(const uint64_t counters[FILE_BCOUNT_COUNTERS]);
// The table of a counters text; nullptr unless it holds 256 hex counters.
char *file_bcount_ctx_table(const char *text);
// Counters with total and statistics of a counters text: 0, or -1 unless it
// holds 256 hex counters.
int file_bcount_ctx_stat(const char *text, uint64_t counters[FILE_BCOUNT_COUNTERS], double stats[FILE_BCOUNT_STATS]);
// Counts a whole file read in chunks of block_size: the counters with the
// file's size as total and the statistics. 0, or -1 when the file cannot be
// opened or any chunk fails.
int file_bcount_file(const char *path, uint32_t block_size, uint64_t counters[FILE_BCOUNT_COUNTERS],
                     double stats[FILE_BCOUNT_STATS]);

// Adds every byte of buf to counters.
void file_bcount_add(uint64_t counters[256], const void *buf, size_t len);
// The pool's job and the counting thread.
void file_bcount_job(void *arg);
int file_bcount_thread(void *arg);
