#include "liblog/log_net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libpal/basic/os_sync.h"
#include "liblog/log2.h"
#include "stderr_capture.h"

namespace {

// A loopback socket of the type on a free port; listening for TCP.
int bind_loopback(int type, uint16_t *port)
{
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A URL of scheme on a loopback port nobody listens on any more (released
// at once: a UDP socket kept bound there would take the packets).
std::string closed_port_url(const char *scheme, int type)
{
    uint16_t port = 0;
    const int fd = bind_loopback(type, &port);
    if (fd < 0)
        return "";
    close(fd);
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

std::string recv_packet(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0)
        return "";
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// "<prio>Mmm dd hh:mm:ss host tag[pid]: " then the line after its time prefix and a NUL.
std::regex packet_form(int prio, const std::string &rest)
{
    return std::regex("<" + std::to_string(prio) + ">[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\S+ main\\[" +
                      std::to_string(getpid()) + "\\]: " + rest + std::string(1, '\0'));
}

class Syslog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_ = log2_ctx_new();
        ASSERT_NE(ctx_, nullptr);
        log_net_init(&net_, ctx_);
    }
    void TearDown() override
    {
        log_net_close(&net_);
        log2_exit(ctx_);
    }
    log2_ctx *ctx_ = nullptr;
    log_net net_{};
};

TEST(SyslogNames, PrioritiesAndDecodeTables)
{
    const char *names[] = {"panic", "alert", "crit", "error", "warn", "notice", "info", "debug", "debug"};
    for (int level = 0; level <= 8; level++)
        EXPECT_STREQ(syslog_prio_name(level), names[level]);
    EXPECT_EQ(syslog_prio_name(9), nullptr);

    struct row {
        const char *name;
        const syslog_code *table;
        int code;
    };
    const row rows[] = {
        {"user", syslog_facility_names, 8},   {"LOCAL7", syslog_facility_names, 184},
        {"24", syslog_facility_names, 24},    {"25", syslog_facility_names, -1},
        {"8x", syslog_facility_names, -1},    {"warning", syslog_priority_names, 4},
        {"Err", syslog_priority_names, 3},    {"7", syslog_priority_names, 7},
        {"bogus", syslog_priority_names, -1}, {"", syslog_priority_names, -1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(syslog_decode(r.name, r.table), r.code) << r.name;
}

TEST_F(Syslog, UdpLineSkipsItsMillisecondTimeAndEndsWithNul)
{
    uint16_t port = 0;
    const int srv = bind_loopback(SOCK_DGRAM, &port);
    ASSERT_GE(srv, 0);
    ctx_->flags.store(LOG2_FLAG_TIME_MS);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    ASSERT_GE(log_net_open(&net_, url.c_str()), 0);
    EXPECT_EQ(net_.kind, LOG_NET_UDP);
    EXPECT_EQ(net_.state, 1u);
    EXPECT_GT(syslog_write(&net_, LOG2_DBG, "main", "12:34:56.789 f(): dbg line\n", -1), 0);
    EXPECT_EQ(net_.state, 2u);
    const std::string got = recv_packet(srv);
    EXPECT_TRUE(std::regex_match(got, packet_form(15, "f\\(\\): dbg line\n"))) << got;
    // Seconds only: a 9-character prefix; err gives priority 11.
    ctx_->flags.store(LOG2_FLAG_TIME);
    syslog_write(&net_, LOG2_ERR, "main", "12:34:56 bad\n", -1);
    const std::string second = recv_packet(srv);
    EXPECT_TRUE(std::regex_match(second, packet_form(11, "bad\n"))) << second;
    close(srv);
}

TEST_F(Syslog, TcpLinesArriveInOrder)
{
    uint16_t port = 0;
    const int srv = bind_loopback(SOCK_STREAM, &port);
    ASSERT_GE(srv, 0);
    ctx_->flags.store(0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    ASSERT_GE(log_net_open(&net_, url.c_str()), 0);
    EXPECT_EQ(net_.kind, LOG_NET_TCP);
    ASSERT_GT(syslog_write(&net_, LOG2_INFO, "main", "first\n", -1), 0);
    ASSERT_GT(syslog_write(&net_, LOG2_WARN, "main", "second\n", -1), 0);
    const int conn = accept(srv, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    std::string got;
    while (std::count(got.begin(), got.end(), '\0') < 2) {
        const std::string part = recv_packet(conn);
        if (part.empty())
            break;
        got += part;
    }
    const size_t nul = got.find('\0');
    ASSERT_NE(nul, std::string::npos);
    EXPECT_TRUE(std::regex_match(got.substr(0, nul + 1), packet_form(14, "first\n"))) << got;
    EXPECT_TRUE(std::regex_match(got.substr(nul + 1), packet_form(12, "second\n"))) << got;
    close(conn);
    close(srv);
}

// A server that does not answer costs each line at most a bounded wait, and
// after a failed connect the sink does not try again at once.
TEST_F(Syslog, ServerThatIsDownBacksOff)
{
    const std::string url = closed_port_url("tcp", SOCK_STREAM);
    ASSERT_FALSE(url.empty());
    ASSERT_GE(log_net_open(&net_, url.c_str()), 0);
    const uint64_t start = os_tick_ms();
    EXPECT_EQ(syslog_write(&net_, LOG2_INFO, "main", "lost\n", -1), -1);
    EXPECT_GT(net_.retry_ms, 0u);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(syslog_write(&net_, LOG2_INFO, "main", "lost\n", -1), -1);
    EXPECT_LT(os_tick_ms() - start, 5000u);
    EXPECT_EQ(net_.backoff_ms, 2000u);  // one failed try only
}

// Sockets towards port in FIN-WAIT-1: closed with data the peer never took.
int fin_wait1_towards(uint16_t port)
{
    int count = 0;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE *f = fopen(table, "r");
        if (f == nullptr)
            continue;
        char row[512];
        while (fgets(row, sizeof(row), f) != nullptr) {
            char local[64];
            char remote[64];
            unsigned state = 0;
            if (sscanf(row, "%*d: %63s %63s %x", local, remote, &state) != 3)
                continue;
            const char *colon = strrchr(remote, ':');
            if (colon != nullptr && strtoul(colon + 1, nullptr, 16) == port && state == 0x04)
                count++;
        }
        fclose(f);
    }
    return count;
}

// How a collector behaves: what its side does with the connection.
enum class peer_kind { down, refuses_udp, never_accepts, never_reads, reads_slowly };

struct peer_row {
    const char *name;
    peer_kind kind;
};

// Logs verb lines through a context to the peer for three seconds (longer
// than a stalled peer is kept) and gives the longest log call in ms.
// The FIN-WAIT-1 sockets towards port go to *lingering, counted before and
// after the context closes its sink.
uint64_t log_to_peer(const std::string &url, uint16_t port, const std::atomic<bool> &stop, int *lingering)
{
    log2_ctx *ctx = log2_ctx_new();
    log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, nullptr, 0);
    log2_ioctl(ctx, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{LOG2_VERB}), 0);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, url.c_str(), -1);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
    const std::string filler(700, 'v');
    uint64_t longest = 0;
    const uint64_t end = os_tick_ms() + 3000;
    for (int i = 0; os_tick_ms() < end && !stop.load(); i++) {
        const uint64_t t0 = os_tick_ms();
        log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "line %d %s\n", i, filler.c_str());
        longest = std::max(longest, os_tick_ms() - t0);
        if (i % 8 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    *lingering = fin_wait1_towards(port);
    log2_exit(ctx);
    *lingering += fin_wait1_towards(port);
    return longest;
}

// Collectors that are down, refuse, never accept, accept and never read, or
// read slowly: no log call waits on them (the old send waited a second with
// the logger's lock held) and no connection closed on unsent data lingers in
// FIN-WAIT-1.
TEST(SyslogPeers, NoLogCallWaitsAndNoSocketLingers)
{
    const peer_row rows[] = {
        {"down", peer_kind::down},
        {"refuses_udp", peer_kind::refuses_udp},
        {"never_accepts", peer_kind::never_accepts},
        {"never_reads", peer_kind::never_reads},
        {"reads_slowly", peer_kind::reads_slowly},
    };
    struct run {
        uint16_t port = 0;
        uint64_t longest = 0;
        int lingering = 0;
    };
    std::vector<run> runs(std::size(rows));
    std::vector<std::thread> threads;
    for (size_t r = 0; r < std::size(rows); r++) {
        threads.emplace_back([&rows, &runs, r] {
            const peer_kind kind = rows[r].kind;
            uint16_t port = 0;
            const int srv = bind_loopback(kind == peer_kind::refuses_udp ? SOCK_DGRAM : SOCK_STREAM, &port);
            if (srv < 0)
                return;
            runs[r].port = port;
            if (kind == peer_kind::down || kind == peer_kind::refuses_udp)
                close(srv);
            std::atomic<bool> stop{false};
            std::thread peer([&] {
                if (kind != peer_kind::never_reads && kind != peer_kind::reads_slowly)
                    return;
                int conn = -1;
                std::vector<int> conns;
                while (!stop.load()) {
                    pollfd p{srv, POLLIN, 0};
                    if (poll(&p, 1, 10) > 0) {
                        conn = accept(srv, nullptr, nullptr);
                        if (conn >= 0) {
                            int small = 4096;
                            setsockopt(conn, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
                            conns.push_back(conn);
                        }
                    }
                    if (kind == peer_kind::reads_slowly && conn >= 0) {
                        char buf[512];
                        recv(conn, buf, sizeof(buf), MSG_DONTWAIT);
                    }
                }
                for (const int c : conns)
                    close(c);
            });
            const std::string scheme = kind == peer_kind::refuses_udp ? "udp" : "tcp";
            runs[r].longest = log_to_peer(scheme + "://127.0.0.1:" + std::to_string(port), port, stop, &runs[r].lingering);
            stop.store(true);
            peer.join();
            if (kind != peer_kind::down && kind != peer_kind::refuses_udp)
                close(srv);
        });
    }
    for (auto &t : threads)
        t.join();
    for (size_t r = 0; r < std::size(rows); r++) {
        SCOPED_TRACE(rows[r].name);
        EXPECT_NE(runs[r].port, 0);
        EXPECT_LT(runs[r].longest, 500u);
        EXPECT_EQ(runs[r].lingering, 0);
    }
}

// A collector that stops reading for a while gets, once it reads again, how
// many lines it missed, ahead of the lines that follow.
TEST(SyslogPeers, DroppedLinesAreCountedToThePeerThatReadsAgain)
{
    uint16_t port = 0;
    const int srv = bind_loopback(SOCK_STREAM, &port);
    ASSERT_GE(srv, 0);
    log2_ctx *ctx = log2_ctx_new();
    log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, nullptr, 0);
    log2_ioctl(ctx, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{LOG2_VERB}), 0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, url.c_str(), -1);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
    log2_printf(ctx, LOG2_INFO, "t", "a.c", 1, "fn", "hello\n");
    const int conn = accept(srv, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    const std::string filler(700, 'v');
    // Not read: the socket fills and the rest is dropped.
    for (int i = 0; i < 100000 && ctx->net.dropped == 0; i++)
        log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "line %d %s\n", i, filler.c_str());
    std::string got;
    char buf[65536];
    for (int i = 0; i < 200; i++) {
        ssize_t n;
        while ((n = recv(conn, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
            got.append(buf, static_cast<size_t>(n));
        log2_printf(ctx, LOG2_INFO, "t", "a.c", 1, "fn", "after %d\n", i);
        if (got.find("after ") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(got, m, std::regex("log\\[\\d+\\]: syslog: (\\d+) log lines were dropped")))
        << got.size();
    EXPECT_GT(std::stoul(m[1]), 0u);
    EXPECT_LT(got.find("were dropped"), got.find("after "));
    log2_exit(ctx);
    close(conn);
    close(srv);
}

TEST_F(Syslog, UnusableUrlKeepsTheSinkOff)
{
    EXPECT_EQ(log_net_open(&net_, "udp://127.0.0.1:70000"), -1);
    EXPECT_EQ(net_.state, 0u);
    EXPECT_EQ(syslog_write(&net_, LOG2_INFO, "main", "x\n", -1), 0);
    EXPECT_EQ(syslog_open("no-such-host.invalid", "514", LOG_NET_UDP), -1);
}

// A name server that does not answer: every lookup waits until released (or
// two seconds, as a resolver's time-out would), then gives the loopback
// address with the port set, or fails while none is.
struct slow_names {
    static inline std::atomic<int> lookups{0};
    static inline std::atomic<bool> released{false};
    static inline std::atomic<uint16_t> port{0};
    static int resolve(const char *, const char *, int, sockaddr_storage *addr, socklen_t *len)
    {
        lookups++;
        const uint64_t end = os_tick_ms() + 2000;
        while (!released.load() && os_tick_ms() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!released.load() || port.load() == 0)
            return EAI_AGAIN;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port.load());
        memcpy(addr, &a, sizeof(a));
        *len = sizeof(a);
        return 0;
    }
};

// Logs verb lines through ctx for ms; the longest call in ms.
uint64_t log_for(log2_ctx *ctx, uint64_t ms, const char *what)
{
    uint64_t longest = 0;
    const uint64_t end = os_tick_ms() + ms;
    for (int i = 0; os_tick_ms() < end; i++) {
        const uint64_t t0 = os_tick_ms();
        log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "%s %d\n", what, i);
        longest = std::max(longest, os_tick_ms() - t0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return longest;
}

// A syslog host whose name does not resolve (the resolver hangs, then
// fails, then answers): no log call waits for it (the lookup once ran
// under the logger's lock and held every log call, and NBD with it, for the
// resolver's time-out), the failure is reported once, lookups come no
// faster than the back-off, and lines go out once the name resolves.
TEST(SyslogResolver, NoLogCallWaitsOnANameThatDoesNotResolve)
{
    for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
        SCOPED_TRACE(type == SOCK_STREAM ? "tcp" : "udp");
        uint16_t port = 0;
        const int srv = bind_loopback(type, &port);
        ASSERT_GE(srv, 0);
        slow_names::lookups.store(0);
        slow_names::released.store(false);
        slow_names::port.store(0);
        log_net_set_resolver(slow_names::resolve);
        log2_ctx *ctx = log2_ctx_new();
        log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, nullptr, 0);
        log2_ioctl(ctx, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{LOG2_VERB}), 0);
        const std::string url = std::string(type == SOCK_STREAM ? "tcp" : "udp") + "://syslog.example.com:" +
                                std::to_string(port);
        log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, url.c_str(), -1);
        log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
        stderr_capture cap;
        EXPECT_LT(log_for(ctx, 500, "hanging"), 1000u);
        EXPECT_EQ(slow_names::lookups.load(), 1);
        slow_names::released.store(true);  // and fails
        EXPECT_LT(log_for(ctx, 1500, "failing"), 1000u);
        EXPECT_LE(slow_names::lookups.load(), 3);  // at once, then after 1 s
        slow_names::port.store(port);
        const uint64_t end = os_tick_ms() + 8000;
        int conn = type == SOCK_DGRAM ? srv : -1;
        std::string got;
        while (got.find("resolved ") == std::string::npos && os_tick_ms() < end) {
            log_for(ctx, 20, "resolved");
            pollfd p{srv, POLLIN, 0};
            if (conn < 0 && poll(&p, 1, 0) > 0)
                conn = accept(srv, nullptr, nullptr);
            char buf[4096];
            ssize_t n;
            while (conn >= 0 && (n = recv(conn, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        const std::string err = cap.take();
        EXPECT_NE(got.find("resolved "), std::string::npos);
        EXPECT_NE(got.find("log lines were dropped"), std::string::npos) << got;
        const size_t told = err.find("does not resolve");
        EXPECT_NE(told, std::string::npos) << err;
        EXPECT_EQ(err.find("does not resolve", told + 1), std::string::npos) << err;
        log2_exit(ctx);
        log_net_set_resolver(nullptr);
        if (conn >= 0 && conn != srv)
            close(conn);
        close(srv);
    }
}

// A UDP collector whose port is closed refuses every other packet: the sink
// backs off as after any failure instead of opening a socket for about
// every other line.
TEST_F(Syslog, ClosedUdpPortBacksOffLikeAnyFailure)
{
    const std::string url = closed_port_url("udp", SOCK_DGRAM);
    ASSERT_FALSE(url.empty());
    ASSERT_GE(log_net_open(&net_, url.c_str()), 0);
    std::set<uint64_t> sockets;  // by the tick each was opened at
    int lines = 0;
    const uint64_t end = os_tick_ms() + 2500;
    while (os_tick_ms() < end) {
        syslog_write(&net_, LOG2_INFO, "main", "refused\n", -1);
        if (net_.connected_ms != 0)
            sockets.insert(net_.connected_ms);
        lines++;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GT(lines, 100);
    // One at the start, one after 1 s, one after 2 s more.
    EXPECT_LE(sockets.size(), 3u) << lines << " lines";
}

// A TCP collector that stops reading is reset (linger 0) after the stall:
// the lines its kernel had not acknowledged die with the connection and are
// counted with the dropped ones, so that every line logged is either read
// or counted.
TEST(SyslogPeers, LinesLostInTheResetAreCounted)
{
    uint16_t port = 0;
    const int srv = bind_loopback(SOCK_STREAM, &port);
    ASSERT_GE(srv, 0);
    int small = 4096;
    setsockopt(srv, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    log2_ctx *ctx = log2_ctx_new();
    log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, nullptr, 0);
    log2_ioctl(ctx, LOG2_CMD_LEVEL, reinterpret_cast<const void *>(intptr_t{LOG2_VERB}), 0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, url.c_str(), -1);
    log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), 0);
    const std::string filler(300, 'v');
    int sent = 0;
    log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "line %d %s\n", sent++, filler.c_str());
    const int conn = accept(srv, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    // Not read until the sink gives the connection up.
    const uint64_t end = os_tick_ms() + 3 * LOG_NET_STALL_MS;
    while (ctx->net.fd >= 0 && os_tick_ms() < end) {
        log2_printf(ctx, LOG2_VERB, "t", "a.c", 1, "fn", "line %d %s\n", sent++, filler.c_str());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_LT(ctx->net.fd, 0);
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = recv(conn, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(conn);
    // The next connection, after the back-off (no line is logged during it,
    // so none other is dropped), carries the count.
    while (os_tick_ms() < ctx->net.retry_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int next = -1;
    const uint64_t again = os_tick_ms() + 5000;
    std::string rest;
    for (int i = 0; rest.find("after") == std::string::npos && os_tick_ms() < again; i++) {
        if (i % 50 == 0)
            log2_printf(ctx, LOG2_INFO, "t", "a.c", 1, "fn", "after\n");
        pollfd p{srv, POLLIN, 0};
        if (next < 0 && poll(&p, 1, 10) > 0)
            next = accept(srv, nullptr, nullptr);
        while (next >= 0 && (n = recv(next, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
            rest.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(rest, m, std::regex("syslog: (\\d+) log lines were dropped"))) << rest;
    const long read = std::count(got.begin(), got.end(), '\0');
    EXPECT_EQ(read + std::stol(m[1]), sent) << read << " read";
    log2_exit(ctx);
    if (next >= 0)
        close(next);
    close(srv);
}

}  // namespace
