// Test helper: a loopback TCP port bound and not listening while the object
// lives. No other process can take it and it refuses every connection: the
// port to name where nothing may answer. A port picked free and released is
// anybody's, so a start on one goes through a retry (see free_port).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

class held_port {
public:
    held_port()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    held_port(const held_port &) = delete;
    held_port &operator=(const held_port &) = delete;
    ~held_port()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    uint32_t port = 0;

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// A port free when picked, for a start that tries again on a new one when
// another process takes it first.
inline uint32_t free_port()
{
    return held_port().port;
}
