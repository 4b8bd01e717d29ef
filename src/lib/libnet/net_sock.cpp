// Socket transfers: move without waiting while the socket takes or gives
// bytes; wait when it would block, checking the stop state (and, for reads,
// the abort descriptor) before every wait. The time-out counts from the last
// byte moved, so a slow peer that keeps making progress is served to the
// end, and a silent one is given up after the time-out.
#include "libnet/libnet.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/network/os_socket.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

// The code -70 (cancelled) has no errno in the platform's map, which would
// give EPERM and a warning on every stop: ECANCELED says what happened.
void set_cancelled()
{
    errno = ECANCELED;
}

// The stop state, then the abort descriptor's stop word and callback.
bool stop_asked(const net_conn *conn, bool with_abort)
{
    if (conn->stop.load() != 0)
        return true;
    if (!with_abort || conn->abort == nullptr)
        return false;
    net_abort *a = conn->abort;
    return a->stop.load() != 0 || (a->fn != nullptr && a->fn(a->arg, conn->timeout));
}

// How long one readiness wait may sleep: what is left of limit_ms since
// since (negative: without end). The stop state needs no slice, as every
// stopper shuts the socket down after setting it, which ends the wait: an
// idle connection costs no wake-up at all. An abort descriptor has nothing
// that wakes the socket, so a read that watches one looks at it every slice.
int64_t wait_span(const net_conn *conn, int32_t limit_ms, uint64_t since, bool with_abort)
{
    int64_t span = -1;
    if (limit_ms >= 0)
        span = std::max<int64_t>(0, limit_ms - static_cast<int64_t>(os_tick_ms() - since));
    if (with_abort && conn->abort != nullptr)
        span = span < 0 ? NET_READ_SLICE_MS : std::min<int64_t>(span, NET_READ_SLICE_MS);
    return span;
}

bool expired(const net_conn *conn, uint64_t since)
{
    return conn->timeout >= 0 && os_tick_ms() - since >= static_cast<uint64_t>(conn->timeout);
}

// What tells a read from a write: the call that moves bytes, the readiness
// waited for, and whether the abort descriptor counts.
struct direction {
    int64_t (*move)(os_socket sock, uint8_t *p, uint64_t n);
    uint32_t wait_bit;
    bool is_write;
};

int64_t recv_some(os_socket sock, uint8_t *p, uint64_t n)
{
    return os_socket_recv(sock, p, n);
}

int64_t send_some(os_socket sock, uint8_t *p, uint64_t n)
{
    return os_socket_send(sock, p, n);
}

constexpr direction k_read = {recv_some, OS_SOCKET_WAIT_READ, false};
constexpr direction k_write = {send_some, OS_SOCKET_WAIT_WRITE, true};

// A write that fails or ends short leaves the stream out of step with the
// peer: the connection must not carry another message. A read's wait error
// hands back what came so far.
int32_t transfer(net_conn *conn, uint8_t *p, int32_t len, const direction &d)
{
    uint64_t since = os_tick_ms();
    if (conn->disconnected != 0) {
        ZLOG(d.is_write ? LOG2_DBG : LOG2_VERB, "_disconnect!!\n");
        return -1;
    }
    int32_t done = 0;
    while (done < len) {
        errno = 0;
        const int64_t r = d.move(conn->handle, p + done, static_cast<uint64_t>(len - done));
        if (r < 0) {
            const int eno = errno;
            if (d.is_write) {
                ZLOG_DBG("socket_send error [%d] [%s]\n", eno, os_errno_text(eno));
                conn->disconnected = 1;
            } else {
                ZLOG_DBG("socket_recv error [%d] [%s]\n", eno, os_errno_text(eno));
            }
            return -1;
        }
        if (r > 0) {
            done += static_cast<int32_t>(r);
            since = os_tick_ms();
            continue;
        }
        if (errno == 0) {
            conn->disconnected = 1;
            // The stopper's shutdown reads as the peer's close: said as the stop.
            if (stop_asked(conn, false)) {
                set_cancelled();
                return -1;
            }
            return done;
        }
        for (;;) {
            if (stop_asked(conn, !d.is_write)) {
                set_cancelled();
                return -1;
            }
            const int w = os_socket_wait(conn->handle, d.wait_bit, wait_span(conn, conn->timeout, since, !d.is_write));
            if (w < 0) {
                const int eno = errno;
                ZLOG_DBG("socket_wait error [%d] [%s]\n", eno, os_errno_text(eno));
                if (!d.is_write)
                    return done;
                conn->disconnected = 1;
                return -1;
            }
            if (w != 0)
                break;
            if (expired(conn, since)) {
                if (d.is_write) {
                    ZLOG_DBG("write timeout");
                    conn->disconnected = 1;
                }
                return done;
            }
        }
    }
    return done;
}

