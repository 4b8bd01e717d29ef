// Ordered map (AVL tree) from keys to values, with optional copies of text keys
// and values. Keys are unsigned 64-bit numbers carried in the key pointer
// unless the flags make them texts. Used by the thread-name registry. Takes no
// lock: its owner serialises every call.
#pragma once

#include <cstdint>

using avl_cmp_proc  = int (*)(const void *a, const void *b);
using avl_free_proc = void (*)(void *value);

enum : uint32_t {
    AVL_KEY_STR_COPY = 0x1,    // text keys, copied by the tree (compare strcmp)
    AVL_KEY_STR      = 0x2,    // text keys, not copied (compare strcmp)
    AVL_VAL_STR_COPY = 0x100,  // text values, copied by the tree
    AVL_VAL_OWNED    = 0x200,  // heap values owned by the tree, freed with os_free
    AVL_VAL_FREE_CB  = 0x400,  // values released with the free callback
};

struct avl_node {
    const void *key;
    void *value;
    avl_node *left;
    avl_node *right;
    int32_t balance;  // height(right) - height(left)
};

struct avl_tree;

// nullptr means all zero. slab_type and pool_type must be 0.
struct avl_param {
    uint32_t flags;
    avl_cmp_proc cmp;  // nullptr: the default compare of the flags
    void *slab_arg;    // ignored
    uint32_t slab_type;
    uint32_t pool_type;
    avl_free_proc free_proc;
};

constexpr int AVL_ITER_DEPTH = 100;

struct avl_iter {
    const void *key;
    void *value;
    avl_node *node;  // nullptr at the end of the walk
    avl_node *stack[AVL_ITER_DEPTH];
    int32_t depth;
    uint32_t dir;  // 0 ascending, 1 descending
};

avl_tree *avl_new(const avl_param *param);
// Frees every node, the values the flags give to the tree, and the tree.
void avl_exit(avl_tree *avl);
// True when a node was added; false when a value was replaced or no memory.
bool avl_set(avl_tree *avl, const void *key, void *value);
void *avl_get(avl_tree *avl, const void *key);
avl_node *avl_find(avl_tree *avl, const void *key);
uint64_t avl_count(const avl_tree *avl);
// True when the key was present.
bool avl_del(avl_tree *avl, const void *key);

void avl_iter_init(avl_iter *it, avl_tree *avl, uint32_t dir);
void avl_iter_next(avl_iter *it);

// Balances, key order and node count are consistent.
bool avl_check(avl_tree *avl);
