// Item pools: a header {list link, payload size} before each payload, the
// items linked in allocation order. Callbacks run outside the mutex: init
// before the item is linked, exit before it is unlinked.
#include "libpal/memory/lbuf.h"

#include <cstring>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

// 16-byte alignment keeps every payload as aligned as a malloc'd block.
struct alignas(16) lbuf_item {
    list_node link;
    uint64_t size;
};

lbuf_item *item_of(const void *payload)
{
    return reinterpret_cast<lbuf_item *>(const_cast<char *>(static_cast<const char *>(payload)) -
                                         sizeof(lbuf_item));
}

void *payload_of(lbuf_item *item)
{
    return reinterpret_cast<char *>(item) + sizeof(lbuf_item);
}

lbuf_item *item_of_node(list_node *node)
{
    return static_cast<lbuf_item *>(list_node_to_entry(node, offsetof(lbuf_item, link)));
}

bool held_here(const lbuf *B)
{
    // Most calls find no holder: the thread id is asked only when there is one.
    const uint64_t holder = B->holder.load();
    return holder != 0 && holder == os_thread_id();
}

// Takes the pool's mutex unless this thread already holds it through
// lbuf_lock (the mutex is not recursive).
class pool_guard {
public:
    explicit pool_guard(lbuf *B) : B_(B), taken_(!held_here(B))
    {
        if (taken_)
            mutex_lock(B_->mutex);
    }
    ~pool_guard()
    {
        if (taken_)
            mutex_unlock(B_->mutex);
    }
    pool_guard(const pool_guard &) = delete;
    pool_guard &operator=(const pool_guard &) = delete;

private:
    lbuf *B_;
    bool taken_;
};

void *pool_alloc(void *ctx, size_t size)
{
    return lbuf_malloc(static_cast<lbuf *>(ctx), size);
}

}  // namespace

lbuf *lbuf_init(const lbuf_param *param)
{
    PL_ASSERT_TEXT_RET(param != nullptr, "param!=NULL", nullptr);
    pl_owned<os_mutex, mutex_free> mutex(mutex_malloc());
    pl_owned<char, os_free> name(param->name != nullptr ? os_strdup(param->name) : nullptr);
    if (!mutex || (param->name != nullptr && !name))
        return nullptr;
    void *mem = os_zalloc(sizeof(lbuf));
    if (mem == nullptr)
        return nullptr;
    auto *B = new (mem) lbuf{};
    list_init(&B->head);
    B->ctx = param->ctx;
    B->item_size = param->item_size;
    B->init_proc = param->init_proc;
    B->exit_proc = param->exit_proc;
    B->mutex = mutex.release();
    B->name = name.release();
    return B;
}

void lbuf_exit(lbuf *B)
{
    if (B == nullptr)
        return;
    lbuf_free_all(B);
    mutex_free(B->mutex);
    os_free(B->name);
    B->~lbuf();
    os_free(B);
}

void *lbuf_malloc_imp(lbuf *B, uint64_t size, bool zero)
{
    PL_ASSERT_TEXT_RET(B != nullptr, "B!=NULL", nullptr);
    if (size > SIZE_MAX - sizeof(lbuf_item))
        return nullptr;
    const size_t total = sizeof(lbuf_item) + size;
    auto *item = static_cast<lbuf_item *>(zero ? os_zalloc(total) : os_malloc(total));
    if (item == nullptr)
        return nullptr;
    item->size = size;
    void *payload = payload_of(item);
    if (B->init_proc != nullptr)
        B->init_proc(payload, B->ctx);
    pool_guard lk(B);
    list_add_tail(&B->head, &item->link, "lbuf_malloc_imp");
    B->count++;
    return payload;
}

void *lbuf_malloc(lbuf *B, uint64_t size)
{
    return lbuf_malloc_imp(B, size, false);
}

void *lbuf_malloc0(lbuf *B, uint64_t size)
{
    return lbuf_malloc_imp(B, size, true);
}

void *lbuf_slab_malloc(lbuf *B)
{
    PL_ASSERT_RET(B->item_size != 0, nullptr);
    return lbuf_malloc_imp(B, B->item_size, false);
}

void *lbuf_slab_malloc0(lbuf *B)
{
    PL_ASSERT_RET(B->item_size != 0, nullptr);
    return lbuf_malloc_imp(B, B->item_size, true);
}

char *lbuf_strndup(lbuf *B, const char *text, uint64_t n)
{
    PL_ASSERT_TEXT_RET(text != nullptr, "text!=NULL", nullptr);
    const size_t len = os_strnlen(text, n);
    auto *copy = static_cast<char *>(lbuf_malloc(B, len + 1));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

char *lbuf_strdup(lbuf *B, const char *text)
{
    return lbuf_strndup(B, text, SIZE_MAX);
}

char *lbuf_sprintf(lbuf *B, const char *fmt, ...)
{
    char *out = nullptr;
    va_list ap;
    va_start(ap, fmt);
    const int n = os_vasprintf_imp(&out, fmt, ap, pool_alloc, B);
    va_end(ap);
    return n < 0 ? nullptr : out;
}

void *lbuf_realloc(lbuf *B, void *payload, uint64_t size)
{
    if (payload == nullptr)
        return lbuf_malloc(B, size);
    if (size == 0) {
        lbuf_free(B, payload);
        return nullptr;
    }
    const uint64_t old_size = item_of(payload)->size;
    if (size <= old_size)
        return payload;
    void *grown = lbuf_malloc(B, size);
    if (grown == nullptr)
        return nullptr;
    memcpy(grown, payload, old_size);
    lbuf_free(B, payload);
    return grown;
}

void lbuf_free(lbuf *B, void *payload)
{
    if (payload == nullptr)
        return;
    if (B->exit_proc != nullptr)
        B->exit_proc(payload, B->ctx);
    lbuf_item *item = item_of(payload);
    {
        pool_guard lk(B);
        list_del(&item->link);
        B->count--;
    }
    os_free(item);
}

void lbuf_free_all(lbuf *B)
{
    list_node *node = B->head.next;
    while (node != &B->head) {
        list_node *next = node->next;
        lbuf_item *item = item_of_node(node);
        if (B->exit_proc != nullptr)
            B->exit_proc(payload_of(item), B->ctx);
        os_free(item);
        node = next;
    }
    list_init(&B->head);
    B->count = 0;
}

uint64_t lbuf_count(lbuf *B)
{
    pool_guard lk(B);
    return B->count;
}

bool lbuf_is_item(lbuf *B, const void *payload)
{
    pool_guard lk(B);
    for (list_node *n = B->head.next; n != &B->head; n = n->next) {
        if (payload_of(item_of_node(n)) == payload)
            return true;
    }
    return false;
}

void lbuf_lock(lbuf *B)
{
    mutex_lock(B->mutex);
    B->holder.store(os_thread_id());
}

void lbuf_unlock(lbuf *B)
{
    B->holder.store(0);
    mutex_unlock(B->mutex);
}

void lbuf_iter_init(lbuf *B, lbuf_iter *it)
{
    it->head = &B->head;
    it->node = B->head.next;
}

void *lbuf_iter_next(lbuf_iter *it)
{
    if (it->node == it->head)
        return nullptr;
    list_node *cur = it->node;
    it->node = cur->next;
    return payload_of(item_of_node(cur));
}
