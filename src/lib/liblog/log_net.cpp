// The syslog sink.
#include "liblog/log_net.h"

#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "libpal/basic/os_sync.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/log2.h"

const syslog_code syslog_facility_names[] = {
    {"auth", 32},   {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},     {"kern", 0},
    {"lpr", 48},    {"mail", 16},     {"mark", 192},   {"news", 56},    {"security", 32}, {"syslog", 40},
    {"user", 8},    {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144}, {"local3", 152},
    {"local4", 160}, {"local5", 168}, {"local6", 176}, {"local7", 184}, {nullptr, -1},
};

const syslog_code syslog_priority_names[] = {
    {"alert", 1}, {"crit", 2},   {"debug", 7}, {"emerg", 0},  {"err", 3},  {"error", 3}, {"info", 6},
    {"none", 16}, {"notice", 5}, {"panic", 0}, {"warn", 4},   {"warning", 4}, {nullptr, -1},
};

namespace {

constexpr uint32_t k_first_backoff_ms = 1000;
constexpr uint32_t k_max_backoff_ms = 60000;
// A TCP connect is given up after this long.
constexpr int k_connect_ms = 1000;
// The look a log call gives a new connect: a collector on this host or the
// next one answers within it, and the first lines then go out at once.
constexpr int k_connect_look_ms = 20;
constexpr size_t k_host_size = 128;

char s_host[k_host_size];
std::once_flag s_host_once;

struct addrinfo_free {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

void read_host_name()
{
    std::call_once(s_host_once, [] {
        if (gethostname(s_host, sizeof(s_host)) != 0)
            s_host[0] = '\0';
        s_host[sizeof(s_host) - 1] = '\0';
        if (s_host[0] == '\0' || strcmp(s_host, "(none)") == 0)
            str_safecopy2(s_host, sizeof(s_host), "unknown");
    });
}

// 1 when a non-blocking connect has completed, 0 while it is in progress
// after waiting up to ms, -1 (errno set) when it failed.
int connect_done(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&p, 1, ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
        return 0;
    int err = 0;
    socklen_t len = sizeof(err);
    if (rc < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        errno = err != 0 ? err : errno;
        return -1;
    }
    return 1;
}

// -2: the name does not resolve (reported), -1: this kind failed, else the
// socket. A connect not done within ms is handed back with *in_progress set
// when in_progress is given, else it fails.
int open_kind(const char *host, const char *service, int socktype, int ms, bool *in_progress)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host, service, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        fprintf(stderr, "failed to resolve name %s port %s", host, service);
        return -2;
    }
    const std::unique_ptr<addrinfo, addrinfo_free> list(found);
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, found->ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, found->ai_addr, found->ai_addrlen) == 0)
        return fd;
    const int done = errno == EINPROGRESS ? connect_done(fd, ms) : -1;
    if (done == 1)
        return fd;
    if (done == 0 && in_progress != nullptr) {
        *in_progress = true;
        return fd;
    }
    close(fd);
    return -1;
}

// Closes a socket whose peer stopped taking data or failed: with linger 0
// the kernel drops what is unsent at once (a reset) instead of holding it
// for a peer that may never read it.
void close_now(int fd)
{
    if (fd < 0)
        return;
    const linger off{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof(off));
    close(fd);
}

// The socket is given up and the line being sent is lost. After a connect
// that failed or a peer that stopped reading, the next connect waits for the
// back-off; after a failed send it may come at once.
void net_fail(log_net *net, uint64_t now, bool backoff = true)
{
    if (net->pending_len != 0)
        net->dropped++;
    close_now(net->fd);
    net->fd = -1;
    net->connecting = 0;
    net->pending_off = 0;
    net->pending_len = 0;
    net->stalled_ms = 0;
    if (backoff) {
        net->retry_ms = now + net->backoff_ms;
        net->backoff_ms = std::min(net->backoff_ms * 2, k_max_backoff_ms);
    }
}

// A connected socket, without waiting: starts a connect when none is open
// and the back-off allows one, and looks whether one in progress is done.
bool net_ready(log_net *net, uint64_t now)
{
    if (net->fd < 0 && log_net_connect(net) < 0)
        return false;
    if (net->connecting == 0)
        return true;
    const int done = connect_done(net->fd, 0);
    if (done == 1) {
        net->connecting = 0;
        return true;
    }
    if (done < 0 || now >= net->connect_by_ms)
        net_fail(net, now);
    return false;
}

// Sends what the socket takes of the packet in progress. 1 when all of it
// went out, 0 while the peer takes no more, -1 when the socket failed (it is
// then closed).
int flush_pending(log_net *net, uint64_t now)
{
    while (net->pending_off < net->pending_len) {
        const ssize_t n = send(net->fd, net->pending + net->pending_off, net->pending_len - net->pending_off,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            net->pending_off += static_cast<uint32_t>(n);
            net->stalled_ms = 0;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (net->stalled_ms == 0) {
                net->stalled_ms = now;
            } else if (now - net->stalled_ms >= LOG_NET_STALL_MS) {
                net_fail(net, now);
                return -1;
            }
            return 0;
        }
        net_fail(net, now, false);
        return -1;
    }
    net->pending_off = 0;
    net->pending_len = 0;
    net->backoff_ms = k_first_backoff_ms;
    return 1;
}

