// The poller implementation of type 5: readiness of up to 1024 registered
// sockets, any descriptor number, waited for with poll(2). os_poller_init
// creates it; callers use the os_poller front, the state below is for this
// implementation (and its tests) only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <thread>

#include "libpal/network/os_poller.h"

// A registration, and an event collected by a wait.
struct os_poller_entry {
    int64_t  fd;
    void    *udata;
    uint32_t events;
};

struct os_poller_select {
    os_poller base;  // first, so the front's pointer is this record's

    // Wake pair: pair[0] is the sending end, pair[1] the receiving end.
    // pair_lock guards the two handles against a renewal while spak or kill
    // sends, so a byte never goes to a descriptor that was closed and reused.
    os_socket  pair[2];
    std::mutex pair_lock;

    // lock guards the registration list, its count and the dispatch state.
    // Lock order: lock, then pair_lock.
    std::mutex       lock;
    os_poller_entry *list;   // sorted by fd, ascending; OS_POLLER_MAX_OBJECTS entries
    uint32_t         count;  // registered objects; a re-insert replaces, never counts twice

    // Belong to the waiting thread: the descriptors handed to poll and the
    // events collected by one wait. Allocated with the list.
    pollfd          *work;
    os_poller_entry *events;

    // The descriptor whose callback runs now (-1 none) and the thread running
    // it; a remover on another thread waits on dispatched until it is done.
    int64_t                 dispatch_fd;
    std::thread::id         dispatch_thread;
    std::condition_variable dispatched;
};

os_poller *os_poller_select_init();
void       os_poller_select_exit(os_poller *poller);
void       os_poller_select_kill(os_poller *poller);
void       os_poller_select_spak(os_poller *poller);
int64_t    os_poller_select_wait(os_poller *poller, os_poller_cb func, int64_t timeout_ms);
bool       os_poller_select_insert(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);
bool       os_poller_select_remove(os_poller *poller, const os_poller_object *object);
bool       os_poller_select_modify(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);

// Requires: p->lock held. Records {fd, udata, events}, replacing the entry of
// an equal fd. 1 added, 0 replaced, -1 refused (list full or no memory).
int  os_poller_select_list_set(os_poller_select *p, int64_t fd, void *udata, uint32_t events);
// Requires: p->lock held. Replaces a broken wake pair with a new registered
// one; false (logged) when that fails, leaving the poller without a pair.
bool os_poller_reset_pair(os_poller_select *p);
