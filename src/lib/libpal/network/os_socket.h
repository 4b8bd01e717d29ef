// Sockets: every socket of the system is an os_socket created, configured,
// connected, read, written and closed here; addresses cross as os_ipaddr.
// Sockets are non-blocking and close on exec. Transfers return the count
// moved, 0 when the call would block or was interrupted (the caller waits and
// loops), -1 on any other error with errno as the system set it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/network/os_ipaddr.h"

struct iovec;
struct sockaddr;
struct sockaddr_storage;

// The descriptor + 1; 0 is no socket.
using os_socket = uint64_t;

// Type codes: socket type in the high byte (0x100 stream, 0x200 datagram,
// 0x300 raw), protocol in the low byte (1 TCP, 2 UDP, 3 ICMP; 0 the default).
constexpr uint32_t OS_SOCKET_TCP = 0x101;
constexpr uint32_t OS_SOCKET_UDP = 0x202;

// Readiness bits of os_socket_wait.
constexpr uint32_t OS_SOCKET_WAIT_READ  = 1;
constexpr uint32_t OS_SOCKET_WAIT_WRITE = 2;

// os_socket_ctrl codes. Setters take an int (or bool), getters a pointer,
// ADD_MEMBERSHIP a dotted IPv4 group text.
enum : uint64_t {
    OS_SOCKET_CTRL_SET_BLOCK          = 0,   // bool: true blocking
    OS_SOCKET_CTRL_GET_BLOCK          = 1,   // bool *
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,   // int
    OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,   // int64_t *, 0 on failure
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,   // int
    OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,   // int64_t *, 0 on failure
    OS_SOCKET_CTRL_SET_TCP_NODELAY    = 6,   // int
    OS_SOCKET_CTRL_GET_TCP_NODELAY    = 7,   // bool *, false on failure
    OS_SOCKET_CTRL_SET_KEEPINTVL      = 8,   // int
    OS_SOCKET_CTRL_SET_KEEPALIVE      = 9,   // int
    OS_SOCKET_CTRL_SET_NOSIGPIPE      = 10,  // int; sends never raise SIGPIPE anyway
    OS_SOCKET_CTRL_SET_KEEPIDLE       = 11,  // int
    OS_SOCKET_CTRL_SET_KEEPCNT        = 12,  // int
    OS_SOCKET_CTRL_ADD_MEMBERSHIP     = 13,  // const char *, any interface
};

// Creation and set-up. family is os_ipaddr's (1 IPv4, 2 IPv6, 3 unix path).
// 0 on failure, errno as the creation set it.
os_socket os_socket_init(uint32_t type, uint32_t family);
// A connected unix-domain pair of the code's socket type, both non-blocking.
bool os_socket_pair(uint32_t type, os_socket pair[2]);
// Setters: whether the option was set; getters: whether it was read.
bool os_socket_ctrl(os_socket sock, uint64_t ctrl, ...);
// SO_REUSEADDR only: a second listener on the same port must fail to bind.
void os_socket_reuse_addr_port(os_socket sock);

// Connecting and serving.
// 1 connected, 0 under way (wait for writable, then connect again), -1 error.
int os_socket_connect(os_socket sock, const os_ipaddr *addr);
// An IPv6 socket is made IPv6-only first, so IPv4 and IPv6 can share a port.
bool os_socket_bind(os_socket sock, const os_ipaddr *addr);
bool os_socket_listen(os_socket sock, int backlog);
// The new non-blocking socket with TCP_NODELAY, or 0 when none is pending or on error.
os_socket os_socket_accept(os_socket sock, os_ipaddr *peer);
bool os_socket_local(os_socket sock, os_ipaddr *addr);
bool os_socket_peer(os_socket sock, os_ipaddr *addr);
// how 0 stops reception, 1 sending, anything else both.
bool os_socket_kill(os_socket sock, int how);
bool os_socket_exit(os_socket sock);

// Transfer. A zero length returns 0 at once; one call moves at most INT_MAX
// bytes. A receive from a closed peer returns 0 with errno untouched.
int64_t os_socket_recv(os_socket sock, void *data, uint64_t len);
int64_t os_socket_send(os_socket sock, const void *data, uint64_t len);
int64_t os_socket_urecv(os_socket sock, os_ipaddr *src, void *data, uint64_t len);
int64_t os_socket_usend(os_socket sock, const os_ipaddr *dst, const void *data, uint64_t len);
int64_t os_socket_recvv(os_socket sock, const iovec *list, int size);
int64_t os_socket_sendv(os_socket sock, const iovec *list, int size);
int64_t os_socket_urecvv(os_socket sock, os_ipaddr *src, const iovec *list, int size);
int64_t os_socket_usendv(os_socket sock, const os_ipaddr *dst, const iovec *list, int size);

// Waiting. ms > 0 waits at most that long, 0 only looks, < 0 waits without
// limit. Returns the ready bits (1, 2 or 3), 0 on time-out or interruption,
// -1 when the socket has a pending error or the wait fails. Any descriptor
// number works (no 1024 limit).
int os_socket_wait(os_socket sock, uint32_t bits, int64_t ms);
int os_socket_wait_impl(int fd, uint32_t bits, int64_t ms);
// Exactly len bytes, waiting as needed; true only when every byte moved.
bool os_socket_recv_all(os_socket sock, void *data, uint64_t len);
bool os_socket_send_all(os_socket sock, const void *data, uint64_t len);

// Names and system address records.
// The first answer for a stream socket; the family of addr (1 or 2) restricts
// the lookup and a port other than 0 is kept.
bool os_addrinfo_addr(const char *name, os_ipaddr *addr);
// The host name of addr (a name is required, no numeric fallback), or nullptr.
char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn);
// Fills ipaddr from a system record; returns the record's length, 0 when unknown.
int os_sockaddr_save(os_ipaddr *ipaddr, const sockaddr *saddr);
// Fills a zeroed 128-byte record; returns the length to hand the system, or 0.
int os_sockaddr_load(sockaddr_storage *saddr, const os_ipaddr *ipaddr);
