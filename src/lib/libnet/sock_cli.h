// Client connect: outgoing TCP connections, direct or through a proxy (HTTP
// CONNECT, SOCKS4/4a, SOCKS5), connected in 200 ms slices under the caller's
// time-out and cancelled by an abort descriptor; UDP senders; and the socket
// calls under the connection library's names. Used by the connections'
// net_open2, the daemon's instance check and the debug client. A connect
// returns the socket handle (descriptor + 1) or 0 with the error record set.
#pragma once

#include <cstdint>

#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"

struct verr;

// Proxy types.
constexpr uint32_t PROXY_TYPE_NONE   = 0;
constexpr uint32_t PROXY_TYPE_HTTP   = 1;
constexpr uint32_t PROXY_TYPE_SOCKS4 = 2;
constexpr uint32_t PROXY_TYPE_SOCKS5 = 3;

struct proxy_info {
    uint32_t type;
    char proto[32];  // "http", "socks4", "socks5" as the proxy file writes it
    char host[1024];
    uint32_t port;
    char user[4096];
    char pwd[4096];  // in clear
};

// Zeroed by the caller (sock_conn_opts o = {}), then filled.
struct sock_conn_opts {
    uint32_t timeout;   // connect time-out in ms
    uint32_t buf_size;  // not 0: receive and send buffer sizes
    uint32_t nowait;    // not 0: return as soon as the connect is under way
    proxy_info proxy;   // type 0: direct
    net_abort *abort;
};

os_socket sock_tcp_connect(const char *host, uint32_t port, sock_conn_opts *opts, verr *err);
// A datagram socket connected to host and port, or 0.
os_socket sock_udp_open(const char *host, uint32_t port, verr *err);
// Shuts down both directions and closes; 0.
int sock_close(os_socket sock);
// how as os_socket_kill; 0, or -1.
int sock_shutdown(os_socket sock, int how);

// The platform's socket and address calls under this library's names.
int64_t sock_send(os_socket sock, const void *data, uint64_t len);
int64_t sock_recv(os_socket sock, void *data, uint64_t len);
int64_t sock_urecv(os_socket sock, os_ipaddr *src, void *data, uint64_t len);
int64_t sock_usend(os_socket sock, const os_ipaddr *dst, const void *data, uint64_t len);
char *sock_ipaddr_cstr(const os_ipaddr *addr, char *data, size_t maxn);
char *sock_ipaddr_host_cstr(const os_ipaddr *addr, char *data, size_t maxn);
bool sock_ipaddr_copy(os_ipaddr *addr, const os_ipaddr *copied);
