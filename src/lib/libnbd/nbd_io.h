// Whole-message transfers over a session's connection, shared by the
// handshake and the transmission phase. Each returns true only when every
// byte moved; a short count means the session cannot go on.
#pragma once

#include <cstdint>

struct iovec;
struct nbd_client;

bool nbd_read_all(nbd_client *client, void *buf, uint32_t len);
// Reads len bytes and drops them, through buf of size bytes.
bool nbd_discard(nbd_client *client, uint64_t len, void *buf, uint32_t size);
// The pieces leave in one system call when the socket takes them; whatever
// remains follows through net_write (its waits, time-out and stop state).
bool nbd_write_iov(nbd_client *client, const iovec *iov, int n);
bool nbd_write_all(nbd_client *client, const void *buf, uint32_t len);
