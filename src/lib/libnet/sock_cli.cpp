// Client connect: resolve -> socket -> options -> connect in 200 ms slices
// under the caller's time-out, looking at the abort descriptor once a slice.
// A proxy in the options turns the call into the proxied connect.
#include "libnet/sock_cli.h"

#include <cerrno>
#include <cstring>

#include "libnet/net_verr.h"
#include "libnet/sock_proxy.h"
#include "libpal/basic/os_sync.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr int k_connect_slice_ms = 200;

// "connect %s " with the address and the system's reason, code from errno.
void connect_failed(verr *err, const os_ipaddr *addr)
{
    const int eno = errno;
    char text[OS_IPADDR_CSTR_MAXN] = "";
    os_ipaddr_cstr(addr, text, sizeof(text));
    NET_VERR(err, os_verr_get(eno), "connect %s %s", text, os_errno_text(eno));
}

bool abort_asked(const sock_conn_opts *opts)
{
    net_abort *a = opts->abort;
    return a != nullptr &&
           (a->stop.load() != 0 || (a->fn != nullptr && a->fn(a->arg, static_cast<int>(opts->timeout))));
}

os_socket sock_connect_imp(os_socket sock, const os_ipaddr *addr, const sock_conn_opts *opts, verr *err)
{
    const uint64_t start = os_tick_ms();
    for (;;) {
        const int c = os_socket_connect(sock, addr);
        if (c == 1)
            return sock;
        if (c < 0) {
            connect_failed(err, addr);
            break;
        }
        if (static_cast<int64_t>(os_tick_ms() - start) >= static_cast<int32_t>(opts->timeout)) {
            char text[OS_IPADDR_CSTR_MAXN] = "";
            os_ipaddr_cstr(addr, text, sizeof(text));
            NET_VERR(err, -1, "connect %s timeout", text);
            break;
        }
        if (abort_asked(opts)) {
            NET_VERR(err, -1, "User request stop");
            break;
        }
        const int w = os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, k_connect_slice_ms);
        if (w < 0) {
            connect_failed(err, addr);
            break;
        }
    }
    sock_close(sock);
    return 0;
}

}  // namespace

os_socket sock_tcp_connect(const char *host, uint32_t port, sock_conn_opts *opts, verr *err)
{
    PL_ASSERT_RET(host && opts, 0);
    if (opts->proxy.type != PROXY_TYPE_NONE)
        return proxy_tcp_connect(host, port, opts, err);
    os_ipaddr addr = {};
    if (!os_addrinfo_addr(host, &addr)) {
        NET_VERR(err, -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    if (!os_ipaddr_port_set(&addr, port)) {
        NET_VERR(err, -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&addr));
    if (sock == 0) {
        const int eno = errno;
        NET_VERR(err, os_verr_get(eno), "os_socket_init error: %s", os_errno_text(eno));
        return 0;
    }
    if (opts->buf_size != 0) {
        const int size = static_cast<int>(opts->buf_size);
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, size))
            ZLOG_WARN("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", size);
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, size))
            ZLOG_WARN("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", size);
    }
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        ZLOG_WARN("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    if (opts->nowait != 0) {
        if (os_socket_connect(sock, &addr) >= 0)
            return sock;
        sock_close(sock);
        return 0;
    }
    return sock_connect_imp(sock, &addr, opts, err);
}

os_socket sock_udp_open(const char *host, uint32_t port, verr *err)
{
    PL_ASSERT_RET(host!=NULL, 0);
    os_ipaddr addr = {};
    if (!os_addrinfo_addr(host, &addr) || !os_ipaddr_port_set(&addr, port)) {
        NET_VERR(err, -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    const os_socket sock = os_socket_init(OS_SOCKET_UDP, os_ipaddr_family(&addr));
    if (sock == 0)
        return 0;
    if (os_socket_connect(sock, &addr) < 0) {
        connect_failed(err, &addr);
        os_socket_exit(sock);
        return 0;
    }
    return sock;
}

int sock_close(os_socket sock)
{
    PL_ASSERT_RET(sock!=0, -1);
    os_socket_kill(sock, 2);
    os_socket_exit(sock);
    return 0;
}

int sock_shutdown(os_socket sock, int how)
{
    PL_ASSERT_RET(sock!=0, -1);
    return os_socket_kill(sock, how) ? 0 : -1;
}

int64_t sock_send(os_socket sock, const void *data, uint64_t len)
{
    return os_socket_send(sock, data, len);
}

int64_t sock_recv(os_socket sock, void *data, uint64_t len)
{
    return os_socket_recv(sock, data, len);
}

int64_t sock_urecv(os_socket sock, os_ipaddr *src, void *data, uint64_t len)
{
    return os_socket_urecv(sock, src, data, len);
}

int64_t sock_usend(os_socket sock, const os_ipaddr *dst, const void *data, uint64_t len)
{
    return os_socket_usend(sock, dst, data, len);
}

char *sock_ipaddr_cstr(const os_ipaddr *addr, char *data, size_t maxn)
{
    return os_ipaddr_cstr(addr, data, maxn);
}

char *sock_ipaddr_host_cstr(const os_ipaddr *addr, char *data, size_t maxn)
{
    return os_ipaddr_host_cstr(addr, data, maxn);
}

bool sock_ipaddr_copy(os_ipaddr *addr, const os_ipaddr *copied)
{
    return os_ipaddr_copy(addr, copied);
}
