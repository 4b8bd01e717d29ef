// Readers and writers built on net_read and net_write: one byte, a line, a
// NUL-ended text, a first byte under a different time-out, formatted text.
#include <cstdarg>
#include <cstring>

#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t k_printf_size = 8192;

// A read that brought no byte is only a pause on a live socket or serial
// port; on any other transport, or once the peer closed, the data ended.
bool is_pause(const net_conn *conn)
{
    const bool waits = conn->type == NET_SOCK_TYPE || conn->type == NET_SOCK2_TYPE || conn->type == NET_SERIAL_TYPE;
    return waits && conn->disconnected == 0;
}

// The text up to an end byte (LF when lf_ends, NUL always). A pause inside
// the text waits on: a fragment is never handed on as if it were whole.
int read_text(net_conn *conn, char *buf, int size, bool lf_ends)
{
    PL_ASSERT_RET(conn && buf && size > 0, -1);
    buf[0] = '\0';
    if (conn->type == NET_PIPE_SRV_TYPE) {
        auto *srv = reinterpret_cast<os_name_pipe_srv *>(static_cast<uintptr_t>(conn->handle));
        if (!os_name_pipe_srv_check_connect(srv))
            return 0;
    }
    int got = 0;
    int c = net_getc(conn, &got);
    if (c < 0)
        return -1;
    if (got == 0)
        return 0;
    if (c == 0 || (lf_ends && c == '\n'))
        return 1;
    int n = 0;
    bool overflow = false;
    for (;;) {
        if (got != 0) {
            if (c == 0 || (lf_ends && c == '\n'))
                break;
            if (n < size - 1)
                buf[n++] = static_cast<char>(c);
            else
                overflow = true;
        } else if (!is_pause(conn)) {
            buf[0] = '\0';
            return -1;
        } else if (conn->timeout == 0) {
            // A connection that only looks would spin here until the line ends.
            const uint64_t fd = conn->type == NET_SERIAL_TYPE ? conn->handle : conn->handle - 1;
            os_socket_wait_impl(static_cast<int>(fd), OS_SOCKET_WAIT_READ, NET_READ_SLICE_MS);
        }
        c = net_getc(conn, &got);
        if (c < 0) {
            buf[0] = '\0';
            return -1;
        }
    }
    buf[overflow ? 0 : n] = '\0';
    if (overflow)
        return -1;
    str_del_chr(buf, '\r');
    return static_cast<int>(strlen(buf));
}

}  // namespace

int net_getc(net_conn *conn, int *got)
{
    PL_ASSERT_RET(got!=NULL, -1);
    *got = 0;
    uint8_t byte = 0;
    const int32_t r = net_read(conn, &byte, 1);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    *got = 1;
    return byte;
}

int32_t net_put_nul(net_conn *conn)
{
    const char nul = '\0';
    return net_write(conn, &nul, 1);
}

int32_t net_read_timeout(net_conn *conn, void *buf, int32_t len, int32_t timeout_ms)
{
    if (len == 0)
        return 0;
    PL_ASSERT_RET(conn && buf && len > 0, -1);
    int got = 0;
    const int c = net_getc(conn, &got);
    if (c < 0)
        return -1;
    if (got == 0)
        return 0;
    auto *p = static_cast<uint8_t *>(buf);
    p[0] = static_cast<uint8_t>(c);
    if (len == 1)
        return 1;
    const int32_t saved = conn->timeout;
    conn->timeout = timeout_ms;
    const int32_t r = net_read(conn, p + 1, len - 1);
    conn->timeout = saved;
    return r < 0 ? -1 : r + 1;
}

int net_gets(net_conn *conn, char *buf, int size)
{
    return read_text(conn, buf, size, true);
}

int net_read_str(net_conn *conn, char *buf, int size)
{
    return read_text(conn, buf, size, false);
}

int32_t net_printf(net_conn *conn, const char *fmt, ...)
{
    char text[k_printf_size];
    va_list ap;
    va_start(ap, fmt);
    const int n = str_vsprintf_s2(text, sizeof(text), fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    return net_write(conn, text, static_cast<int32_t>(strlen(text)));
}
