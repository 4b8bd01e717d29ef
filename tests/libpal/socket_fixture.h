// Test helpers shared by the socket and connection suites: a socket that
// closes itself at the end of a test, and the loopback families to run over.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A plain socket of type (SOCK_STREAM, SOCK_DGRAM) bound to 127.0.0.1 on a
// port the kernel picks, its address in at; -1 on failure.
inline int bound_loopback(int type, sockaddr_in *at)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    *at = {};
    at->sin_family = AF_INET;
    at->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(*at);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(at), sizeof(*at)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(at), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

}  // namespace socktest
