// The event environment: one process-wide poller waited on by the one event
// thread "sock_listen", created by the first server and stopped by net_exit.
// The thread accepts for every TCP server, calls the UDP servers' callbacks
// and the callbacks of connected sockets registered as data events, drops
// data events idle for too long, and runs a periodic hook, at least once a
// second while one of those is set; otherwise it sleeps until a socket is
// ready or it is woken.
#pragma once

#include <cstdint>

#include "libpal/network/os_poller.h"
#include "libpal/network/os_socket.h"

// Kinds read first from the user data of every registered socket.
constexpr uint32_t SOCKET_TYPE_UDP   = 1;
constexpr uint32_t SOCKET_TYPE_TCP   = 2;
constexpr uint32_t SOCKET_TYPE_EVENT = 3;

// All zero at start: no expiry, no hook.
struct sock_env_param {
    uint32_t first_timeout;  // ms a data socket may wait for its first event
    uint32_t idle_timeout;   // ms a data socket may stay quiet after an event
    void (*proc)(void *arg);  // periodic hook, on the event thread
    void *arg;
};

// Negative to drop the socket's registration.
using sock_event_cb = int32_t (*)(os_socket sock, uint32_t events, void *arg);

// A data event, a record of the "events" pool.
struct sock_event {
    uint32_t type;  // SOCKET_TYPE_EVENT
    sock_event_cb callback;
    void *arg;
    os_socket sock;
    uint64_t tick;     // last activity, ms
    uint8_t no_event;  // 1 from registration until the first event
};

// Creates the poller, the thread and the pool once and pauses one second;
// later calls return 0 at once. A failure of either is a crit message.
int sock_env_init();
// Stops the thread (waits 1000 ms; one still running is never cancelled and
// keeps the poller and pool it uses, freed by whichever of the two ends
// last). Servers are closed by their owners first. 0.
int sock_env_exit();
// Returns once the event thread has finished the wait it was in (at most a
// second): poll keeps every descriptor it watches open until it returns, so a
// listener closed under it would hold its port until then. At once on the
// event thread itself or when none runs.
void sock_env_sync();
int sock_env_set_param(const sock_env_param *param);
// The environment's poller, nullptr when none runs.
os_poller *sock_env_poller();

// The socket stays open when the registration is dropped: it is its owner's.
sock_event *sock_add_event(os_socket sock, uint32_t events, sock_event_cb callback, void *arg);
int sock_del_event_proc(sock_event *ev);
