// Item pools: every item of a pool is tracked in its list, gets the pool's
// init callback when allocated and its exit callback when freed, and all of
// them can be released at once. Server contexts, NBD clients and the
// allocator managers keep their records here. The pool's mutex guards the
// list and the count; a thread that walks the pool holds lbuf_lock, and its
// own allocations and frees meanwhile skip the mutex, while other threads
// wait for it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "libpal/basic/os_sync.h"
#include "libpal/comm/list.h"

using lbuf_item_proc = void (*)(void *payload, void *ctx);

struct lbuf {
    list_node head;
    char *name;  // owned copy, may be nullptr
    void *ctx;   // handed to both callbacks
    uint64_t item_size;  // 0: items of any size
    lbuf_item_proc init_proc;
    lbuf_item_proc exit_proc;
    uint64_t count;
    os_mutex *mutex;
    std::atomic<uint64_t> holder;  // thread id of the lbuf_lock holder, 0 for none
};

struct lbuf_param {
    const char *name;
    lbuf_item_proc init_proc;
    lbuf_item_proc exit_proc;
    void *ctx;
    uint64_t item_size;
};

struct lbuf_iter {
    list_node *node;
    list_node *head;
};

// nullptr when memory runs out.
lbuf *lbuf_init(const lbuf_param *param);
// Frees every item (exit callback on each), then the pool.
void lbuf_exit(lbuf *B);

void *lbuf_malloc_imp(lbuf *B, uint64_t size, bool zero);
void *lbuf_malloc(lbuf *B, uint64_t size);
void *lbuf_malloc0(lbuf *B, uint64_t size);
// An item of the pool's item size; nullptr for a pool of any-size items.
void *lbuf_slab_malloc(lbuf *B);
void *lbuf_slab_malloc0(lbuf *B);
char *lbuf_strdup(lbuf *B, const char *text);
char *lbuf_strndup(lbuf *B, const char *text, uint64_t n);
char *lbuf_sprintf(lbuf *B, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// nullptr payload: a new item. Size 0: frees it and gives nullptr. A size
// above the item's: a new item holding the old bytes (nullptr, the old item
// kept, when memory runs out). Otherwise the item unchanged.
void *lbuf_realloc(lbuf *B, void *payload, uint64_t size);
void lbuf_free(lbuf *B, void *payload);
// Exit callback and release of every item. Takes no lock: the caller owns the
// pool at that moment.
void lbuf_free_all(lbuf *B);

uint64_t lbuf_count(lbuf *B);
bool lbuf_is_item(lbuf *B, const void *payload);

void lbuf_lock(lbuf *B);
void lbuf_unlock(lbuf *B);

// The cursor moves past an item before returning it, so the walk may free
// the item it was just given. nullptr at the end.
void lbuf_iter_init(lbuf *B, lbuf_iter *it);
void *lbuf_iter_next(lbuf_iter *it);
