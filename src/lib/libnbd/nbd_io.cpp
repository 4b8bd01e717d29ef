#include "libnbd/nbd_io.h"

#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_proto.h"

namespace {

// How long a session looks for its client's next request before it blocks.
// It covers a prompt client's turn-around after a reply (fio with one request
// in flight on loopback: mostly 15 to 30 us, 97 % within 50 us) and stays
// below what waking a halted CPU costs under a hypervisor (about 60 us); a
// request that misses it pays both.
constexpr std::chrono::microseconds k_spin_window{50};

// A late client is looked for again after 1, 2, 4 ... late requests, then
// after every this many: one whose pace changed is soon served at once
// again, and one that always comes late costs a window only that rarely.
constexpr uint32_t k_spin_probe_every = 64;

uint32_t rx_avail(const nbd_client *client)
{
    return client->rx_end - client->rx_off;
}

// Copies up to len buffered bytes out; the count taken.
uint32_t rx_take(nbd_client *client, void *buf, uint32_t len)
{
    const uint32_t n = std::min(len, rx_avail(client));
    if (n > 0 && buf != nullptr) {
        memcpy(buf, client->rx + client->rx_off, n);
    }
    client->rx_off += n;
    return n;
}

// Receives what the socket holds into the buffer's free end: the count, 0
// when nothing is there yet, -1 when the session must end.
int32_t rx_receive(nbd_client *client)
{
    return net_read_avail(&client->conn, client->rx + client->rx_end,
                          static_cast<int32_t>(NBD_RX_SIZE - client->rx_end));
}

// Looks for bytes without blocking until some come or the window closes.
// A client that answers each reply at once has its next request here before
// the session's CPU could fall asleep, which would cost more than the
// request itself to wake. Between looks the CPU is offered to any thread
// waiting for it: on a busy machine the client that the reply woke may be
// queued behind this very session, and would otherwise wait out the window.
int32_t rx_spin(nbd_client *client)
{
    // The clock is read only once a look found nothing: a client that keeps
    // up has its request there at the first look.
    int32_t n = rx_receive(client);
    if (n != 0) {
        return n;
    }
    const auto end = std::chrono::steady_clock::now() + k_spin_window;
    for (;;) {
        std::this_thread::yield();
        n = rx_receive(client);
        if (n != 0 || std::chrono::steady_clock::now() >= end) {
            return n;
        }
    }
}

// Fills the buffer's free end. When spin is set, the socket is looked at
// first, for up to the spin window; otherwise (or when that finds nothing)
// waited for, which costs no receive that finds nothing. wait_ms bounds
// each wait (negative: none). The count received, 0 when the wait ran out,
// -1 when the session must end.
int32_t rx_refill(nbd_client *client, int32_t wait_ms, bool spin, bool *waited)
{
    if (client->rx_off == client->rx_end) {
        client->rx_off = client->rx_end = 0;
    } else if (client->rx_off > 0) {
        const uint32_t n = rx_avail(client);
        memmove(client->rx, client->rx + client->rx_off, n);
        client->rx_off = 0;
        client->rx_end = n;
    }
    int32_t n = spin ? rx_spin(client) : 0;
    while (n == 0) {
        *waited = true;
        const int w = net_wait_readable(&client->conn, wait_ms);
        if (w <= 0) {
            return w;
        }
        n = rx_receive(client);
    }
    if (n > 0) {
        client->rx_end += static_cast<uint32_t>(n);
    }
    return n;
}

}  // namespace

bool nbd_spin_due(uint32_t late)
{
    return late < k_spin_probe_every ? (late & (late - 1)) == 0 : late % k_spin_probe_every == 0;
}

nbd_head_read nbd_read_head(nbd_client *client, uint8_t *head, int32_t *got)
{
    bool waited = false;
    while (rx_avail(client) < NBD_REQUEST_SIZE) {
        // Between requests the wait has no end; inside one, the time-out.
        const int32_t limit = rx_avail(client) == 0 ? -1 : client->conn.timeout;
        const int32_t n = rx_refill(client, limit, !waited && nbd_spin_due(client->rx_late), &waited);
        if (n < 0) {
            *got = -1;
            return nbd_head_read::ended;
        }
        if (n == 0) {
            *got = static_cast<int32_t>(rx_avail(client));
            return nbd_head_read::short_read;
        }
    }
    client->rx_late = waited ? client->rx_late + 1 : 0;
    rx_take(client, head, NBD_REQUEST_SIZE);
    *got = NBD_REQUEST_SIZE;
    return nbd_head_read::ok;
}

bool nbd_read_all(nbd_client *client, void *buf, uint32_t len)
{
    const uint32_t taken = rx_take(client, buf, len);
    if (taken == len) {
        return true;
    }
    // The rest of a large payload goes straight to its buffer.
    const auto rest = static_cast<int32_t>(len - taken);
    return net_read(&client->conn, static_cast<uint8_t *>(buf) + taken, rest) == rest;
}

bool nbd_discard(nbd_client *client, uint64_t len)
{
    len -= rx_take(client, nullptr, static_cast<uint32_t>(std::min<uint64_t>(len, UINT32_MAX)));
    // Whatever remains is not buffered yet: the empty receive buffer serves
    // as the scrap it is read into.
    while (len > 0) {
        const auto piece = static_cast<int32_t>(std::min<uint64_t>(len, NBD_RX_SIZE));
        if (net_read(&client->conn, client->rx, piece) != piece) {
            return false;
        }
        len -= static_cast<uint64_t>(piece);
    }
    return true;
}

bool nbd_write_all(nbd_client *client, const void *buf, uint32_t len)
{
    return net_write(&client->conn, buf, static_cast<int32_t>(len)) == static_cast<int32_t>(len);
}

bool nbd_write_iov(nbd_client *client, const iovec *iov, int n)
{
    return net_writev(&client->conn, iov, n) >= 0;
}
