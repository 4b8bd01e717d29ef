// AVL tree: recursive insert and delete that rebalance on the way back up,
// an explicit-stack iterator, and a self-check.
#include "libpal/comm/avl_tree.h"

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/memory/mem_mgr.h"
#include "libpal/utils/pl_cmp.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

struct avl_tree {
    uint32_t flags;
    avl_cmp_proc cmp;
    avl_free_proc free_proc;
    mem_mgr *hslab;  // one node per item
    mem_mgr *hpool;  // copied key and value texts
    avl_node *root;
    uint64_t count;
};

namespace {

avl_node *&side(avl_node *n, int dir)
{
    return dir > 0 ? n->right : n->left;
}

// The subtree at p got one level taller on the dir side (+1 right, -1 left),
// or, seen from the other side, shorter on the -dir side. Rotates when p
// would lean by two; p becomes the new subtree root.
void rebalance(avl_node *&p, int dir)
{
    if (p->balance != dir) {
        p->balance += dir;
        return;
    }
    avl_node *node = p;
    avl_node *child = side(node, dir);
    if (child->balance != -dir) {
        side(node, dir) = side(child, -dir);
        side(child, -dir) = node;
        int old = child->balance;
        child->balance = old - dir;
        node->balance = dir - old;
        p = child;
        return;
    }
    avl_node *grand = side(child, -dir);
    side(node, dir) = side(grand, -dir);
    side(child, -dir) = side(grand, dir);
    side(grand, -dir) = node;
    side(grand, dir) = child;
    node->balance = grand->balance == dir ? -dir : 0;
    child->balance = grand->balance == -dir ? dir : 0;
    grand->balance = 0;
    p = grand;
}

void release_key(avl_tree *avl, avl_node *n)
{
    if (avl->flags & AVL_KEY_STR_COPY)
        mem_pool_mgr_free(avl->hpool, const_cast<void *>(n->key));
}

void release_value(avl_tree *avl, void *value)
{
    if (avl->flags & AVL_VAL_STR_COPY) {
        mem_pool_mgr_free(avl->hpool, value);
    } else if (avl->flags & AVL_VAL_OWNED) {
        os_free(value);
    } else if (avl->flags & AVL_VAL_FREE_CB) {
        if (avl->free_proc != nullptr)
            avl->free_proc(value);
    }
}

// The value as the tree stores it: a copy for copied texts. *ok false when
// the copy could not be made.
void *make_value(avl_tree *avl, void *value, bool *ok)
{
    *ok = true;
    if ((avl->flags & AVL_VAL_STR_COPY) && value != nullptr) {
        void *copy = mem_pool_mgr_strdup(avl->hpool, static_cast<const char *>(value));
        *ok = copy != nullptr;
        return copy;
    }
    return value;
}

const void *make_key(avl_tree *avl, const void *key, bool *ok)
{
    *ok = true;
    if (avl->flags & AVL_KEY_STR_COPY) {
        const void *copy = mem_pool_mgr_strdup(avl->hpool, static_cast<const char *>(key));
        *ok = copy != nullptr;
        return copy;
    }
    return key;
}

avl_node *new_node(avl_tree *avl, const void *key, void *value)
{
    auto *node = static_cast<avl_node *>(mem_slab_mgr_malloc(avl->hslab));
    PL_ASSERT_TEXT_RET(node != nullptr, "node != NULL", nullptr);
    bool key_ok = false;
    bool val_ok = false;
    node->key = make_key(avl, key, &key_ok);
    node->value = make_value(avl, value, &val_ok);
    if (!key_ok || !val_ok) {
        if (key_ok)
            release_key(avl, node);
        if (val_ok && node->value != value)
            mem_pool_mgr_free(avl->hpool, node->value);
        mem_slab_mgr_free(avl->hslab, node);
        return nullptr;
    }
    node->left = nullptr;
    node->right = nullptr;
    node->balance = 0;
    return node;
}

enum class set_result { added, replaced, failed };

set_result insert(avl_tree *avl, avl_node *&p, const void *key, void *value, bool *grew)
{
    if (p == nullptr) {
        p = new_node(avl, key, value);
        if (p == nullptr) {
            *grew = false;
            return set_result::failed;
        }
        avl->count++;
        *grew = true;
        return set_result::added;
    }
    int c = avl->cmp(key, p->key);
    if (c == 0) {
        *grew = false;
        bool ok = false;
        if (avl->flags & AVL_KEY_STR_COPY) {
            const void *k = make_key(avl, key, &ok);
            if (!ok)
                return set_result::failed;
            release_key(avl, p);
            p->key = k;
        }
        void *v = make_value(avl, value, &ok);
        if (!ok)
            return set_result::failed;
        release_value(avl, p->value);
        p->value = v;
        return set_result::replaced;
    }
    int dir = c < 0 ? -1 : 1;
    set_result r = insert(avl, side(p, dir), key, value, grew);
    if (*grew) {
        rebalance(p, dir);
        *grew = p->balance != 0;
    }
    return r;
}

// Unlinks the greatest (dir +1) or smallest (dir -1) node of the subtree.
avl_node *remove_extreme(avl_node *&p, int dir, bool *shrank)
{
    if (side(p, dir) != nullptr) {
        avl_node *n = remove_extreme(side(p, dir), dir, shrank);
        if (*shrank) {
            rebalance(p, -dir);
            *shrank = p->balance == 0;
        }
        return n;
    }
    avl_node *n = p;
    p = side(p, -dir);
    *shrank = true;
    return n;
}

bool remove(avl_tree *avl, avl_node *&p, const void *key, bool *shrank)
{
    if (p == nullptr) {
        *shrank = false;
        return false;
    }
    int c = avl->cmp(key, p->key);
    if (c != 0) {
        int dir = c < 0 ? -1 : 1;
        bool found = remove(avl, side(p, dir), key, shrank);
        if (*shrank) {
            rebalance(p, -dir);
            *shrank = p->balance == 0;
        }
        return found;
    }
    avl_node *node = p;
    release_key(avl, node);
    release_value(avl, node->value);
    avl->count--;
    if (node->left != nullptr && node->right != nullptr) {
        // Take the replacement from the taller side (the left when equal), so
        // no rotation is needed here.
        bool from_left = node->balance <= 0;
        bool sub_shrank = false;
        avl_node *repl = from_left ? remove_extreme(node->left, +1, &sub_shrank)
                                   : remove_extreme(node->right, -1, &sub_shrank);
        repl->left = node->left;
        repl->right = node->right;
        repl->balance = node->balance;
        if (sub_shrank) {
            repl->balance += from_left ? 1 : -1;
            *shrank = repl->balance == 0;
        } else {
            *shrank = false;
        }
        p = repl;
    } else {
        p = node->left != nullptr ? node->left : node->right;
        *shrank = true;
    }
    mem_slab_mgr_free(avl->hslab, node);
    return true;
}

void free_nodes(avl_tree *avl, avl_node *n)
{
    if (n == nullptr)
        return;
    free_nodes(avl, n->left);
    free_nodes(avl, n->right);
    release_key(avl, n);
    release_value(avl, n->value);
    mem_slab_mgr_free(avl->hslab, n);
}

// The height of the subtree, or -1 when a balance is wrong below it.
int check_balance(avl_node *n)
{
    if (n == nullptr)
        return 0;
    int l = check_balance(n->left);
    int r = check_balance(n->right);
    if (l < 0 || r < 0 || n->balance != r - l || n->balance < -1 || n->balance > 1)
        return -1;
    return (l > r ? l : r) + 1;
}

uint64_t count_nodes(avl_node *n)
{
    return n == nullptr ? 0 : 1 + count_nodes(n->left) + count_nodes(n->right);
}

bool check_order(avl_tree *avl)
{
    avl_iter it;
    avl_iter_init(&it, avl, 0);
    const void *prev = nullptr;
    bool first = true;
    for (; it.node != nullptr; avl_iter_next(&it)) {
        if (!first && avl->cmp(prev, it.key) >= 0)
            return false;
        prev = it.key;
        first = false;
    }
    return true;
}

void iter_descend(avl_iter *it, avl_node *n)
{
    int dir = it->dir == 0 ? -1 : 1;
    while (side(n, dir) != nullptr) {
        if (it->depth >= AVL_ITER_DEPTH) {
            // Deeper than any balanced tree can be: end the walk.
            n = nullptr;
            break;
        }
        it->stack[it->depth++] = n;
        n = side(n, dir);
    }
    it->node = n;
}

void iter_load(avl_iter *it)
{
    it->key = it->node != nullptr ? it->node->key : nullptr;
    it->value = it->node != nullptr ? it->node->value : nullptr;
}

// The node slab and the text pool (both of type 0 only).
bool make_stores(avl_tree *avl, const avl_param &p)
{
    avl->hslab = mem_slab_mgr_init(p.slab_type, p.slab_arg, sizeof(avl_node));
    PL_ASSERT_TEXT_RET(avl->hslab != nullptr, "avl->hslab != NULL", false);
    avl->hpool = mem_pool_mgr_init(p.pool_type);
    PL_ASSERT_TEXT_RET(avl->hpool != nullptr, "avl->hpool != NULL", false);
    return true;
}

}  // namespace

