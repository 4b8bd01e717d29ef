// Queue: producers append to a push-side list under the mutex; the consumer
// takes that whole list over when its own pop-side list runs empty, so it
// locks once per batch. The bound is tested and the count raised under the
// mutex, so producers never overfill the queue between them.
#include "libpal/comm/queue.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr uint8_t FALSE = 0;
// The events keep no signalled state: a signal sent just before a waiter
// waits is lost, so no single wait is longer than this.
constexpr uint32_t k_wait_slice_ms = 10;

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

class queue_lock {
public:
    explicit queue_lock(queue *q) : q_(q) { mutex_lock(q_->mutex); }
    ~queue_lock() { mutex_unlock(q_->mutex); }
    queue_lock(const queue_lock &) = delete;
    queue_lock &operator=(const queue_lock &) = delete;

private:
    queue *q_;
};

void *elem_of(const queue *q, qnode *n)
{
    return q->not_alloc_node ? static_cast<void *>(n) : reinterpret_cast<qnode_alloc *>(n)->elem;
}

void free_node(const queue *q, qnode *n)
{
    if (!q->not_alloc_node)
        os_free(n);
}

// One slice of an event wait. A thread cancelled inside the event's own wait
// would unwind with the event's mutex held, and every later waiter of the
// queue would block on it for good; so the wait itself is shielded and a
// pending cancellation is acted on after it, where no lock is held.
int slice_wait(os_cond *cond, uint32_t ms)
{
    int old_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
    const int rc = os_cond_wait(cond, ms);
    pthread_setcancelstate(old_state, nullptr);
    pthread_testcancel();
    return rc;
}

// Waits on cond in slices until ready() holds or ms have passed: 0 when
// ready, -2 on time-out, -1 when a wait fails.
template <typename Ready>
int wait_until(os_cond *cond, uint32_t ms, Ready ready)
{
    const uint64_t deadline = os_tick_ms() + ms;
    for (;;) {
        if (ready())
            return 0;
        const uint64_t now = os_tick_ms();
        if (now >= deadline)
            return -2;
        const auto slice = static_cast<uint32_t>(std::min<uint64_t>(deadline - now, k_wait_slice_ms));
        if (slice_wait(cond, slice) == -1)
            return -1;
    }
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
    auto *q = static_cast<queue *>(os_zalloc(sizeof(queue)));
    if (q == nullptr)
        return nullptr;
    new (&q->count) std::atomic<int32_t>(0);
    q->free_proc = param->free_proc;
    q->max = param->max;
    q->not_alloc_node = param->not_alloc_node;
    q->ctx = param->ctx;
    q->mutex = mutex_malloc();
    q->not_empty = os_cond_new();
    q->not_full = os_cond_new();
    if (q->mutex == nullptr || q->not_empty == nullptr || q->not_full == nullptr) {
        mutex_free(q->mutex);
        os_cond_free(q->not_empty);
        os_cond_free(q->not_full);
        os_free(q);
        return nullptr;
    }
    return q;
}

int queue_push_wait(queue *hq, void *node, uint32_t ms)
{
    PL_ASSERT_RET(hq!=NULL, -1);
    PL_ASSERT_RET(node!=NULL, -1);
    // The node is made only once there is room, under the mutex, so a
    // producer that times out or is cancelled during the wait holds nothing.
    enum { waiting, added, no_memory } state = waiting;
    auto try_append = [&] {
        queue_lock lock(hq);
        if (hq->max != 0 && hq->count.load() >= hq->max)
            return false;
        qnode *n = nullptr;
        if (hq->not_alloc_node) {
            n = static_cast<qnode *>(node);
        } else {
            auto *a = static_cast<qnode_alloc *>(os_malloc(sizeof(qnode_alloc)));
            if (a == nullptr) {
                state = no_memory;
                return true;
            }
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
        state = added;
        return true;
    };
    const int rc = wait_until(hq->not_full, ms, try_append);
    if (state == no_memory)
        return -1;
    if (state != added)
        return rc;
    os_cond_signal(hq->not_empty);
    return 0;
}

int queue_push(queue *hq, void *node)
{
    return queue_push_wait(hq, node, 0);
}

void *queue_pop_wait(queue *hq, uint32_t ms)
{
    PL_ASSERT_RET(hq!=NULL, nullptr);
    if (wait_until(hq->not_empty, ms, [hq] { return hq->count.load() > 0; }) != 0)
        return nullptr;
    if (hq->pop_head == nullptr) {
        queue_lock lock(hq);
        hq->pop_head = hq->push_head;
        hq->push_head = nullptr;
        hq->push_tail = nullptr;
    }
    qnode *n = hq->pop_head;
    if (n == nullptr)
        return nullptr;
    hq->pop_head = n->next;
    void *elem = elem_of(hq, n);
    free_node(hq, n);
    hq->count.fetch_sub(1);
    os_cond_signal(hq->not_full);
    return elem;
}

void *queue_pop(queue *hq)
{
    return queue_pop_wait(hq, 0);
}

int32_t queue_size(queue *hq)
{
    PL_ASSERT_RET(hq!=NULL, 0);
    return hq->count.load();
}

bool queue_isfull(queue *hq)
{
    PL_ASSERT_RET(hq!=NULL, false);
    return hq->max != 0 && hq->count.load() >= hq->max;
}

bool queue_empty(queue *hq)
{
    PL_ASSERT_RET(hq!=NULL, true);
    return hq->count.load() == 0;
}

int queue_del(queue *hq, void *elem)
{
    PL_ASSERT_RET(hq!=NULL, -1);
    queue *ctx = hq;
    PL_ASSERT_RET(ctx->not_alloc_node == FALSE, -1);
    qnode *n = nullptr;
    {
        queue_lock lock(ctx);
        n = unlink_elem(ctx, &ctx->push_head, &ctx->push_tail, elem);
        if (n == nullptr)
            n = unlink_elem(ctx, &ctx->pop_head, nullptr, elem);
        if (n == nullptr)
            return -1;
        ctx->count.fetch_sub(1);
    }
    if (ctx->free_proc != nullptr)
        ctx->free_proc(ctx->ctx, elem);
    free_node(ctx, n);
    os_cond_signal(ctx->not_full);
    return 0;
}

int queue_clear(queue *hq)
{
    PL_ASSERT_RET(hq!=NULL, -1);
    qnode *pushed = nullptr;
    qnode *popped = nullptr;
    {
        queue_lock lock(hq);
        pushed = hq->push_head;
        popped = hq->pop_head;
        hq->push_head = nullptr;
        hq->push_tail = nullptr;
        hq->pop_head = nullptr;
        hq->count.store(0);
    }
    // The callbacks run outside the mutex: one may push again.
    drop_list(hq, popped);
    drop_list(hq, pushed);
    os_cond_broadcast(hq->not_full);
    return 0;
}

int queue_close(queue *hq)
{
    PL_ASSERT_RET(hq!=NULL, -1);
    queue_clear(hq);
    mutex_free(hq->mutex);
    os_cond_free(hq->not_empty);
    os_cond_free(hq->not_full);
    hq->count.~atomic();
    os_free(hq);
    return 0;
}
