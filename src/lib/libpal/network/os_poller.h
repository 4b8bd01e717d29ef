// Event poller: waits for readiness on many sockets at once and calls back
// for each ready one. The event thread owns one poller and waits on it while
// any other thread inserts, removes or modifies sockets and wakes it ("p") or
// stops it ("k"). An object behind a table of operations, so that an event
// loop is written once and the waiting mechanism stays the implementation's.
#pragma once

#include <cstdint>

#include "libpal/network/os_socket.h"

// Event bits, in registrations and in callbacks.
constexpr uint32_t OS_POLLER_EV_READ    = 0x1;
constexpr uint32_t OS_POLLER_EV_WRITE   = 0x2;
constexpr uint32_t OS_POLLER_EV_ONESHOT = 0x20;   // removed before its callback runs
constexpr uint32_t OS_POLLER_EV_ERROR   = 0x200;  // a pending socket error; reported, never registered

// Most objects one poller holds (its wake pair included).
constexpr uint32_t OS_POLLER_MAX_OBJECTS = 1024;
// Most events one wait dispatches; further ready objects go to the next wait.
constexpr uint32_t poller_events = 512;

// Object types.
constexpr uint8_t OS_POLLER_OBJECT_SOCKET = 1;
constexpr uint8_t OS_POLLER_OBJECT_PROC   = 3;  // refused by insert, remove and modify

// Poller types.
constexpr uint16_t OS_POLLER_TYPE_SELECT = 5;

// What is registered: a socket handle (descriptor + 1).
struct os_poller_object {
    uint8_t   type;
    os_socket handle;
};

struct os_poller;

// Called on the waiting thread without the poller's lock held, so it may
// insert or remove objects itself. Its result is ignored.
using os_poller_cb = int (*)(os_poller *poller, os_poller_object *object, uint32_t events, void *udata);

struct os_poller {
    void    *priv;
    uint16_t type;
    uint16_t features;  // the event bits the implementation honours
    void (*exit)(os_poller *poller);
    void (*kill)(os_poller *poller);
    void (*spak)(os_poller *poller);
    int64_t (*wait)(os_poller *poller, os_poller_cb func, int64_t timeout_ms);
    bool (*insert)(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);
    bool (*remove)(os_poller *poller, const os_poller_object *object);
    bool (*modify)(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);
    int (*attach)(os_poller *poller);
};

// Returns the new poller, or nullptr. Freed with os_poller_exit.
os_poller *os_poller_init(void *priv);
// Sends "k", then frees the poller. Requires: no thread waits on it any more.
void       os_poller_exit(os_poller *poller);
void      *os_poller_priv(os_poller *poller);
uint16_t   os_poller_type(os_poller *poller);
// True when every bit asked is among the poller's features.
bool       os_poller_support(os_poller *poller, uint32_t bits);

// Inserting a registered object replaces its bits and user data. A full
// poller refuses. A change made during a wait counts from the next one; send
// "p" (os_poller_spak) to have it at once.
bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);
// Also true for an object that was not registered. Called from another thread
// while the object's callback runs, returns once that callback has returned,
// so the caller may free what it uses. Requires: the caller holds no lock that
// a callback of this poller takes.
bool os_poller_remove(os_poller *poller, const os_poller_object *object);
bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t events, void *udata);

// Waits up to timeout_ms (0 only checks the clock, negative waits without
// limit) and dispatches the ready objects. Returns the number of callbacks
// made, 0 on time-out or after a wake-up with nothing ready, -1 after "k" or
// on a failed wait. One thread waits at a time.
int64_t os_poller_wait(os_poller *poller, os_poller_cb func, int64_t timeout_ms);
// Wake-up ("p", look again) and stop ("k"): one byte each, never blocking.
void    os_poller_spak(os_poller *poller);
void    os_poller_kill(os_poller *poller);
// 0 when the implementation has no attach operation.
int     os_poller_attach(os_poller *poller);
