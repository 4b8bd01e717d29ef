// Test helpers for the connection library: connected loopback socket pairs
// over IPv4 and IPv6, owned sockets, and a small peer thread that plays a
// scripted part on the far end.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"
#include "socket_fixture.h"

namespace nettest {

using socktest::FAMILIES;
using socktest::family_case;
using socktest::have_ipv6;
using socktest::owned;

// A listener on an ephemeral loopback port; *port receives the port.
inline os_socket listen_on(const char *ip, uint8_t family, uint32_t *port, int backlog = 16)
{
    os_socket s = os_socket_init(OS_SOCKET_TCP, family);
    os_ipaddr a = {};
    os_ipaddr bound = {};
    if (s == 0 || !os_ipaddr_set(&a, ip, 0, family) || !os_socket_bind(s, &a) || !os_socket_listen(s, backlog) ||
        !os_socket_local(s, &bound)) {
        ADD_FAILURE() << "listener on " << ip;
        return s;
    }
    *port = os_ipaddr_port(&bound);
    return s;
}

inline os_socket accept_wait(os_socket listener)
{
    for (int i = 0; i < 2000; i++) {
        os_socket s = os_socket_accept(listener, nullptr);
        if (s != 0)
            return s;
        os_socket_wait(listener, OS_SOCKET_WAIT_READ, 10);
    }
    return 0;
}

// A connected pair over loopback: a the client end, b the server end.
inline bool tcp_pair(const family_case &f, owned &a, owned &b)
{
    uint32_t port = 0;
    owned l(listen_on(f.loopback, f.family, &port));
    a.s = os_socket_init(OS_SOCKET_TCP, f.family);
    os_ipaddr to = {};
    os_ipaddr_set(&to, f.loopback, port, f.family);
    int c = os_socket_connect(a.s, &to);
    b.s = accept_wait(l.s);
    while (c == 0) {
        os_socket_wait(a.s, OS_SOCKET_WAIT_WRITE, 100);
        c = os_socket_connect(a.s, &to);
    }
    return c == 1 && b.s != 0;
}

// Makes c a socket connection over s (not owned).
inline void sock_conn(net_conn &c, os_socket s, int32_t timeout)
{
    c.type = NET_SOCK_TYPE;
    c.handle = s;
    c.timeout = timeout;
}

inline uint64_t now_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

inline void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace nettest
