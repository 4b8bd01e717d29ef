// Whole-message transfers over a session's connection, shared by the
// handshake and the transmission phase. Every read goes through the
// session's receive buffer first: one receive takes whatever the client has
// already queued, so pipelined requests are served without a wait between
// them. Each returns true only when every byte moved; a short count means
// the session cannot go on.
#pragma once

#include <cstdint>

struct iovec;
struct nbd_client;

bool nbd_read_all(nbd_client *client, void *buf, uint32_t len);
// Reads len bytes and drops them.
bool nbd_discard(nbd_client *client, uint64_t len);
// The pieces leave in one system call when the socket takes them.
bool nbd_write_iov(nbd_client *client, const iovec *iov, int n);
bool nbd_write_all(nbd_client *client, const void *buf, uint32_t len);

// The next request's 28 bytes. Waits without end for its first byte (an idle
// client is kept), then at most the connection's time-out for the rest.
// Before the blocking wait the socket is looked at without blocking for a
// window of tens of microseconds, when nbd_spin_due says so.
enum class nbd_head_read {
    ok,
    ended,  // failure, peer gone or the stop state
    short_read,  // part of a request came, then nothing within the time-out
};
// Whether to look for the next request for the window before blocking, late
// being the session's count of requests in a row that came after the window:
// always for a client that keeps up (late 0), rarely for one that does not.
bool nbd_spin_due(uint32_t late);
nbd_head_read nbd_read_head(nbd_client *client, uint8_t *head, int32_t *got);