avl_tree *avl_new(const avl_param *param)
{
    avl_param p = param != nullptr ? *param : avl_param{};
    // avl_exit takes a tree whose stores are not all made yet.
    pl_owned<avl_tree, avl_exit> avl(static_cast<avl_tree *>(os_zalloc(sizeof(avl_tree))));
    PL_ASSERT_TEXT_RET(avl != nullptr, "avl != NULL", nullptr);
    avl->flags = p.flags;
    avl->cmp = cmp_get_proc(p.flags & (AVL_KEY_STR_COPY | AVL_KEY_STR), p.cmp);
    avl->free_proc = p.free_proc;
    if (!make_stores(avl.get(), p))
        return nullptr;
    return avl.release();
}

void avl_exit(avl_tree *avl)
{
    if (avl == nullptr)
        return;
    free_nodes(avl, avl->root);
    mem_slab_mgr_exit(avl->hslab);
    mem_pool_mgr_exit(avl->hpool);
    os_free(avl);
}

bool avl_set(avl_tree *avl, const void *key, void *value)
{
    bool grew = false;
    return insert(avl, avl->root, key, value, &grew) == set_result::added;
}

avl_node *avl_find(avl_tree *avl, const void *key)
{
    avl_node *n = avl->root;
    while (n != nullptr) {
        int c = avl->cmp(key, n->key);
        if (c == 0)
            return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

void *avl_get(avl_tree *avl, const void *key)
{
    avl_node *n = avl_find(avl, key);
    return n != nullptr ? n->value : nullptr;
}

uint64_t avl_count(const avl_tree *avl)
{
    return avl->count;
}

bool avl_del(avl_tree *avl, const void *key)
{
    bool shrank = false;
    return remove(avl, avl->root, key, &shrank);
}

void avl_iter_init(avl_iter *it, avl_tree *avl, uint32_t dir)
{
    it->dir = dir;
    it->depth = 0;
    it->node = nullptr;
    if (avl->root != nullptr)
        iter_descend(it, avl->root);
    iter_load(it);
}

void avl_iter_next(avl_iter *it)
{
    if (it->node == nullptr)
        return;
    int other = it->dir == 0 ? 1 : -1;
    avl_node *n = side(it->node, other);
    if (n != nullptr)
        iter_descend(it, n);
    else
        it->node = it->depth > 0 ? it->stack[--it->depth] : nullptr;
    iter_load(it);
}

bool avl_check(avl_tree *avl)
{
    return check_balance(avl->root) >= 0 && check_order(avl) && count_nodes(avl->root) == avl->count;
}
