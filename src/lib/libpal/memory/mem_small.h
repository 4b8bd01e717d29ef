// Small memory helpers: one allocation carved into parts, the growable byte
// buffer mem_buf, the pointer array mem_ptr behind the variable registries
// (the pointer family of the typed arrays, with a duplicate guard), and
// unaligned byte-order loads and stores. None takes a lock: owners serialise.
#pragma once

#include <cstddef>
#include <cstdint>

// mem_malloc_multi(size0, &p1, size1, &p2, size2, ..., nullptr): one zeroed
// block of the sum of the sizes; the first part is returned, each further
// part stored through its pointer. One os_free of the result releases all.
// Requires: every size is passed as a size_t. nullptr when the sum does not
// fit in 32 bits or memory runs out.
void *mem_malloc_multi(size_t size0, ...) __attribute__((sentinel));

// Capacity grows in multiples of 4096 bytes; the data is not NUL-terminated.
// Released with mem_ptr_exit.
struct mem_buf {
    uint8_t *data;
    uint64_t length;
    uint64_t capacity;
};

int mem_buf_init(mem_buf *buf, uint64_t capacity);
// 0, or -1 with the buffer unchanged.
int mem_buf_reserve(mem_buf *buf, uint64_t need);
int mem_buf_append(mem_buf *buf, const void *data, uint64_t n);
int mem_buf_set_len(mem_buf *buf, uint64_t length);
int mem_buf_reset(mem_buf *buf);

constexpr uint32_t MEM_PTR_F_UNIQUE = 0x40;  // mem_ptr_add skips a pointer already present

// The entries' block holds capacity + 1 pointers; those from count on are
// nullptr, so the array is also terminated.
struct mem_ptr {
    void **items;
    uint64_t count;
    uint64_t capacity;
    uint32_t flags;  // set by the caller after init
};

// Capacity 16.
int mem_ptr_init(mem_ptr *ctx);
// Frees the entries; the record reads as empty (init again before use).
int mem_ptr_exit(mem_ptr *ctx);
int mem_ptr_exit(mem_buf *buf);
int mem_ptr_release(mem_ptr *ctx);
int mem_ptr_reset(mem_ptr *ctx);
// 0 added (or already present with MEM_PTR_F_UNIQUE), -1 no memory.
int mem_ptr_add(mem_ptr *ctx, void *ptr);
int64_t mem_ptr_find(const mem_ptr *ctx, const void *ptr);
// -1 when index is not below the count.
int mem_ptr_del_at(mem_ptr *ctx, uint64_t index);
// Removes the first equal entry: its index, or -1 when absent.
int64_t mem_ptr_remove(mem_ptr *ctx, const void *ptr);
// Removes the first n entries (all ones: all).
int mem_ptr_del_head(mem_ptr *ctx, uint64_t n);
int mem_ptr_clear(mem_ptr *ctx);
// Grows the capacity to exactly n; -1 when it is already n or more (nothing
// changes) or memory runs out.
int mem_ptr_reserve(mem_ptr *ctx, uint64_t n);

// Loads at base + offset, byte-swapped when swap is not 0.
uint16_t mem_get_u16(int swap, const void *base, size_t offset);
uint32_t mem_get_u32(int swap, const void *base, size_t offset);
uint64_t mem_get_u64(int swap, const void *base, size_t offset);
// Stores at base + offset, byte-swapped when swap is 1.
void mem_set_u16(int swap, void *base, size_t offset, uint16_t value);
void mem_set_u32(int swap, void *base, size_t offset, uint32_t value);
void mem_set_u64(int swap, void *base, size_t offset, uint64_t value);
