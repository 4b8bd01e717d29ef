// Syslog sink: one line per message to a syslog server over UDP or TCP
// ("tcp://host:port" for TCP, any other scheme for UDP). Connected at the
// first line after log_net_open. Runs inside the log call under the log
// context's mutex, so nothing here waits on the peer: a TCP connect is given
// a short first look and then completes (or fails after a second) over the
// following lines; a send takes what the socket accepts now. A line the peer
// cannot take (not connected yet, back-off, a full socket) is dropped and
// counted, and the count is sent ahead of the next line that goes out. A peer
// that takes no byte for a while is closed with linger 0, so that no unsent
// data stays in the kernel, and reconnected after the back-off (one second,
// doubling up to a minute), as after a failed connect or send.
#pragma once

#include <cstddef>
#include <cstdint>

struct log2_ctx;

constexpr uint32_t LOG_NET_UDP = 2;
constexpr uint32_t LOG_NET_TCP = 4;
constexpr size_t LOG_NET_PACKET_SIZE = 1536;
// A TCP peer that takes no byte for this long is closed and reconnected.
constexpr uint64_t LOG_NET_STALL_MS = 2000;

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
};

void log_net_init(log_net *net, log2_ctx *ctx);
// Keeps and parses the URL; does not switch the sink on. The parser's
// non-negative result, or -1 (logged) for a URL that does not parse.
int log_net_open(log_net *net, const char *url);
// Opens the socket unless the back-off forbids it; a TCP connect still in
// progress leaves connecting set. The socket, or -1.
int log_net_connect(log_net *net);
void log_net_close(log_net *net);
// Sends the line with the priority of level, without waiting. The packet's
// length when it went out (or is going out), -1 when the line was dropped.
int syslog_write(log_net *net, int level, const char *tag, const char *line, int len);
const char *log_net_get_url(const log_net *net);

// A socket connected to host and service (nullptr: the syslog service of the
// kind) by the first kind of kinds (LOG_NET_UDP, then LOG_NET_TCP) that
// works; -1 (on standard error) when none does. A TCP connect waits up to a
// second; with in_progress given it waits only a moment and a connect not
// done by then is handed back with *in_progress set.
int syslog_open(const char *host, const char *service, uint32_t kinds, bool *in_progress = nullptr);
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
