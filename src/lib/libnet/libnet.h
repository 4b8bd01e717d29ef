// Connections: net_conn is the one object through which every byte stream of
// the system is read and written (NBD clients, debug shell sessions, the debug
// client, web requests, proxy handshakes), whatever carries the bytes: a
// socket, the standard streams, a named pipe, a serial port or a memory
// buffer. Another thread stops a transfer in progress through the stop state
// (on a socket, set and then followed by a shutdown of the socket, which
// wakes a waiting transfer) or the abort descriptor. Counts and lengths are
// signed 32 bits; -1 is an error. Log tag "net".
#pragma once

#include <atomic>
#include <cstdint>

struct iovec;
struct os_thread;
struct verr;
struct net_conn;

// Connection types.
constexpr uint32_t NET_SOCK_TYPE     = 0;
constexpr uint32_t NET_SOCK2_TYPE    = 1;  // behaves as NET_SOCK_TYPE
constexpr uint32_t NET_STDIO_TYPE    = 2;
constexpr uint32_t NET_PIPE_SRV_TYPE = 3;
constexpr uint32_t NET_PIPE_CLI_TYPE = 4;
constexpr uint32_t NET_SERIAL_TYPE   = 5;
constexpr uint32_t NET_MEM_TYPE      = 6;

// The stop state written by the stoppers of servers and client pools; a
// service reads it as "the stopper, not the serving thread, releases".
constexpr uint32_t NET_STOP_BY_STOPPER = 2;

// Bound of one readiness wait of a read that watches an abort descriptor,
// so that its word or callback is looked at. Nothing else slices a wait: a
// stopper that sets the stop state also shuts the socket down, which wakes it.
constexpr int NET_READ_SLICE_MS  = 300;

// Shared with the connect options; belongs to the caller and outlives the
// connection. fn returns true to end the wait.
struct net_abort {
    std::atomic<uint32_t> stop;
    bool (*fn)(void *arg, int timeout_ms);
    void *arg;
};

using net_ssl_read_cb  = int32_t (*)(net_conn *conn, void *buf, int32_t len);
using net_ssl_write_cb = int32_t (*)(net_conn *conn, const void *buf, int32_t len);

// Callers embed it at the head of their own per-connection records. Created
// zeroed (net_conn c = {}), then type, handle, timeout and abort set.
struct net_conn {
    uint32_t type;
    // Socket: descriptor + 1; pipes: their record; serial: the descriptor;
    // memory: the memory record.
    uint64_t handle;
    void *ssl;  // when set, socket transfers go through the TLS hooks
    // One call's time-out in ms, counted from the last byte moved: 0 one
    // look without waiting, negative no limit. Serial: the wait for the
    // first byte.
    int32_t timeout;
    uint8_t disconnected;  // the peer went away; every later socket transfer fails
    std::atomic<uint32_t> stop;
    net_abort *abort;
    net_ssl_read_cb ssl_read;
    net_ssl_write_cb ssl_write;
    os_thread *thread;  // the thread serving this connection, set by its service
};

// Transfers. Sockets move whole buffers: the count is short only on time-out
// or when the peer closed (disconnected then set); -1 on an error, on a
// connection already disconnected, on the stop state (reads and writes) and
// on the abort descriptor (reads only), errno then ECANCELED (cancelled). A write that
// ends short marks the connection disconnected: the stream is no longer in
// step with the peer.
int32_t net_read(net_conn *conn, void *buf, int32_t len);
int32_t net_write(net_conn *conn, const void *buf, int32_t len);
int32_t net_sock_read(net_conn *conn, void *buf, int32_t len);
int32_t net_sock_write(net_conn *conn, const void *buf, int32_t len);
// The pieces in order and whole, as net_write moves one buffer; on a plain
// socket they leave in as few system calls as the socket takes. The total,
// or -1.
int32_t net_writev(net_conn *conn, const iovec *iov, int n);
// What has already arrived, up to len, without waiting: the count, 0 when
// nothing is there, -1 as net_read (the peer's close included). Other
// carriers than a plain socket read as net_read does.
int32_t net_read_avail(net_conn *conn, void *buf, int32_t len);
// Waits until a read would find bytes (or the peer's close, or an error that
// the read then reports): 1 when readable, 0 after ms (negative: no limit),
// -1 on the stop state (errno ECANCELED). It sleeps until one of those
// happens, with no periodic wake-up: the stopper's shutdown of the socket is
// what ends it on a stop (an abort descriptor is looked at every
// NET_READ_SLICE_MS). Other carriers than a plain socket are always readable.
int net_wait_readable(net_conn *conn, int32_t ms);
// Clears the stop state and the disconnected flag, then closes what the
// connection owns: sockets and memory records (0); standard streams and pipes
// are their owners' (0); serial ports and unknown types are left open (-1).
int net_close(net_conn *conn);
void net_reset(net_conn *conn);

// Outgoing connections. url: "tcp|http|https|tcps|qdp|qdps://host:port" with
// the query parameters connect_timeout and read_timeout (seconds, 1 to 600),
// proxy (a section of the proxy file) and proxy_url; "net://mem" makes a
// memory connection. Requires: err given. 0, or a negative value.
int net_open2(net_conn *conn, const char *url, verr *err);
int net_open(net_conn *conn, const char *url, int connect_timeout_ms);

int net_init();
// Stops the event thread of the servers.
int net_exit();

// Readers and writers over net_read and net_write.
// The byte (0-255) with *got 1, 0 with *got 0 when none came, or -1.
int net_getc(net_conn *conn, int *got);
int32_t net_put_nul(net_conn *conn);
// The first byte under the connection's time-out, the rest under timeout_ms.
int32_t net_read_timeout(net_conn *conn, void *buf, int32_t len, int32_t timeout_ms);
// A line up to LF or NUL, CRs removed: its length; 1 with an empty text for
// an empty line; 0 when nothing came; -1 on an error, a line longer than
// size - 1 (consumed whole) or a line cut off by the peer's close.
int net_gets(net_conn *conn, char *buf, int size);
// The same up to NUL only (LF is text).
int net_read_str(net_conn *conn, char *buf, int size);
// Formats into 8192 bytes (a longer text is cut) and writes it.
int32_t net_printf(net_conn *conn, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// TLS hooks: none is built in; these say where a TLS layer plugs in.
void net_ssl_set_proc(net_ssl_read_cb read_cb, net_ssl_write_cb write_cb);
void net_ssl_set_conn_proc(net_conn *conn, net_ssl_read_cb read_cb, net_ssl_write_cb write_cb);
int32_t net_ssl_read_proc(net_conn *conn, void *buf, int32_t len);
int32_t net_ssl_write_proc(net_conn *conn, const void *buf, int32_t len);
