// Allocator managers: a slab (items of one size) or a pool (blocks of any
// size) behind one small operation table, both kept in an item pool so that
// clearing or ending the manager releases every block at once. The AVL tree
// takes its nodes from a slab and its copied texts from a pool. Takes no
// lock of its own: the owner serialises its calls.
#pragma once

#include <cstdint>

#include "libpal/memory/lbuf.h"

struct mem_mgr {
    uint32_t type;  // only 0 is built
    lbuf *imp;
    void *(*malloc)(lbuf *B, uint64_t size);  // a slab ignores size
    void (*free)(lbuf *B, void *block);
    void (*clear)(lbuf *B);
    void (*exit)(lbuf *B);
};

// type 0 only (any other: nullptr after a soft assertion); arg is ignored.
mem_mgr *mem_slab_mgr_init(uint32_t type, void *arg, uint64_t item_size);
void *mem_slab_mgr_malloc(mem_mgr *mgr);
void mem_slab_mgr_free(mem_mgr *mgr, void *block);
// Releases every block.
void mem_slab_mgr_clear(mem_mgr *mgr);
void mem_slab_mgr_exit(mem_mgr *mgr);

mem_mgr *mem_pool_mgr_init(uint32_t type);
void *mem_pool_mgr_malloc(mem_mgr *mgr, uint64_t size);
void mem_pool_mgr_free(mem_mgr *mgr, void *block);
void mem_pool_mgr_clear(mem_mgr *mgr);
void mem_pool_mgr_exit(mem_mgr *mgr);
char *mem_pool_mgr_strdup(mem_mgr *mgr, const char *text);
