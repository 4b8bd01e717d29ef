// UDP sender.
#define ZLOG_TAG "pal"

#include "libpal/os/os_udp.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "liblog/zlog.h"

namespace {

struct addrinfo_free {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

int fd_of(uint64_t handle)
{
    return static_cast<int>(handle) - 1;
}

}  // namespace

uint64_t os_udp_open(const char *host, int port)
{
    char service[16];
    snprintf(service, sizeof(service), "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host, service, &hints, &found);
    if (rc != 0) {
        // errno says nothing about a failed lookup unless the system call failed.
        if (rc != EAI_SYSTEM)
            errno = ENOENT;
        ZLOG(LOG2_DBG | LOG2_F_ERRNO, "failed to resolve name %s port %s error: ", host != nullptr ? host : "",
             service);
        return 0;
    }
    const std::unique_ptr<addrinfo, addrinfo_free> list(found);
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd < 0)
        return 0;
    if (connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        close(fd);
        return 0;
    }
    return static_cast<uint64_t>(fd) + 1;
}

int64_t os_udp_send(uint64_t handle, const void *data, size_t len)
{
    return send(fd_of(handle), data, len, MSG_NOSIGNAL);
}

int os_udp_close(uint64_t handle)
{
    return close(fd_of(handle));
}