// Makes packet the one in progress and sends what the socket takes of it.
int queue_packet(log_net *net, const char *packet, int len, uint64_t now)
{
    memcpy(net->pending, packet, static_cast<size_t>(len));
    net->pending_off = 0;
    net->pending_len = static_cast<uint32_t>(len);
    return flush_pending(net, now);
}

// Tells the peer how many lines it missed, ahead of the next line. True when
// the notice is out (or none was due) and the line may follow.
bool send_dropped(log_net *net, const char *prio, uint64_t now)
{
    if (net->dropped == 0)
        return true;
    char text[128];
    snprintf(text, sizeof(text), "syslog: %llu log lines were dropped while this collector took none\n",
             static_cast<unsigned long long>(net->dropped));
    char packet[LOG_NET_PACKET_SIZE];
    const int len = syslog_format(nullptr, prio, "log", text, packet);
    if (len < 0)
        return false;
    net->dropped = 0;
    return queue_packet(net, packet, len, now) == 1;
}

int level_code(const char *name, const syslog_code *table, const char *what)
{
    const int code = syslog_decode(name, table);
    if (code < 0)
        fprintf(stderr, "unknown %s name: %s", what, name);
    return code;
}

// "facility.priority" or a bare priority of the user facility.
int decode_prio(const char *prio)
{
    const char *dot = strchr(prio, '.');
    if (dot == nullptr) {
        const int p = level_code(prio, syslog_priority_names, "priority");
        return p < 0 ? -1 : (p & 7) | (8 & 0x3f8);
    }
    char facility[64];
    str_safecopy2(facility, std::min(sizeof(facility), static_cast<size_t>(dot - prio) + 1), prio);
    const int f = level_code(facility, syslog_facility_names, "facility");
    const int p = level_code(dot + 1, syslog_priority_names, "priority");
    if (f < 0 || p < 0)
        return -1;
    return (p & 7) | (f & 0x3f8);
}

}  // namespace

void log_net_init(log_net *net, log2_ctx *ctx)
{
    memset(net, 0, sizeof(*net));
    net->fd = -1;
    net->kind = LOG_NET_UDP;
    net->ctx = ctx;
    net->backoff_ms = k_first_backoff_ms;
}

int log_net_open(log_net *net, const char *url)
{
    net->state = 0;
    log2_diag_printf("log_net_open [%s]\n", url != nullptr ? url : "");
    str_safecopy2(net->url, sizeof(net->url), url != nullptr ? url : "");
    url_info info;
    std::unique_ptr<char[]> store(new (std::nothrow) char[URL_BUF_SIZE]);
    const int rc = store ? url_parser(&info, store.get(), net->url) : -1;
    if (rc < 0 || info.host[0] == '\0') {
        log2_printf(nullptr, LOG2_DBG, "tag", __FILE__, __LINE__, __func__, "url_parser %s failed\n", net->url);
        return -1;
    }
    net->kind = strcmp(info.protocol, "tcp") == 0 ? LOG_NET_TCP : LOG_NET_UDP;
    str_safecopy2(net->host, sizeof(net->host), info.host);
    if (info.port != 0)
        net->port = info.port;
    log_net_close(net);
    net->backoff_ms = k_first_backoff_ms;
    net->retry_ms = 0;
    net->dropped = 0;
    net->state = 1;
    return rc;
}

int log_net_connect(log_net *net)
{
    net->fd = -1;
    net->connecting = 0;
    const uint64_t now = os_tick_ms();
    if (now < net->retry_ms)
        return -1;
    char service[16];
    if (net->port != 0)
        snprintf(service, sizeof(service), "%d", static_cast<int>(net->port));
    bool in_progress = false;
    net->fd = syslog_open(net->host, net->port != 0 ? service : nullptr, net->kind, &in_progress);
    if (net->fd < 0) {
        net->retry_ms = now + net->backoff_ms;
        net->backoff_ms = std::min(net->backoff_ms * 2, k_max_backoff_ms);
        return -1;
    }
    net->connecting = in_progress ? 1 : 0;
    net->connect_by_ms = now + k_connect_ms;
    net->stalled_ms = 0;
    net->retry_ms = 0;
    return net->fd;
}

void log_net_close(log_net *net)
{
    // A peer that is not taking what was sent would keep the rest in the
    // kernel after a plain close.
    if (net->stalled_ms != 0)
        close_now(net->fd);
    else
        syslog_close(net->fd);
    net->stalled_ms = 0;
    net->fd = -1;
    net->state = 0;
    net->connecting = 0;
    net->pending_off = 0;
    net->pending_len = 0;
}

