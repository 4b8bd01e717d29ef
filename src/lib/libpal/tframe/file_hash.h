// File-hash tool: any mix of twelve digests over a byte range of a file or
// device in one pass of reads. Six digest the whole range (md5, sha1, sha256,
// sha512, sm3, xxh3); six digest each block alone and fold the block digests
// into one value that does not depend on their order (pmd5 ... pxxh3). A job
// may run over several consecutive ranges, be written out as text and resumed
// by a new tool (in another process too), and spread its per-block digests
// over a thread pool. The block layer attaches it to a device. Calls return 0
// or -1 with the reason in the caller's error record; one caller thread uses
// a tool at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/tframe/file_tool.h"
#include "libpal/tframe/read_cache.h"
#include "libpal/tframe/thread_pool.h"

struct mbuf;
struct mbuf2;
struct mem_add;
struct str_buf;
struct str_vector;

// Algorithm flags. Texts and digests always come in the order md5, sha1,
// sha256, sha512, sm3, xxh3, pmd5, psha1, psha256, psha512, psm3, pxxh3.
enum : uint32_t {
    FILE_HASH_MD5 = 0x1,
    FILE_HASH_SHA1 = 0x2,
    FILE_HASH_PMD5 = 0x4,
    FILE_HASH_PSHA1 = 0x8,
    FILE_HASH_SHA256 = 0x10,
    FILE_HASH_PSHA256 = 0x20,
    FILE_HASH_SHA512 = 0x40,
    FILE_HASH_PSHA512 = 0x80,
    FILE_HASH_SM3 = 0x100,
    FILE_HASH_PSM3 = 0x200,
    FILE_HASH_XXH3 = 0x400,
    FILE_HASH_PXXH3 = 0x800,
    FILE_HASH_ALL = 0xFFF,
};

struct file_hash_param {
    uint32_t flags;  // FILE_HASH_*; 0 and bits above 0x800 are refused
    void *handle;    // handed to read and on_error
    file_read_proc read;  // nullptr: os_file_pread on an os_file_ctx handle
    file_error_proc on_error;  // optional
    uint32_t timeout_ms;  // bound of every drain wait; 0: 30000
    int64_t total_size;   // the data's size, the read cache's limit (0: none); not negative
    uint32_t read_ahead;  // the read cache's buffer; 0: 0x200000
    uint32_t block_size;  // unit of reads and of the per-block digests; not 0
    int32_t block_count;  // with block_size the longest range of one call; 0: the first call's length
    uint8_t use_pool;     // per-block digests on a thread pool (whole-range ones force a single thread)
    const char *saved;    // a file_hash_get_result text to resume from; optional
    thread_pool *pool;    // the caller's pool to use; optional
    const os_thread_attr *attr;  // optional, for the pool's threads
};

struct file_hash_ctx {
    uint32_t flags;
    void *handle;
    file_read_proc read;
    file_error_proc on_error;
    verr *err;  // the caller's
    uint32_t block_size;
    int32_t block_count;
    uint64_t range_limit;  // block_count * block_size; 0 until set up
    char *saved;
    uint8_t use_pool;
    uint32_t timeout_ms;
    uint64_t total_size;
    uint32_t read_ahead;
    const os_thread_attr *attr;
    // Whole-range contexts of the enabled algorithms: md5_ctx, sha1_ctx,
    // sha256_ctx, sha512_ctx, sm3_ctx and the XXH3 state, in that order.
    void *whole[6];
    mem_add *acc[6];  // per-block accumulators, pmd5 ... pxxh3
    str_buf *text;
    read_cache *cache;
    mbuf *ring;       // thread mode
    mbuf2 *blocks;    // pool mode
    uint8_t *single;  // thread mode without a ring: the caller hashes
    thread_pool *pool;
    uint8_t pool_owned;
    os_thread *thread;  // "hash_cal"
    std::atomic<int> stop;
    std::atomic<int32_t> next_idx;  // the hashing thread's next block index
    uint8_t ready;  // file_hash_init_env has set everything up
};

// nullptr without param or err, or with the reason in err: -37 for flag bits
// above 0x800, -2 for flags 0, a negative total size, a block size of 0 (or
// above 64 MiB), a read-ahead above 64 MiB, or a saved text that does not
// restore every enabled algorithm; -8 when memory, a ring or a pool cannot
// be had. Requires: file_hash_close.
file_hash_ctx *file_hash_open(const file_hash_param *param, verr *err);
// Sets up the contexts, accumulators, ring or pool once the range limit is
// known (at open with a block count, else at the first range). 0 or -1.
int file_hash_init_env(file_hash_ctx *ctx);
// Hashes [offset, offset + len). Ranges of a job follow each other; the
// first sets the range limit (rounded up to whole blocks) unless the block
// count did, and a longer one fails, as does one of more than 1048576 blocks
// (-2). Every byte must be read: a range past the end of the data fails with
// -110. A drain that outlasts the time-out fails with -40.
int file_hash_cal(file_hash_ctx *ctx, uint64_t offset, uint64_t len);
// The digest of the first enabled algorithm that flag names: 0, or -1 when
// none is named or size is below its digest size. Whole-range digests are
// taken from a copy, so the job may go on and the digest be asked again.
int file_hash_get_digest(file_hash_ctx *ctx, uint32_t flag, uint8_t *out, size_t size);
// The job's state, one line per enabled algorithm ("md5 <state>"), the last
// without a line feed: 0, or -1 with out emptied (logged) when it does not fit.
int file_hash_get_result(file_hash_ctx *ctx, char *out, size_t size);
// The per-block digests of the last range in block order, one line per
// per-block algorithm ("pmd5 <hex>|<hex>|..."); out may be nullptr. Either
// way the records are forgotten afterwards. 0, or -1 when out is too small.
int file_hash_get_presult(file_hash_ctx *ctx, char *out, size_t size);
// Restores every enabled algorithm from a file_hash_get_result text: 0, or
// -1 with nothing changed when any enabled algorithm's line is missing or
// does not restore.
int file_hash_set_ctx(file_hash_ctx *ctx, const char *text);
// Feeds one block to every whole-range context, then stores its per-block
// digests as record idx of the call.
void file_hash_update(file_hash_ctx *ctx, const void *block, uint32_t len, int32_t idx);
int file_hash_close(file_hash_ctx *ctx);

// Text helpers.
// The rest of the first line that starts with the name of an algorithm flag
// names and a blank, into out; out empty when none. 0.
int file_hash_find_ctx(const char *text, uint32_t flag, char *out, size_t size);
// The names of flags joined by "|" in a per-thread buffer the next call
// overwrites.
const char *file_hash_flags_str(uint32_t flags);
// Names joined by "," (others ignored): the flags, or -1 when none is known.
int file_hash_str_flags(const char *text);
// "name a|b|c": the chunks after the first blank, up to the first line feed,
// split at "|". 0, or -1 without a blank.
int file_hash_split_records(const char *line, str_vector *out);

// The pool's job: hashes one block handed out by the pool mode.
void file_hash_job(void *arg);
// "hash_cal": feeds the ring's blocks in order until told to stop.
int file_hash_thread(void *arg);
