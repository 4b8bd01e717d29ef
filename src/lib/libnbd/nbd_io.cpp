#include "libnbd/nbd_io.h"

#include <sys/uio.h>

#include <algorithm>

#include "libnbd/cli_mgr.h"

bool nbd_read_all(nbd_client *client, void *buf, uint32_t len)
{
    return net_read(&client->conn, buf, static_cast<int32_t>(len)) == static_cast<int32_t>(len);
}

bool nbd_discard(nbd_client *client, uint64_t len, void *buf, uint32_t size)
{
    while (len > 0) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(len, size));
        if (!nbd_read_all(client, buf, piece)) {
            return false;
        }
        len -= piece;
    }
    return true;
}

bool nbd_write_all(nbd_client *client, const void *buf, uint32_t len)
{
    return net_write(&client->conn, buf, static_cast<int32_t>(len)) == static_cast<int32_t>(len);
}

bool nbd_write_iov(nbd_client *client, const iovec *iov, int n)
{
    net_conn *nc = &client->conn;
    int64_t sent = 0;
    // Only a plain socket can take the pieces in one call; a connection with
    // a TLS layer or another carrier goes piece by piece.
    if (nc->type <= 1 && nc->ssl == nullptr && nc->disconnected == 0) {
        sent = os_socket_sendv(nc->handle, iov, n);
        if (sent < 0) {
            return false;
        }
    }
    for (int i = 0; i < n; i++) {
        const auto len = static_cast<int64_t>(iov[i].iov_len);
        if (sent >= len) {
            sent -= len;
            continue;
        }
        const auto *base = static_cast<const uint8_t *>(iov[i].iov_base) + sent;
        if (!nbd_write_all(client, base, static_cast<uint32_t>(len - sent))) {
            return false;
        }
        sent = 0;
    }
    return true;
}
