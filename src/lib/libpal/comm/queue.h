// Blocking first-in-first-out queue of element pointers with an optional bound
// and timed waits; any number of producers and exactly one consumer (the
// thread pool's workers). The push side is shared under the queue's mutex;
// the pop side belongs to the consumer. A waiter sleeps until the other side
// makes its change, or until its time is up.
#pragma once

#include <cstdint>

using queue_free_proc = void (*)(void *ctx, void *elem);

// nullptr means all zero: unbounded, nodes allocated by the queue, no callback.
struct queue_param {
    void *ctx;  // handed to free_proc
    int32_t max;  // 0 unbounded
    // Elements are their own nodes: the first word of each is the queue's
    // link, and the queue allocates and frees nothing for them.
    uint8_t not_alloc_node;
    queue_free_proc free_proc;
};

struct queue;

queue *queue_init(const queue_param *param);
// 0; -2 when the queue is still full after ms; -1 when a wait fails or no node
// memory is left.
int queue_push_wait(queue *hq, void *node, uint32_t ms);
int queue_push(queue *hq, void *node);
// The oldest element, or nullptr when none arrived within ms.
// Requires: called by the one consumer.
void *queue_pop_wait(queue *hq, uint32_t ms);
void *queue_pop(queue *hq);

int32_t queue_size(queue *hq);
bool queue_isfull(queue *hq);
bool queue_empty(queue *hq);

// Removes the first node carrying elem (push side first, then pop side),
// hands elem to the free callback and frees the node: 0, or -1 when absent or
// the elements are their own nodes. Requires: no pop runs at the same time.
int queue_del(queue *hq, void *elem);
// Drops every element, handing each to the free callback (not for elements
// that are their own nodes). Requires: no pop runs at the same time.
int queue_clear(queue *hq);
// queue_clear, then frees the queue.
int queue_close(queue *hq);
