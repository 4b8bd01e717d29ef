// Syslog sink: one line per message to a syslog server over UDP or TCP
// ("tcp://host:port" for TCP, any other scheme for UDP). Connected at the
// first line after log_net_open. Runs inside the log call under the log
// context's mutex, so nothing here waits on the peer or on a name: a host
// name is resolved by a short-lived thread ("syslogdns") while the lines go
// on (a numeric address needs none); a TCP connect is given a short first
// look and then completes (or fails after a second) over the following
// lines; a send takes what the socket accepts now. A line the peer cannot
// take (a name being resolved, a connect in progress, back-off, a full
// socket) is dropped and counted, and the count is sent ahead of the next
// line that goes out; the first line waits for the resolution and the
// connect. Every failure (a name that does not resolve, reported once until
// it does; a refused connect or packet; a failed send; a peer that takes no
// byte for a while) closes the socket, with linger 0 so that no unsent data
// stays in the kernel, and the next try waits for the back-off (one second,
// doubling up to a minute, back to a second once a connection has worked
// for a second). The name is resolved again at each try.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/socket.h>

struct log2_ctx;
struct log_net_lookup;

constexpr uint32_t LOG_NET_UDP = 2;
constexpr uint32_t LOG_NET_TCP = 4;
constexpr size_t LOG_NET_PACKET_SIZE = 1536;
// A TCP peer that takes no byte for this long is closed and reconnected.
constexpr uint64_t LOG_NET_STALL_MS = 2000;
// The ends of the lines last sent on a TCP connection, so that the lines
// still unacknowledged when it is reset are counted as dropped: the send
// buffer is kept small enough (LOG_NET_SNDBUF, which the kernel doubles)
// that the ring holds every line it can hold, of 45 bytes or more.
constexpr size_t LOG_NET_SENT_RING = 4096;
constexpr int LOG_NET_SNDBUF = 65536;

struct log_net {
    char url[8192];
    char host[8192];
    uint32_t port;   // 0: the service names "syslog" / "syslog-conn"
    uint32_t kind;   // LOG_NET_TCP for the scheme "tcp", else LOG_NET_UDP
    int32_t fd;      // the connected socket, below 0 when none
    uint32_t state;  // 0 off, 1 configured, 2 connection attempted
    log2_ctx *ctx;   // the owner: its flags tell which time prefix a line has
    uint64_t retry_ms;  // no connect before this tick (the back-off)
    uint32_t backoff_ms;
    uint32_t connecting;     // 1 while a TCP connect is in progress
    uint64_t connect_by_ms;  // when a connect in progress is given up
    uint64_t stalled_ms;     // since when the peer has taken no byte, 0 when it takes them
    uint64_t dropped;        // lines lost since a line last went out
    uint32_t pending_off;    // the packet being sent: bytes sent so far
    uint32_t pending_len;    // and its length, 0 when none
    char pending[LOG_NET_PACKET_SIZE];
    log_net_lookup *lookup;  // the name's resolution on its thread, nullptr when none
    sockaddr_storage addr;   // the resolved address, valid when addr_len is not 0
    socklen_t addr_len;
    uint32_t unresolved_told;  // 1 once a name that does not resolve was reported
    uint64_t connected_ms;     // when the socket was opened
    uint64_t sent_bytes;       // bytes sent on this connection
    uint64_t sent_ends[LOG_NET_SENT_RING];   // sent_bytes at the end of each of the last packets
    uint32_t sent_counts[LOG_NET_SENT_RING]; // the lines each stands for: 1, or a notice's count
    uint64_t sent_lines;       // packets sent on this connection
    uint32_t pending_count;    // the lines the packet being sent stands for
};

// Resolves host and service (a number, or a service name) for a socket
// type into addr; 0, or a getaddrinfo error code. Runs on the thread
// "syslogdns", never under the logger's lock.
using log_net_resolver = int (*)(const char *host, const char *service, int socktype, sockaddr_storage *addr,
                                 socklen_t *len);
// Replaces the resolver of the syslog sink and of the collector's opener
// (for tests); nullptr puts getaddrinfo back.
void log_net_set_resolver(log_net_resolver resolver);
// Resolves through the current resolver, on the caller's thread (a sink's
// own thread, never under the logger's lock).
int log_net_resolve(const char *host, const char *service, int socktype, sockaddr_storage *addr, socklen_t *len);

void log_net_init(log_net *net, log2_ctx *ctx);
// Keeps and parses the URL; does not switch the sink on. The parser's
// non-negative result, or -1 (logged) for a URL that does not parse.
int log_net_open(log_net *net, const char *url);
// Opens the socket unless the back-off forbids it or the name is still being
// resolved (a resolution is started when none runs); a TCP connect still in
// progress leaves connecting set. The socket, or -1.
int log_net_connect(log_net *net);
// Closes the socket; a lookup still running is let go (its thread frees it
// as it ends).
void log_net_close(log_net *net);
// True while the name's lookup runs on its thread (under the owner's mutex).
bool log_net_resolving(const log_net *net);
// In a process made by a fork while the name was being resolved: the
// resolver's thread stayed behind, so the name is resolved anew.
void log_net_forked(log_net *net);
// Sends the line with the priority of level, without waiting. The packet's
// length when it went out (or is going out), -1 when the line was dropped.
int syslog_write(log_net *net, int level, const char *tag, const char *line, int len);
const char *log_net_get_url(const log_net *net);

// A socket connected to host and service (nullptr: the syslog service of the
// kind) by the first kind of kinds (LOG_NET_UDP, then LOG_NET_TCP) that
// works; -1 (on standard error) when none does. Resolves the name on the
// caller's thread, and a TCP connect waits up to a second: never called by
// the sink, which resolves and connects without waiting.
int syslog_open(const char *host, const char *service, uint32_t kinds);
// "<prio>Mmm dd hh:mm:ss host tag[pid]: line" and a NUL byte into packet
// (LOG_NET_PACKET_SIZE bytes); the line's time prefix (by the context's
// flags) is skipped. The packet's length, NUL included, or -1.
int syslog_format(log2_ctx *ctx, const char *prio, const char *tag, const char *line, char *packet);
void syslog_close(int fd);
// 0 "panic" ... 8 "debug"; nullptr above 8.
const char *syslog_prio_name(int level);

struct syslog_code {
    const char *name;
    int code;
};
extern const syslog_code syslog_facility_names[];
extern const syslog_code syslog_priority_names[];
// A decimal number that is a code of the table, or a name of it in any case.
// The code, or -1.
int syslog_decode(const char *name, const syslog_code *table);