int syslog_write(log_net *net, int level, const char *tag, const char *line, int len)
{
    (void)len;  // the whole line is sent
    if (net->state == 0)
        return 0;
    net->state = 2;
    char prio[32];
    snprintf(prio, sizeof(prio), "user.%s", syslog_prio_name(level) != nullptr ? syslog_prio_name(level) : "debug");
    char packet[LOG_NET_PACKET_SIZE];
    const int n = syslog_format(net->ctx, prio, tag, line, packet);
    if (n < 0)
        return -1;
    const uint64_t now = os_tick_ms();
    // A send that fails on a socket that worked before (the peer closed it,
    // or a UDP peer refused a packet) gets one new socket at once.
    for (int attempt = 0; attempt < 2; attempt++) {
        const bool had_socket = net->fd >= 0;
        if (!net_ready(net, now)) {
            // The first line of a connect in progress waits for it.
            if (net->connecting != 0 && net->pending_len == 0) {
                memcpy(net->pending, packet, static_cast<size_t>(n));
                net->pending_len = static_cast<uint32_t>(n);
                return n;
            }
            break;
        }
        const int flushed = flush_pending(net, now);
        if (flushed == 1 && send_dropped(net, prio, now) && queue_packet(net, packet, n, now) >= 0)
            return n;
        if (net->fd >= 0 || !had_socket)
            break;
    }
    net->dropped++;
    return -1;
}

const char *log_net_get_url(const log_net *net)
{
    return net->url;
}

int syslog_open(const char *host, const char *service, uint32_t kinds, bool *in_progress)
{
    log2_diag_printf("syslog_open [%s:%s]==>\n", host != nullptr ? host : "", service != nullptr ? service : "");
    read_host_name();
    if (host == nullptr)
        host = "";
    const char *shown = service;
    if ((kinds & LOG_NET_UDP) != 0) {
        shown = service != nullptr ? service : "syslog";
        const int fd = open_kind(host, shown, SOCK_DGRAM, 0, nullptr);
        if (fd == -2)
            return -1;
        if (fd >= 0)
            return fd;
    }
    if ((kinds & LOG_NET_TCP) != 0) {
        shown = service != nullptr ? service : "syslog-conn";
        const int fd = open_kind(host, shown, SOCK_STREAM, in_progress != nullptr ? k_connect_look_ms : k_connect_ms,
                                 in_progress);
        if (fd == -2)
            return -1;
        if (fd >= 0)
            return fd;
    }
    fprintf(stderr, "failed to connect to %s port %s", host, shown != nullptr ? shown : "");
    return -1;
}

int syslog_format(log2_ctx *ctx, const char *prio, const char *tag, const char *line, char *packet)
{
    if (line == nullptr)
        line = "";
    const uint32_t flags = ctx != nullptr ? ctx->flags.load() : 0;
    size_t skip = 0;
    if ((flags & LOG2_FLAG_TIME) != 0)
        skip = 9;
    else if ((flags & LOG2_FLAG_TIME_MS) != 0)
        skip = 13;
    line += std::min(skip, strlen(line));

    const int value = decode_prio(prio != nullptr ? prio : "");
    read_host_name();
    const time_t now = time(nullptr);
    char when[32] = "";
    if (ctime_r(&now, when) == nullptr || strlen(when) < 19)
        str_safecopy2(when, sizeof(when), "    ");
    char pid[16];
    snprintf(pid, sizeof(pid), "[%d]", static_cast<int>(getpid()));
    const int n = snprintf(packet, LOG_NET_PACKET_SIZE, "<%d>%.15s %.32s %.64s%s: %.800s", value, when + 4, s_host,
                           tag != nullptr && tag[0] != '\0' ? tag : "<someone>", pid, line);
    if (n < 0)
        return -1;
    return static_cast<int>(std::min(static_cast<size_t>(n), LOG_NET_PACKET_SIZE - 1) + 1);
}

void syslog_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

const char *syslog_prio_name(int level)
{
    static constexpr const char *k_names[] = {"panic", "alert", "crit", "error", "warn",
                                              "notice", "info", "debug", "debug"};
    if (level < 0 || level > 8)
        return nullptr;
    return k_names[level];
}

int syslog_decode(const char *name, const syslog_code *table)
{
    if (name == nullptr || table == nullptr)
        return -1;
    if (isdigit(static_cast<unsigned char>(name[0])) != 0) {
        char *end = nullptr;
        errno = 0;
        const long v = strtol(name, &end, 10);
        if (errno != 0 || *end != '\0')
            return -1;
        for (const syslog_code *c = table; c->name != nullptr; c++) {
            if (c->code == v)
                return c->code;
        }
        return -1;
    }
    for (const syslog_code *c = table; c->name != nullptr; c++) {
        if (strcasecmp(c->name, name) == 0)
            return c->code;
    }
    return -1;
}
