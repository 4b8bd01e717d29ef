// UDP sender: one connected datagram socket to a host and port, for the
// binary-record network sink. A handle is the descriptor + 1; 0 is none.
#pragma once

#include <cstddef>
#include <cstdint>

// Resolves host and port for datagram sockets of any family and connects a
// socket to the first address only. 0 when resolution (logged), creation or
// connection fails.
uint64_t os_udp_open(const char *host, int port);
// send's result: bytes sent or -1 (always -1 for handle 0).
int64_t os_udp_send(uint64_t handle, const void *data, size_t len);
// close's result.
int os_udp_close(uint64_t handle);
