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
// A connect or a send that has to wait waits at most this long.
constexpr int k_wait_ms = 1000;
constexpr size_t k_packet_size = 1536;
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

bool wait_writable(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&p, 1, ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// A non-blocking connect that waits at most k_wait_ms.
bool connect_bounded(int fd, const addrinfo *ai)
{
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    if (!wait_writable(fd, k_wait_ms)) {
        errno = ETIMEDOUT;
        return false;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        errno = err != 0 ? err : errno;
        return false;
    }
    return true;
}

// -2: the name does not resolve (reported), -1: this kind failed, else the socket.
int open_kind(const char *host, const char *service, int socktype)
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
    if (!connect_bounded(fd, found)) {
        close(fd);
        return -1;
    }
    return fd;
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

// The whole packet, waiting a bounded time whenever the socket is full.
ssize_t send_packet(int fd, const char *data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd, k_wait_ms))
            continue;
        return -1;
    }
    return static_cast<ssize_t>(done);
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
    syslog_close(net->fd);
    net->fd = -1;
    net->backoff_ms = k_first_backoff_ms;
    net->retry_ms = 0;
    net->state = 1;
    return rc;
}

int log_net_connect(log_net *net)
{
    net->fd = -1;
    const uint64_t now = os_tick_ms();
    if (now < net->retry_ms)
        return -1;
    char service[16];
    if (net->port != 0)
        snprintf(service, sizeof(service), "%d", static_cast<int>(net->port));
    net->fd = syslog_open(net->host, net->port != 0 ? service : nullptr, net->kind);
    if (net->fd < 0) {
        net->retry_ms = now + net->backoff_ms;
        net->backoff_ms = std::min(net->backoff_ms * 2, k_max_backoff_ms);
        return -1;
    }
    net->backoff_ms = k_first_backoff_ms;
    net->retry_ms = 0;
    return net->fd;
}

void log_net_close(log_net *net)
{
    syslog_close(net->fd);
    net->fd = -1;
    net->state = 0;
}

int syslog_write(log_net *net, int level, const char *tag, const char *line, int len)
{
    (void)len;  // the whole line is sent
    if (net->state == 0)
        return 0;
    if (net->state == 1) {
        log_net_connect(net);
        net->state = 2;
    }
    char prio[32];
    snprintf(prio, sizeof(prio), "user.%s", syslog_prio_name(level) != nullptr ? syslog_prio_name(level) : "debug");
    int rc = net->fd >= 0 ? syslog_send(net->ctx, net->fd, prio, tag, line) : -1;
    if (rc >= 0)
        return rc;
    syslog_close(net->fd);
    if (log_net_connect(net) < 0)
        return -1;
    rc = syslog_send(net->ctx, net->fd, prio, tag, line);
    if (rc < 0)
        fprintf(stderr, "syslog_write %s err\n", net->url);
    return rc;
}

const char *log_net_get_url(const log_net *net)
{
    return net->url;
}

int syslog_open(const char *host, const char *service, uint32_t kinds)
{
    log2_diag_printf("syslog_open [%s:%s]==>\n", host != nullptr ? host : "", service != nullptr ? service : "");
    read_host_name();
    if (host == nullptr)
        host = "";
    const char *shown = service;
    if ((kinds & LOG_NET_UDP) != 0) {
        shown = service != nullptr ? service : "syslog";
        const int fd = open_kind(host, shown, SOCK_DGRAM);
        if (fd == -2)
            return -1;
        if (fd >= 0)
            return fd;
    }
    if ((kinds & LOG_NET_TCP) != 0) {
        shown = service != nullptr ? service : "syslog-conn";
        const int fd = open_kind(host, shown, SOCK_STREAM);
        if (fd == -2)
            return -1;
        if (fd >= 0)
            return fd;
    }
    fprintf(stderr, "failed to connect to %s port %s", host, shown != nullptr ? shown : "");
    return -1;
}

int syslog_send(log2_ctx *ctx, int fd, const char *prio, const char *tag, const char *line)
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
    char packet[k_packet_size];
    const int n = snprintf(packet, sizeof(packet), "<%d>%.15s %.32s %.64s%s: %.800s", value, when + 4, s_host,
                           tag != nullptr && tag[0] != '\0' ? tag : "<someone>", pid, line);
    if (n < 0)
        return -1;
    const size_t len = std::min(static_cast<size_t>(n), sizeof(packet) - 1) + 1;
    return static_cast<int>(send_packet(fd, packet, len));
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
