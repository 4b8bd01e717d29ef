// Queue: producers append to a push-side list under the mutex; the consumer
// takes that whole list over when its own pop-side list runs empty, so it
// locks once per batch. The bound is tested and the count raised under the
// mutex, so producers never overfill the queue between them. Both sides wait
// on their event under the queue's mutex, and every change they wait for is
// signalled under it, so a waiter sleeps until its change comes.
#include "libpal/comm/queue.h"

#include <atomic>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

struct qnode {
    qnode *next;
};

// A node the queue allocates around an element.
struct qnode_alloc {
    qnode link;
    void *elem;
};

}  // namespace

struct queue {
    queue_free_proc free_proc;
    qnode *push_head;
    qnode *push_tail;
    qnode *pop_head;
    int32_t max;
    std::atomic<int32_t> count;
    os_mutex *mutex;
    os_cond *not_empty;
    os_cond *not_full;
    uint8_t not_alloc_node;
    void *ctx;
};

namespace {

void *elem_of(const queue *q, qnode *n)
{
    return q->not_alloc_node ? static_cast<void *>(n) : reinterpret_cast<qnode_alloc *>(n)->elem;
}

void free_node(const queue *q, qnode *n)
{
    if (!q->not_alloc_node)
        os_free(n);
}

// Waits on cond, under the queue's mutex that held holds, until ready()
// holds or ms have passed: 0 when ready, -2 on time-out, -1 when a wait
// fails. A thread cancelled in the wait unwinds through held, which lets the
// mutex go, so later waiters are not blocked by it.
template <typename Ready>
int wait_until(const os_mutex_guard &held, os_cond *cond, uint32_t ms, const Ready &ready)
{
    const uint64_t deadline = os_tick_ms() + ms;
    while (!ready()) {
        const uint64_t now = os_tick_ms();
        if (now >= deadline)
            return -2;
        if (os_cond_wait_locked(cond, held.mutex(), static_cast<uint32_t>(deadline - now)) == -1)
            return -1;
    }
    return 0;
}

// Unlinks the first node of the list at head carrying elem; tail (when given)
// follows a removed last node.
qnode *unlink_elem(const queue *q, qnode **head, qnode **tail, void *elem)
{
    qnode *prev = nullptr;
    for (qnode **link = head; *link != nullptr; prev = *link, link = &(*link)->next) {
        qnode *n = *link;
        if (elem_of(q, n) != elem)
            continue;
        *link = n->next;
        if (tail != nullptr && *tail == n)
            *tail = prev;
        return n;
    }
    return nullptr;
}

void drop_list(queue *q, qnode *n)
{
    while (n != nullptr) {
        qnode *next = n->next;
        if (!q->not_alloc_node) {
            if (q->free_proc != nullptr)
                q->free_proc(q->ctx, elem_of(q, n));
            free_node(q, n);
        }
        n = next;
    }
}

}  // namespace

queue *queue_init(const queue_param *param)
{
    const queue_param none{};
    if (param == nullptr)
        param = &none;
    PL_ASSERT_RET(param->max >= 0, nullptr);
    pl_owned<os_mutex, mutex_free> mutex(mutex_malloc());
    pl_owned<os_cond, os_cond_free> not_empty(os_cond_new());
    pl_owned<os_cond, os_cond_free> not_full(os_cond_new());
    auto *q = static_cast<queue *>(os_zalloc(sizeof(queue)));
    if (q == nullptr || !mutex || !not_empty || !not_full) {
        os_free(q);
        return nullptr;
    }
    new (&q->count) std::atomic<int32_t>(0);
    q->free_proc = param->free_proc;
    q->max = param->max;
    q->not_alloc_node = param->not_alloc_node;
    q->ctx = param->ctx;
    q->mutex = mutex.release();
    q->not_empty = not_empty.release();
    q->not_full = not_full.release();
    return q;
}

