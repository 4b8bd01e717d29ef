// The syslog sink.
#include "liblog/log_net.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

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

// A name's resolution on the thread "syslogdns". The sink hands it over to
// the thread and looks at its state at each line: the one of the two that
// sees the other side finished frees it.
struct log_net_lookup {
    enum : int { running, done, abandoned };
    std::atomic<int> state{running};
    char host[8192] = "";
    char service[32] = "";
    int socktype = 0;
    int rc = 0;
    sockaddr_storage addr{};
    socklen_t len = 0;
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

int resolve_flags(const char *host, const char *service, int socktype, int flags, sockaddr_storage *addr,
                  socklen_t *len)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host, service, &hints, &found);
    if (rc != 0)
        return rc;
    const std::unique_ptr<addrinfo, addrinfo_free> list(found);
    if (found->ai_addrlen > sizeof(*addr))
        return EAI_FAMILY;
    memcpy(addr, found->ai_addr, found->ai_addrlen);
    *len = found->ai_addrlen;
    return 0;
}

int resolve_getaddrinfo(const char *host, const char *service, int socktype, sockaddr_storage *addr, socklen_t *len)
{
    return resolve_flags(host, service, socktype, 0, addr, len);
}

std::atomic<log_net_resolver> s_resolver{resolve_getaddrinfo};

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

// A socket of the type connected to addr, -1 when it failed. A connect not
// done within ms is handed back with *in_progress set when in_progress is
// given, else it fails.
int connect_addr(const sockaddr_storage &addr, socklen_t len, int socktype, int ms, bool *in_progress)
{
    const int fd = socket(addr.ss_family, socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (socktype == SOCK_STREAM)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &LOG_NET_SNDBUF, sizeof(LOG_NET_SNDBUF));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0)
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

// -2: the name does not resolve (reported), -1: this kind failed, else the
// socket.
int open_kind(const char *host, const char *service, int socktype, int ms)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    const int rc = s_resolver.load()(host, service, socktype, &addr, &len);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        fprintf(stderr, "failed to resolve name %s port %s", host, service);
        return -2;
    }
    return connect_addr(addr, len, socktype, ms, nullptr);
}

// The lines sent on this connection that its peer had not acknowledged
// (SIOCOUTQ) when it is reset: lost with it, and so are the counts of the
// dropped-lines notices among them. Packets older than the ring (not when
// the send buffer is as small as it is kept) are estimated from the ring's
// mean length.
uint64_t unacked_lines(const log_net *net)
{
    int queued = 0;
    if (net->kind != LOG_NET_TCP || net->fd < 0 || net->sent_lines == 0 || ioctl(net->fd, SIOCOUTQ, &queued) != 0 ||
        queued <= 0)
        return 0;
    const uint64_t acked = net->sent_bytes - std::min<uint64_t>(net->sent_bytes, static_cast<uint64_t>(queued));
    const uint64_t known = std::min<uint64_t>(net->sent_lines, LOG_NET_SENT_RING);
    uint64_t lines = 0;
    for (uint64_t i = 1; i <= known; i++) {
        const uint64_t at = (net->sent_lines - i) % LOG_NET_SENT_RING;
        if (net->sent_ends[at] <= acked)
            return lines;
        lines += net->sent_counts[at];
    }
    const uint64_t oldest_end = net->sent_ends[(net->sent_lines - known) % LOG_NET_SENT_RING];
    const uint64_t mean = std::max<uint64_t>(1, (net->sent_bytes - oldest_end) / std::max<uint64_t>(1, known - 1));
    return lines + (oldest_end - acked + mean - 1) / mean;
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

void back_off(log_net *net, uint64_t now)
{
    net->retry_ms = now + net->backoff_ms;
    net->backoff_ms = std::min(net->backoff_ms * 2, k_max_backoff_ms);
}

// The socket is given up, with the line being sent and the lines its peer
// had not acknowledged; the next connect waits for the back-off and
// resolves the name again.
void net_fail(log_net *net, uint64_t now)
{
    if (net->pending_len != 0)
        net->dropped += net->pending_count;
    net->dropped += unacked_lines(net);
    close_now(net->fd);
    net->fd = -1;
    net->connecting = 0;
    net->pending_off = 0;
    net->pending_len = 0;
    net->stalled_ms = 0;
    net->addr_len = 0;
    back_off(net, now);
}

void lookup_run(void *arg)
{
    auto *l = static_cast<log_net_lookup *>(arg);
    l->rc = log_net_resolve(l->host, l->service, l->socktype, &l->addr, &l->len);
    int expected = log_net_lookup::running;
    if (!l->state.compare_exchange_strong(expected, log_net_lookup::done))
        delete l;  // the sink closed meanwhile
}

// Gives up the resolution in progress: the thread frees it when it ends.
void lookup_drop(log_net *net)
{
    log_net_lookup *l = std::exchange(net->lookup, nullptr);
    int expected = log_net_lookup::running;
    if (l != nullptr && !l->state.compare_exchange_strong(expected, log_net_lookup::abandoned))
        delete l;
}

void service_of(const log_net *net, char *service, size_t size)
{
    if (net->port != 0)
        snprintf(service, size, "%d", static_cast<int>(net->port));
    else
        str_safecopy2(service, size, net->kind == LOG_NET_TCP ? "syslog-conn" : "syslog");
}

int socktype_of(const log_net *net)
{
    return net->kind == LOG_NET_TCP ? SOCK_STREAM : SOCK_DGRAM;
}

// The address to connect to, without waiting: a numeric one at once, a name
// by the resolver's thread (started here when none runs). False while there
// is none; a name that does not resolve is reported once and backs off.
bool net_resolved(log_net *net, uint64_t now)
{
    if (net->addr_len != 0)
        return true;
    if (net->lookup == nullptr) {
        char service[32];
        service_of(net, service, sizeof(service));
        if (resolve_flags(net->host, service, socktype_of(net), AI_NUMERICHOST | AI_NUMERICSERV, &net->addr,
                          &net->addr_len) == 0)
            return true;
        std::unique_ptr<log_net_lookup> l(new (std::nothrow) log_net_lookup);
        if (!l)
            return false;
        str_safecopy2(l->host, sizeof(l->host), net->host);
        str_safecopy2(l->service, sizeof(l->service), service);
        l->socktype = socktype_of(net);
        // Not started while a fork is prepared: tried again at the next line.
        if (log2_thread_start("syslogdns", lookup_run, l.get()))
            net->lookup = l.release();
        return false;
    }
    if (net->lookup->state.load() != log_net_lookup::done)
        return false;
    const std::unique_ptr<log_net_lookup> l(std::exchange(net->lookup, nullptr));
    if (l->rc != 0) {
        if (net->unresolved_told == 0)
            fprintf(stderr, "syslog %s: the name %s does not resolve (%s); tried again with the back-off\n", net->url,
                    net->host, gai_strerror(l->rc));
        net->unresolved_told = 1;
        back_off(net, now);
        return false;
    }
    net->unresolved_told = 0;
    net->addr = l->addr;
    net->addr_len = l->len;
    return true;
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
            net->sent_bytes += static_cast<uint64_t>(n);
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
        net_fail(net, now);
        return -1;
    }
    if (net->pending_len != 0) {
        net->sent_ends[net->sent_lines % LOG_NET_SENT_RING] = net->sent_bytes;
        net->sent_counts[net->sent_lines++ % LOG_NET_SENT_RING] = net->pending_count;
    }
    net->pending_off = 0;
    net->pending_len = 0;
    // A connection that fails at once (a UDP port that refuses the second
    // packet) keeps the back-off growing.
    if (now - net->connected_ms >= k_first_backoff_ms)
        net->backoff_ms = k_first_backoff_ms;
    return 1;
}

