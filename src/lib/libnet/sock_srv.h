// Servers: a TCP or UDP server bound to each address of one text (at most
// 32, separated by ";" or ","; "0.0.0.0" and "::" when none), its sockets
// served by the event thread "sock_listen". A TCP server hands every accepted
// connection to its accept callback on that thread, or to a detached thread
// "%s_work" of its own. Also single listening sockets outside the event
// thread, and the accept-one server.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/basic/os_sync.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/network/os_socket.h"

// Its result is ignored. Runs on the event thread: a callback that blocks
// holds up every listener.
using sock_accept_cb = int (*)(os_socket sock, os_ipaddr *peer, void *udata);
// The accepted socket as its argument (cast from void *).
using sock_work_proc = int (*)(void *sock);
using sock_udp_cb = int (*)(os_socket sock, uint32_t flags, void *udata);

struct sock_srv_param {
    const char *name;  // in messages and in "%s_work" thread names
    uint32_t reuse;    // SO_REUSEADDR on every listening socket
    // Floors: set only where the system's default is smaller (0: never), as
    // a set size stops the kernel growing every accepted connection's window.
    uint32_t recv_buf_size;
    uint32_t send_buf_size;
    int32_t backlog;
    sock_accept_cb accept_proc;
    sock_work_proc work_proc;  // used only without accept_proc
    uint32_t bind_port;        // written by the server: the last port bound
    void *udata;               // for accept_proc
};

struct sock_udp_param {
    const char *name;
    sock_udp_cb proc;
    uint32_t bind_port;  // written when port 0 was asked
    void *udata;
};

constexpr int SOCK_SERVER_MAX = 32;

struct sock_server {
    uint32_t kind;  // SOCKET_TYPE_TCP or SOCKET_TYPE_UDP; first, read by the event thread
    char name[128];
    void *callback;  // the accept callback (TCP) or the datagram callback (UDP)
    sock_work_proc work_proc;
    void *udata;
    int32_t count;
    os_socket sockets[SOCK_SERVER_MAX];
};

// Refusals on the accept path (a connection that gets no thread or no
// memory, the listener out of descriptors): counted, and reported at most
// once a second with the count since the last report, so a client that
// loops on connect cannot flood the log. Zeroed before first use; shared by
// any threads.
struct sock_refusals {
    std::atomic<uint64_t> reported_ms;  // os_tick_ms of the last report, 0 before the first
    std::atomic<uint64_t> pending;      // refusals not yet reported
};
constexpr uint64_t SOCK_REFUSAL_REPORT_MS = 1000;
// Counts one refusal; true when a report is due, *count then the number of
// refusals it covers, this one included.
bool sock_refusal_due(sock_refusals *r, uint64_t *count);

// port 0 to 65534; 0 asks the system, and every later address of the list
// then shares the first one's port. nullptr when no address binds.
sock_server *sock_tcp_server(const char *addrs, uint32_t port, sock_srv_param *param);
sock_server *sock_udp_server(const char *addrs, uint32_t port, sock_udp_param *param);
sock_server *sock_server_init_imp(const char *addrs, uint32_t port, uint32_t kind, void *param);
// Removes every socket from the poller (waiting for a running callback) and
// closes it once the event thread no longer watches it, so its port is free
// on return; accepted connections are not touched. 0.
int sock_server_close(sock_server *srv);
int sock_server_exit(sock_server *srv);
os_socket sock_server_get_sock(sock_server *srv);
// One bound (and, for TCP, listening) socket of kind's parameters, or 0.
os_socket sock_bind(const char *addr, uint32_t port, uint32_t kind, void *param);

// A single IPv4 listener outside the event thread; buf_size is both buffers' floor.
os_socket sock_server2(const char *ip, uint32_t port, uint32_t *bound_port, uint32_t reuse, uint32_t buf_size,
                       int backlog);
os_socket sock_tcp_listen(const char *ip, uint32_t port, uint32_t reuse, uint32_t buf_size, int backlog);

// Accept-one server: keeps the first accepted socket; later ones stay open
// and are ignored.
struct sock_wait_srv {
    sock_server *srv;
    std::atomic<os_socket> sock;
    os_cond *cond;
};

// Both fill param's accept_proc and udata. nullptr on failure.
sock_wait_srv *sock_wait_srv_init(const char *addrs, uint32_t port, sock_srv_param *param);
// Tries low, low + 1, ... high - 1; port 0 once when low is 0 or above high.
sock_wait_srv *sock_wait_srv_init_range(const char *addrs, uint32_t low, uint32_t high, sock_srv_param *param);
int sock_wait_srv_accept(os_socket sock, os_ipaddr *peer, void *udata);
// Up to n waits of 1 ms; the socket, or 0 when none came.
os_socket sock_wait_srv_get(sock_wait_srv *ws, int n);
int sock_wait_srv_exit(sock_wait_srv *ws);