// A socket without a TLS layer: only its bytes can be moved or waited for
// directly.
bool plain_socket(const net_conn *conn)
{
    return (conn->type == NET_SOCK_TYPE || conn->type == NET_SOCK2_TYPE) && conn->ssl == nullptr;
}

}  // namespace

int32_t net_sock_read(net_conn *conn, void *buf, int32_t len)
{
    PL_ASSERT_RET(conn && buf && len >= 0, -1);
    return transfer(conn, static_cast<uint8_t *>(buf), len, k_read);
}

int32_t net_sock_write(net_conn *conn, const void *buf, int32_t len)
{
    PL_ASSERT_RET(conn && buf && len >= 0, -1);
    // The bytes are only sent, never written through this pointer.
    return transfer(conn, static_cast<uint8_t *>(const_cast<void *>(buf)), len, k_write);
}

int32_t net_writev(net_conn *conn, const iovec *iov, int n)
{
    PL_ASSERT_RET(conn && (iov || n == 0) && n >= 0, -1);
    int64_t total = 0;
    for (int i = 0; i < n; i++)
        total += static_cast<int64_t>(iov[i].iov_len);
    PL_ASSERT_RET(total <= INT32_MAX, -1);
    int64_t sent = 0;
    if (plain_socket(conn) && conn->disconnected == 0 && conn->stop.load() == 0 && total > 0) {
        errno = 0;
        sent = os_socket_sendv(conn->handle, iov, n);
        if (sent < 0) {
            const int eno = errno;
            ZLOG_DBG("socket_send error [%d] [%s]\n", eno, os_errno_text(eno));
            conn->disconnected = 1;
            return -1;
        }
    }
    // What the socket did not take at once follows piece by piece, with the
    // waits, time-out and stop state of net_write.
    for (int i = 0; i < n; i++) {
        const auto len = static_cast<int64_t>(iov[i].iov_len);
        if (sent >= len) {
            sent -= len;
            continue;
        }
        const auto *base = static_cast<const uint8_t *>(iov[i].iov_base) + sent;
        const auto rest = static_cast<int32_t>(len - sent);
        if (net_write(conn, base, rest) != rest)
            return -1;
        sent = 0;
    }
    return static_cast<int32_t>(total);
}

int32_t net_read_avail(net_conn *conn, void *buf, int32_t len)
{
    PL_ASSERT_RET(conn && buf && len >= 0, -1);
    if (!plain_socket(conn))
        return net_read(conn, buf, len);
    if (conn->disconnected != 0)
        return -1;
    if (stop_asked(conn, true)) {
        set_cancelled();
        return -1;
    }
    if (len == 0)
        return 0;
    errno = 0;
    const int64_t r = os_socket_recv(conn->handle, buf, static_cast<uint64_t>(len));
    if (r > 0)
        return static_cast<int32_t>(r);
    if (r == 0 && errno != 0)
        return 0;  // nothing there yet
    if (r == 0)
        conn->disconnected = 1;
    else
        ZLOG_DBG("socket_recv error [%d] [%s]\n", errno, os_errno_text(errno));
    return -1;
}

int net_wait_readable(net_conn *conn, int32_t ms)
{
    PL_ASSERT_RET(conn!=NULL, -1);
    if (!plain_socket(conn))
        return 1;
    const uint64_t since = os_tick_ms();
    for (;;) {
        if (stop_asked(conn, true)) {
            set_cancelled();
            return -1;
        }
        if (os_socket_wait(conn->handle, OS_SOCKET_WAIT_READ, wait_span(conn, ms, since, true)) != 0)
            return 1;
        if (ms >= 0 && os_tick_ms() - since >= static_cast<uint64_t>(ms))
            return 0;
    }
}
