#include "libnbd/nbd_io.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_proto.h"

namespace {

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

// Receives what the socket holds into the buffer's free end. A client that
// has been sending without pauses is looked at first (its next request is
// usually there); any other is waited for first, which costs no receive
// that finds nothing. wait_ms bounds each wait (negative: none). The count
// received, 0 when the wait ran out, -1 when the session must end.
int32_t rx_refill(nbd_client *client, int32_t wait_ms, bool *waited)
{
    if (client->rx_off == client->rx_end) {
        client->rx_off = client->rx_end = 0;
    } else if (client->rx_off > 0) {
        const uint32_t n = rx_avail(client);
        memmove(client->rx, client->rx + client->rx_off, n);
        client->rx_off = 0;
        client->rx_end = n;
    }
    net_conn *nc = &client->conn;
    bool look = client->rx_busy;
    for (;;) {
        if (!look) {
            *waited = true;
            const int w = net_wait_readable(nc, wait_ms);
            if (w <= 0) {
                return w;
            }
        }
        look = false;
        const int32_t n = net_read_avail(nc, client->rx + client->rx_end, static_cast<int32_t>(NBD_RX_SIZE - client->rx_end));
        if (n != 0) {
            if (n > 0) {
                client->rx_end += static_cast<uint32_t>(n);
            }
            return n;
        }
    }
}

}  // namespace

nbd_head_read nbd_read_head(nbd_client *client, uint8_t *head, int32_t *got)
{
    bool waited = false;
    while (rx_avail(client) < NBD_REQUEST_SIZE) {
        // Between requests the wait has no end; inside one, the time-out.
        const int32_t limit = rx_avail(client) == 0 ? -1 : client->conn.timeout;
        const int32_t n = rx_refill(client, limit, &waited);
        if (n < 0) {
            *got = -1;
            return nbd_head_read::ended;
        }
        if (n == 0) {
            *got = static_cast<int32_t>(rx_avail(client));
            return nbd_head_read::short_read;
        }
    }
    client->rx_busy = !waited;
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