int queue_push_wait(queue *hq, void *node, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", -1);
    PL_ASSERT_TEXT_RET(node != nullptr, "node!=NULL", -1);
    os_mutex_guard held(hq->mutex);
    // The node is made only once there is room, so a producer that times out
    // or is cancelled during the wait holds nothing.
    const int rc = wait_until(held, hq->not_full, ms,
                              [hq] { return hq->max == 0 || hq->count.load() < hq->max; });
    if (rc != 0)
        return rc;
    qnode *n = nullptr;
    if (hq->not_alloc_node) {
        n = static_cast<qnode *>(node);
    } else {
        auto *a = static_cast<qnode_alloc *>(os_malloc(sizeof(qnode_alloc)));
        if (a == nullptr)
            return -1;
        a->elem = node;
        n = &a->link;
    }
    n->next = nullptr;
    if (hq->push_tail != nullptr)
        hq->push_tail->next = n;
    else
        hq->push_head = n;
    hq->push_tail = n;
    hq->count.fetch_add(1);
    os_cond_signal(hq->not_empty);
    return 0;
}

int queue_push(queue *hq, void *node)
{
    return queue_push_wait(hq, node, 0);
}

void *queue_pop_wait(queue *hq, uint32_t ms)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", nullptr);
    if (hq->pop_head == nullptr) {
        os_mutex_guard held(hq->mutex);
        if (wait_until(held, hq->not_empty, ms, [hq] { return hq->push_head != nullptr; }) != 0)
            return nullptr;
        hq->pop_head = hq->push_head;
        hq->push_head = nullptr;
        hq->push_tail = nullptr;
    }
    qnode *n = hq->pop_head;
    hq->pop_head = n->next;
    void *elem = elem_of(hq, n);
    free_node(hq, n);
    if (hq->max == 0) {
        // Nobody waits for room in an unbounded queue.
        hq->count.fetch_sub(1);
    } else {
        os_mutex_guard held(hq->mutex);
        hq->count.fetch_sub(1);
        os_cond_signal(hq->not_full);
    }
    return elem;
}

void *queue_pop(queue *hq)
{
    return queue_pop_wait(hq, 0);
}

int32_t queue_size(queue *hq)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", 0);
    return hq->count.load();
}

bool queue_isfull(queue *hq)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", false);
    return hq->max != 0 && hq->count.load() >= hq->max;
}

bool queue_empty(queue *hq)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", true);
    return hq->count.load() == 0;
}

int queue_del(queue *hq, void *elem)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", -1);
    PL_ASSERT_TEXT_RET(!hq->not_alloc_node, "ctx->not_alloc_node == FALSE", -1);
    qnode *n = nullptr;
    {
        os_mutex_guard held(hq->mutex);
        n = unlink_elem(hq, &hq->push_head, &hq->push_tail, elem);
        if (n == nullptr)
            n = unlink_elem(hq, &hq->pop_head, nullptr, elem);
        if (n == nullptr)
            return -1;
        hq->count.fetch_sub(1);
        os_cond_signal(hq->not_full);
    }
    if (hq->free_proc != nullptr)
        hq->free_proc(hq->ctx, elem);
    free_node(hq, n);
    return 0;
}

int queue_clear(queue *hq)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", -1);
    qnode *pushed = nullptr;
    qnode *popped = nullptr;
    {
        os_mutex_guard held(hq->mutex);
        pushed = hq->push_head;
        popped = hq->pop_head;
        hq->push_head = nullptr;
        hq->push_tail = nullptr;
        hq->pop_head = nullptr;
        hq->count.store(0);
        os_cond_broadcast(hq->not_full);
    }
    // The callbacks run outside the mutex: one may push again.
    drop_list(hq, popped);
    drop_list(hq, pushed);
    return 0;
}

int queue_close(queue *hq)
{
    PL_ASSERT_TEXT_RET(hq != nullptr, "hq!=NULL", -1);
    queue_clear(hq);
    mutex_free(hq->mutex);
    os_cond_free(hq->not_empty);
    os_cond_free(hq->not_full);
    hq->count.~atomic();
    os_free(hq);
    return 0;
}
