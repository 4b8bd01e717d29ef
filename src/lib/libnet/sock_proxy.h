// Proxies: the proxied connect and the three handshakes run over a plain
// socket connection to the proxy, after which the socket is a tunnel to the
// target. Handshakes return 0, or -1 with the error record set; no byte
// beyond a proxy's answer is read, so the tunnel's first byte is the
// target's.
#pragma once

#include <cstdint>

#include "libnet/sock_cli.h"

// sock_tcp_connect through opts->proxy: the socket, or 0.
os_socket proxy_tcp_connect(const char *host, uint32_t port, sock_conn_opts *opts, verr *err);
int proxy_http_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err);
// SOCKS4, or SOCKS4a (the name sent to the proxy) for a name that resolves
// to 255.255.255.255.
int proxy_sock4_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err);
int proxy_sock5_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err);
