// Servers: address list -> one bound socket per address -> registered with
// the event thread's poller under the server object. Single listeners and
// the accept-one server stand beside them.
#include "libnet/sock_srv.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "libnet/sock_cli.h"
#include "libnet/sock_event.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/network/os_poller.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr uint32_t k_ev_edge = 0x10;  // as sock_event.cpp asks for it
constexpr size_t k_field_size = 512;

struct buffer_ctrl {
    uint64_t get;
    uint64_t set;
    const char *name;
    const char *autotune;  // the kernel's "min default max" sizes for TCP
};

constexpr buffer_ctrl k_recv_buffer = {OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE,
                                       "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE", "/proc/sys/net/ipv4/tcp_rmem"};
constexpr buffer_ctrl k_send_buffer = {OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE,
                                       "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE", "/proc/sys/net/ipv4/tcp_wmem"};

// The largest buffer the kernel's autotuning grows a TCP socket to; 0 when
// it cannot be read.
int64_t autotune_ceiling(const char *path)
{
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return 0;
    long long low = 0, def = 0, high = 0;
    const bool ok = fscanf(f, "%lld %lld %lld", &low, &def, &high) == 3;
    fclose(f);
    return ok ? high : 0;
}

// A size asked for is a floor. Setting one switches Linux's autotuning off
// for the socket and for every socket it accepts, which would cap each
// connection's window at that size: so it is set only where the kernel
// would not reach it by itself, from its default or by growing the buffer.
void raise_buffer(os_socket sock, const buffer_ctrl &c, uint32_t size)
{
    int64_t current = 0;
    if (size == 0 || (os_socket_ctrl(sock, c.get, &current) && current >= static_cast<int64_t>(size)))
        return;
    if (autotune_ceiling(c.autotune) >= static_cast<int64_t>(size))
        return;
    if (!os_socket_ctrl(sock, c.set, static_cast<int>(size)))
        ZLOG_WARN("%s %d error\n", c.name, static_cast<int>(size));
}

void set_buffers(os_socket sock, uint32_t recv_size, uint32_t send_size)
{
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        ZLOG_WARN("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    raise_buffer(sock, k_recv_buffer, recv_size);
    raise_buffer(sock, k_send_buffer, send_size);
}

uint32_t local_port(os_socket sock)
{
    os_ipaddr local = {};
    return os_socket_local(sock, &local) ? os_ipaddr_port(&local) : 0;
}

os_socket bind_tcp(const os_ipaddr *addr, const char *text, uint32_t port, sock_srv_param *param)
{
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(addr));
    if (sock == 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "socket_init [%s]:%d error: ", text, static_cast<int>(port));
        return 0;
    }
    if (param->reuse != 0)
        os_socket_reuse_addr_port(sock);
    set_buffers(sock, param->recv_buf_size, param->send_buf_size);
    if (!os_socket_bind(sock, addr)) {
        // An address family the host lacks ("::" without IPv6) passes quietly.
        ZLOG(LOG2_VERB | LOG2_F_ERRNO, "socket_bind port %s:%d error: ", text, static_cast<int>(port));
        os_socket_exit(sock);
        return 0;
    }
    if (!os_socket_listen(sock, param->backlog)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "socket_listen error: ");
        os_socket_exit(sock);
        return 0;
    }
    param->bind_port = local_port(sock);
    return sock;
}

os_socket bind_udp(const os_ipaddr *addr, const char *text, uint32_t port, sock_udp_param *param)
{
    const os_socket sock = os_socket_init(OS_SOCKET_UDP, os_ipaddr_family(addr));
    if (sock == 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "socket_init [%s]:%d error: ", text, static_cast<int>(port));
        return 0;
    }
    ZLOG_DBG("bind %s server on [%s]:%d\n", param->name != nullptr ? param->name : "", text, static_cast<int>(port));
    if (!os_socket_bind(sock, addr)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "socket_bind port [%s]:%d error: ", text, static_cast<int>(port));
        os_socket_exit(sock);
        return 0;
    }
    if (port == 0)
        param->bind_port = local_port(sock);
    return sock;
}

uint32_t bound_port(uint32_t kind, const void *param)
{
    return kind == SOCKET_TYPE_TCP ? static_cast<const sock_srv_param *>(param)->bind_port
                                   : static_cast<const sock_udp_param *>(param)->bind_port;
}

