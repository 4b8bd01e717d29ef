// Test helpers shared by the socket and connection suites: a socket that
// closes itself at the end of a test, and the loopback families to run over.
#pragma once

#include "libpal/network/os_ipaddr.h"
#include "libpal/network/os_socket.h"

namespace socktest {

// Closes its socket at the end of the test.
struct owned {
    os_socket s = 0;
    owned() = default;
    explicit owned(os_socket sock) : s(sock) {}
    owned(const owned &) = delete;
    owned &operator=(const owned &) = delete;
    owned(owned &&other) noexcept : s(other.release()) {}
    ~owned() { reset(); }
    void reset()
    {
        if (s != 0)
            os_socket_exit(s);
        s = 0;
    }
    os_socket release()
    {
        os_socket r = s;
        s = 0;
        return r;
    }
};

// Some build machines have no IPv6 loopback: the IPv6 rows skip there.
inline bool have_ipv6()
{
    owned s(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV6));
    os_ipaddr a = {};
    return s.s != 0 && os_ipaddr_set(&a, "::1", 0, OS_IPADDR_FAMILY_IPV6) && os_socket_bind(s.s, &a);
}

struct family_case {
    const char *loopback;
    uint8_t family;
};
inline constexpr family_case FAMILIES[] = {{"127.0.0.1", OS_IPADDR_FAMILY_IPV4}, {"::1", OS_IPADDR_FAMILY_IPV6}};

}  // namespace socktest
