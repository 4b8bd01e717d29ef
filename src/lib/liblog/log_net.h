// Syslog sink: one line per message to a syslog server over UDP or TCP
// ("tcp://host:port" for TCP, any other scheme for UDP). Connected at the
// first line after log_net_open, reconnected once after a failed send. A TCP
// connect waits at most a second, and after a failed connect the sink waits
// (one second, doubling up to a minute) before it tries again, so a server
// that does not answer never holds up the log call for long. Runs inside the
// log call under the log context's mutex.
#pragma once

#include <cstdint>

struct log2_ctx;

constexpr uint32_t LOG_NET_UDP = 2;
constexpr uint32_t LOG_NET_TCP = 4;

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
};

void log_net_init(log_net *net, log2_ctx *ctx);
// Keeps and parses the URL; does not switch the sink on. The parser's
// non-negative result, or -1 (logged) for a URL that does not parse.
int log_net_open(log_net *net, const char *url);
int log_net_connect(log_net *net);
void log_net_close(log_net *net);
// Sends the whole line with the priority of level. The last send's result.
int syslog_write(log_net *net, int level, const char *tag, const char *line, int len);
const char *log_net_get_url(const log_net *net);

// A socket connected to host and service (nullptr: the syslog service of the
// kind) by the first kind of kinds (LOG_NET_UDP, then LOG_NET_TCP) that
// works; -1 (on standard error) when none does.
int syslog_open(const char *host, const char *service, uint32_t kinds);
// "<prio>Mmm dd hh:mm:ss host tag[pid]: line" and a NUL byte; the line's time
// prefix (by the context's flags) is skipped. send's result.
int syslog_send(log2_ctx *ctx, int fd, const char *prio, const char *tag, const char *line);
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