// Binds one address and registers it; false when it did not bind.
bool add_address(sock_server *srv, const char *text, uint32_t port, uint32_t kind, void *param,
                 uint32_t events)
{
    const os_socket sock = sock_bind(text, port, kind, param);
    if (sock == 0)
        return false;
    const os_poller_object obj{OS_POLLER_OBJECT_SOCKET, sock};
    if (!os_poller_insert(sock_env_poller(), &obj, events, srv)) {
        ZLOG_CRIT("os_poller_insert_sock failed\n");
        os_socket_exit(sock);
        return false;
    }
    srv->sockets[srv->count++] = sock;
    return true;
}

}  // namespace

os_socket sock_bind(const char *addr, uint32_t port, uint32_t kind, void *param)
{
    PL_ASSERT_RET(addr && param, 0);
    // 65535 is a port like any other; only a value no port can hold is a
    // caller's fault.
    if (port > 0xffff) {
        ZLOG_ERR("expr[%s]: assert failed\n", "port>-1 && port<=0xffff");
        assert_dump_stack();
    }
    os_ipaddr ip = {};
    if (!os_ipaddr_set(&ip, addr, port, 0)) {
        ZLOG_ERR("addr[%s]:%d error\n", addr, static_cast<int>(port));
        return 0;
    }
    if (kind == SOCKET_TYPE_TCP)
        return bind_tcp(&ip, addr, port, static_cast<sock_srv_param *>(param));
    return bind_udp(&ip, addr, port, static_cast<sock_udp_param *>(param));
}

sock_server *sock_server_init_imp(const char *addrs, uint32_t port, uint32_t kind, void *param)
{
    PL_ASSERT_RET(param!=NULL, nullptr);
    PL_ASSERT_RET(kind == SOCKET_TYPE_TCP || kind == SOCKET_TYPE_UDP, nullptr);
    sock_env_init();
    auto *srv = static_cast<sock_server *>(os_zalloc(sizeof(sock_server)));
    if (srv == nullptr)
        return nullptr;
    srv->kind = kind;
    const char *name = nullptr;
    if (kind == SOCKET_TYPE_TCP) {
        auto *p = static_cast<sock_srv_param *>(param);
        name = p->name;
        srv->callback = reinterpret_cast<void *>(p->accept_proc);
        srv->work_proc = p->work_proc;
        srv->udata = p->udata;
    } else {
        auto *p = static_cast<sock_udp_param *>(param);
        name = p->name;
        srv->callback = reinterpret_cast<void *>(p->proc);
        srv->udata = p->udata;
    }
    str_safecopy2(srv->name, sizeof(srv->name), name != nullptr ? name : "");
    os_poller *poller = sock_env_poller();
    uint32_t events = OS_POLLER_EV_READ;
    if (os_poller_support(poller, k_ev_edge))
        events |= k_ev_edge;

    if (addrs != nullptr && addrs[0] != '\0') {
        uint32_t use_port = port;
        char field[k_field_size];
        for (int i = 0; i < SOCK_SERVER_MAX; i++) {
            if (str_get_field(addrs, ";,", i, field, sizeof(field)) == nullptr)
                break;
            if (field[0] == '\0')
                continue;
            if (add_address(srv, field, use_port, kind, param, events) && use_port == 0)
                use_port = bound_port(kind, param);
        }
    } else {
        add_address(srv, "0.0.0.0", port, kind, param, events);
        add_address(srv, "::", port, kind, param, events);
    }
    os_poller_spak(poller);
    if (srv->count == 0) {
        os_free(srv);
        return nullptr;
    }
    return srv;
}

sock_server *sock_tcp_server(const char *addrs, uint32_t port, sock_srv_param *param)
{
    return sock_server_init_imp(addrs, port, SOCKET_TYPE_TCP, param);
}

sock_server *sock_udp_server(const char *addrs, uint32_t port, sock_udp_param *param)
{
    return sock_server_init_imp(addrs, port, SOCKET_TYPE_UDP, param);
}

int sock_server_close(sock_server *srv)
{
    PL_ASSERT_RET(srv!=NULL, -1);
    os_poller *poller = sock_env_poller();
    for (int i = 0; i < srv->count && poller != nullptr; i++) {
        const os_poller_object obj{OS_POLLER_OBJECT_SOCKET, srv->sockets[i]};
        os_poller_remove(poller, &obj);
    }
    // Closed only once no wait holds them, so the ports are free on return.
    sock_env_sync();
    for (int i = 0; i < srv->count; i++)
        os_socket_exit(srv->sockets[i]);
    os_free(srv);
    return 0;
}