// Makes packet (standing for lines log lines) the one in progress and sends
// what the socket takes of it.
int queue_packet(log_net *net, const char *packet, int len, uint32_t lines, uint64_t now)
{
    net->pending_count = lines;
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
    const uint64_t count = std::exchange(net->dropped, 0);
    return queue_packet(net, packet, len, static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX)), now) == 1;
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
    net->unresolved_told = 0;
    net->state = 1;
    return rc;
}

int log_net_connect(log_net *net)
{
    net->fd = -1;
    net->connecting = 0;
    const uint64_t now = os_tick_ms();
    if (now < net->retry_ms || !net_resolved(net, now))
        return -1;
    bool in_progress = false;
    net->fd = connect_addr(net->addr, net->addr_len, socktype_of(net), k_connect_look_ms, &in_progress);
    if (net->fd < 0) {
        net->addr_len = 0;
        back_off(net, now);
        return -1;
    }
    net->connecting = in_progress ? 1 : 0;
    net->connected_ms = now;
    net->connect_by_ms = now + k_connect_ms;
    net->stalled_ms = 0;
    net->retry_ms = 0;
    net->sent_bytes = 0;
    net->sent_lines = 0;
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
    lookup_drop(net);
    net->stalled_ms = 0;
    net->fd = -1;
    net->state = 0;
    net->connecting = 0;
    net->pending_off = 0;
    net->pending_len = 0;
    net->addr_len = 0;
}

bool log_net_resolving(const log_net *net)
{
    return net->lookup != nullptr && net->lookup->state.load() == log_net_lookup::running;
}

void log_net_forked(log_net *net)
{
    if (net->lookup != nullptr && net->lookup->state.load() == log_net_lookup::running)
        delete std::exchange(net->lookup, nullptr);
}

void log_net_set_resolver(log_net_resolver resolver)
{
    s_resolver.store(resolver != nullptr ? resolver : resolve_getaddrinfo);
}

int log_net_resolve(const char *host, const char *service, int socktype, sockaddr_storage *addr, socklen_t *len)
{
    return s_resolver.load()(host, service, socktype, addr, len);
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
    if (!net_ready(net, now)) {
        // The first line of a resolution or a connect in progress waits for it.
        if ((net->connecting != 0 || net->lookup != nullptr) && net->pending_len == 0) {
            memcpy(net->pending, packet, static_cast<size_t>(n));
            net->pending_len = static_cast<uint32_t>(n);
            net->pending_count = 1;
            return n;
        }
    } else if (flush_pending(net, now) == 1 && send_dropped(net, prio, now) && queue_packet(net, packet, n, 1, now) >= 0) {
        return n;
    }
    net->dropped++;
    return -1;
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
        const int fd = open_kind(host, shown, SOCK_DGRAM, 0);
        if (fd == -2)
            return -1;
        if (fd >= 0)
            return fd;
    }
    if ((kinds & LOG_NET_TCP) != 0) {
        shown = service != nullptr ? service : "syslog-conn";
        const int fd = open_kind(host, shown, SOCK_STREAM, k_connect_ms);
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
