// Test helper: a plain TCP client of the debug shell stream protocol, which
// sends command lines and reads replies up to their NUL bytes. Used by the
// debug shell's own tests and by the end-to-end tests against the daemon.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "loopback_connect.h"

struct tcp_client {
    int fd = -1;

    explicit tcp_client(uint32_t port) : fd(loopback_connect(port)) {}
    ~tcp_client()
    {
        if (fd >= 0)
            close(fd);
    }
    tcp_client(const tcp_client &) = delete;
    tcp_client &operator=(const tcp_client &) = delete;

    bool send_all(const std::string &bytes)
    {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads until nuls NUL bytes have arrived, the peer closes or ms pass.
    std::string read_nuls(int nuls, int ms = 10000)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int seen = 0;
        while (seen < nuls) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char c;
            if (recv(fd, &c, 1, 0) != 1)
                break;
            got += c;
            if (c == '\0')
                seen++;
        }
        return got;
    }

    // True when the server closed the connection within ms (after any bytes).
    bool closed_within(int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[4096];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                return true;
        }
        return false;
    }
};