int sock_server_exit(sock_server *srv)
{
    return sock_server_close(srv);
}

os_socket sock_server_get_sock(sock_server *srv)
{
    PL_ASSERT_RET(srv!=NULL, 0);
    return srv->count > 0 ? srv->sockets[0] : 0;
}

os_socket sock_server2(const char *ip, uint32_t port, uint32_t *bound, uint32_t reuse, uint32_t buf_size,
                       int backlog)
{
    PL_ASSERT_RET(ip!=NULL, 0);
    os_ipaddr addr = {};
    if (!os_ipaddr_set(&addr, ip, port, OS_IPADDR_FAMILY_IPV4)) {
        ZLOG_ERR("addr[%s]:%d error\n", ip, static_cast<int>(port));
        return 0;
    }
    const os_socket sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4);
    if (sock == 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_socket_init error: ");
        return 0;
    }
    if (reuse != 0)
        os_socket_reuse_addr_port(sock);
    set_buffers(sock, buf_size, buf_size);
    if (!os_socket_bind(sock, &addr)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_socket_bind port %d error: ", static_cast<int>(port));
        os_socket_exit(sock);
        return 0;
    }
    if (bound != nullptr && port == 0)
        *bound = local_port(sock);
    if (!os_socket_listen(sock, backlog)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_socket_listen error: ");
        os_socket_exit(sock);
        return 0;
    }
    return sock;
}

os_socket sock_tcp_listen(const char *ip, uint32_t port, uint32_t reuse, uint32_t buf_size, int backlog)
{
    return sock_server2(ip, port, nullptr, reuse, buf_size, backlog);
}

int sock_wait_srv_accept(os_socket sock, os_ipaddr *peer, void *udata)
{
    (void)peer;
    auto *ws = static_cast<sock_wait_srv *>(udata);
    os_socket none = 0;
    ws->sock.compare_exchange_strong(none, sock);
    os_cond_signal(ws->cond);
    return 0;
}

sock_wait_srv *sock_wait_srv_init_range(const char *addrs, uint32_t low, uint32_t high, sock_srv_param *param)
{
    PL_ASSERT_RET(param!=NULL, nullptr);
    if (low != 0 && low == high)
        return nullptr;
    void *mem = os_zalloc(sizeof(sock_wait_srv));
    if (mem == nullptr)
        return nullptr;
    auto *ws = new (mem) sock_wait_srv{};
    ws->cond = os_cond_new();
    if (ws->cond == nullptr) {
        sock_wait_srv_exit(ws);
        return nullptr;
    }
    param->accept_proc = sock_wait_srv_accept;
    param->udata = ws;
    if (low == 0 || low > high) {
        ws->srv = sock_tcp_server(addrs, 0, param);
    } else {
        for (uint32_t port = low; port < high && ws->srv == nullptr; port++)
            ws->srv = sock_tcp_server(addrs, port, param);
    }
    if (ws->srv == nullptr) {
        sock_wait_srv_exit(ws);
        return nullptr;
    }
    return ws;
}

sock_wait_srv *sock_wait_srv_init(const char *addrs, uint32_t port, sock_srv_param *param)
{
    return port == 0 ? sock_wait_srv_init_range(addrs, 0, 0, param)
                     : sock_wait_srv_init_range(addrs, port, port + 1, param);
}

os_socket sock_wait_srv_get(sock_wait_srv *ws, int n)
{
    PL_ASSERT_RET(ws!=NULL, 0);
    for (int i = 0; i < n; i++) {
        const os_socket sock = ws->sock.load();
        if (sock != 0)
            return sock;
        os_cond_wait(ws->cond, 1);
    }
    return ws->sock.load();
}

int sock_wait_srv_exit(sock_wait_srv *ws)
{
    PL_ASSERT_RET(ws!=NULL, -1);
    if (ws->srv != nullptr)
        sock_server_close(ws->srv);
    if (ws->cond != nullptr)
        os_cond_free(ws->cond);
    ws->~sock_wait_srv();
    os_free(ws);
    return 0;
}
