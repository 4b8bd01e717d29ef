#include "libpal/network/os_socket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "socket_fixture.h"
#include "str_log_capture.h"

namespace {

using socktest::FAMILIES;
using socktest::have_ipv6;
using socktest::owned;

int fd(os_socket s)
{
    return static_cast<int>(s - 1);
}

// A listener on an ephemeral loopback port; bound receives its address.
os_socket listen_on(const char *ip, uint8_t family, os_ipaddr *bound)
{
    os_socket s = os_socket_init(OS_SOCKET_TCP, family);
    EXPECT_NE(s, 0u);
    os_socket_reuse_addr_port(s);
    os_ipaddr a = {};
    EXPECT_TRUE(os_ipaddr_set(&a, ip, 0, family));
    EXPECT_TRUE(os_socket_bind(s, &a));
    EXPECT_TRUE(os_socket_listen(s, 16));
    EXPECT_TRUE(os_socket_local(s, bound));
    return s;
}

// Connects the non-blocking way: under way, writable, then connected.
void connect_to(os_socket client, const os_ipaddr *to)
{
    int r = os_socket_connect(client, to);
    ASSERT_GE(r, 0) << strerror(errno);
    if (r == 0) {
        ASSERT_EQ(os_socket_wait(client, OS_SOCKET_WAIT_WRITE, 2000), OS_SOCKET_WAIT_WRITE);
    }
    EXPECT_EQ(os_socket_connect(client, to), 1);
}

os_socket accept_from(os_socket listener, os_ipaddr *peer)
{
    EXPECT_EQ(os_socket_wait(listener, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
    return os_socket_accept(listener, peer);
}

struct tcp_link {
    owned listener;
    owned client;
    owned server;
    os_ipaddr bound = {};
};

void open_link(tcp_link *l, const char *ip, uint8_t family)
{
    l->listener.s = listen_on(ip, family, &l->bound);
    l->client.s   = os_socket_init(OS_SOCKET_TCP, family);
    ASSERT_NE(l->client.s, 0u);
    connect_to(l->client.s, &l->bound);
    l->server.s = accept_from(l->listener.s, nullptr);
    ASSERT_NE(l->server.s, 0u);
}

class temp_dir {
public:
    temp_dir()
    {
        char tmpl[] = "/tmp/zorv_sock_XXXXXX";
        path_       = mkdtemp(tmpl);
    }
    ~temp_dir() { std::system(("rm -rf " + path_).c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Restores the process's SIGPIPE disposition at the end of a test.
class sigpipe_default {
public:
    sigpipe_default() { old_ = signal(SIGPIPE, SIG_DFL); }
    ~sigpipe_default() { signal(SIGPIPE, old_); }

private:
    sighandler_t old_;
};

}  // namespace

TEST(SocketInit, Ipv6StreamIsNonBlockingAndClosesOnExec)
{
    if (!have_ipv6()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    owned s(os_socket_init(0x101, 2));
    ASSERT_NE(s.s, 0u);
    int domain = 0;
    int type   = 0;
    socklen_t len = sizeof(int);
    ASSERT_EQ(getsockopt(fd(s.s), SOL_SOCKET, SO_DOMAIN, &domain, &len), 0);
    ASSERT_EQ(getsockopt(fd(s.s), SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(domain, AF_INET6);
    EXPECT_EQ(type, SOCK_STREAM);
    EXPECT_NE(fcntl(fd(s.s), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd(s.s), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(SocketInit, RefusesCodesThatMapToNothing)
{
    struct row {
        uint32_t    type;
        uint32_t    family;
        const char *message;
    };
    const row rows[] = {
        {0, 1, "expr[type]: assert failed"},
        {0x401, 1, "expr[t >= 0 && p >= 0]: assert failed"},
        {0x109, 1, "expr[t >= 0 && p >= 0]: assert failed"},
        {0x101, 9, "expr[d >= 0]: assert failed"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.message);
        log_capture cap;
        EXPECT_EQ(os_socket_init(r.type, r.family), 0u);
        EXPECT_TRUE(cap.has(r.message));
    }
    // A unix socket takes protocol 0 whatever the low byte says.
    owned u(os_socket_init(0x101, 3));
    EXPECT_NE(u.s, 0u);
}

TEST(SocketTcp, RoundTripOnLoopback)
{
    for (const auto &f : FAMILIES) {
        SCOPED_TRACE(f.loopback);
        if (f.family == 2 && !have_ipv6()) {
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        }
        owned     listener;
        os_ipaddr bound = {};
        listener.s      = listen_on(f.loopback, f.family, &bound);
        EXPECT_NE(os_ipaddr_port(&bound), 0);

        owned client(os_socket_init(OS_SOCKET_TCP, f.family));
        connect_to(client.s, &bound);
        os_ipaddr peer = {};
        owned     server(accept_from(listener.s, &peer));
        ASSERT_NE(server.s, 0u);

        // The accepted peer is the client's own address, all 16 bytes and port.
        os_ipaddr client_local = {};
        ASSERT_TRUE(os_socket_local(client.s, &client_local));
        EXPECT_TRUE(os_ipaddr_is_equal(&peer, &client_local));
        EXPECT_EQ(os_ipaddr_family(&peer), f.family);
        os_ipaddr server_peer = {};
        ASSERT_TRUE(os_socket_peer(server.s, &server_peer));
        EXPECT_TRUE(os_ipaddr_is_equal(&server_peer, &client_local));

        bool nodelay = false;
        EXPECT_TRUE(os_socket_ctrl(server.s, OS_SOCKET_CTRL_GET_TCP_NODELAY, &nodelay));
        EXPECT_TRUE(nodelay);
        bool blocking = true;
        EXPECT_TRUE(os_socket_ctrl(server.s, OS_SOCKET_CTRL_GET_BLOCK, &blocking));
        EXPECT_FALSE(blocking);

        char buf[32] = {};
        errno        = 0;
        EXPECT_EQ(os_socket_recv(server.s, buf, sizeof(buf)), 0);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(os_socket_send(client.s, buf, 0), 0);

        EXPECT_EQ(os_socket_send(client.s, "hello", 5), 5);
        ASSERT_EQ(os_socket_wait(server.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
        EXPECT_EQ(os_socket_recv(server.s, buf, sizeof(buf)), 5);
        EXPECT_EQ(std::string(buf, 5), "hello");

        // A closed peer reads as 0 with errno untouched.
        client.reset();
        ASSERT_EQ(os_socket_wait(server.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
        errno = EDOM;
        EXPECT_EQ(os_socket_recv(server.s, buf, sizeof(buf)), 0);
        EXPECT_EQ(errno, EDOM);
    }
}

TEST(SocketTcp, SecondBindOnTheSamePortFails)
{
    owned     first;
    os_ipaddr bound = {};
    first.s         = listen_on("127.0.0.1", 1, &bound);

    owned second(os_socket_init(OS_SOCKET_TCP, 1));
    os_socket_reuse_addr_port(second.s);
    EXPECT_FALSE(os_socket_bind(second.s, &bound));
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST(SocketTcp, Ipv4AndIpv6ListenersShareAPort)
{
    if (!have_ipv6()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    owned     v6;
    os_ipaddr bound6 = {};
    v6.s             = listen_on("::", 2, &bound6);
    owned     v4(os_socket_init(OS_SOCKET_TCP, 1));
    os_ipaddr any4 = {};
    ASSERT_TRUE(os_ipaddr_set(&any4, "0.0.0.0", os_ipaddr_port(&bound6), 1));
    EXPECT_TRUE(os_socket_bind(v4.s, &any4)) << strerror(errno);
}

TEST(SocketWait, TimeOutsReturnWithinBounds)
{
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned a(pair[0]);
    owned b(pair[1]);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ, 300), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(2));

    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ, 0), 0);
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_WRITE, 0), OS_SOCKET_WAIT_WRITE);
    ASSERT_EQ(os_socket_send(b.s, "x", 1), 1);
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ, 0), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, -1), 3);

    // A hang-up makes the socket ready, so a waiting reader learns of it.
    char c;
    ASSERT_EQ(os_socket_recv(a.s, &c, 1), 1);
    b.reset();
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
}

TEST(SocketWait, RefusedConnectionIsAnError)
{
    os_ipaddr closed_port = {};
    {
        owned l;
        l.s = listen_on("127.0.0.1", 1, &closed_port);
    }
    owned client(os_socket_init(OS_SOCKET_TCP, 1));
    int   r = os_socket_connect(client.s, &closed_port);
    if (r == 0) {
        EXPECT_EQ(os_socket_wait(client.s, OS_SOCKET_WAIT_WRITE, 2000), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
}

TEST(SocketWait, DescriptorAbove1024)
{
    constexpr int HIGH = 1500;
    rlimit        old  = {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    if (old.rlim_cur <= HIGH + 1) {
        if (old.rlim_max <= HIGH + 1) {
            GTEST_SKIP() << "open-file hard limit " << old.rlim_max << " is below " << HIGH + 2;
        }
        rlimit raised = old;
        raised.rlim_cur = HIGH + 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned low(pair[0]);
    owned writer(pair[1]);
    int   high_fd = fcntl(fd(low.s), F_DUPFD_CLOEXEC, HIGH);
    ASSERT_GE(high_fd, HIGH);
    owned high(static_cast<os_socket>(high_fd) + 1);

    EXPECT_EQ(os_socket_wait(high.s, OS_SOCKET_WAIT_READ, 100), 0);
    ASSERT_EQ(os_socket_send(writer.s, "z", 1), 1);
    EXPECT_EQ(os_socket_wait(high.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
    char c = 0;
    EXPECT_EQ(os_socket_recv(high.s, &c, 1), 1);
    EXPECT_EQ(c, 'z');
    high.reset();
    setrlimit(RLIMIT_NOFILE, &old);
}

TEST(SocketSend, ClosedPeerGivesAnErrorNotSigpipe)
{
    sigpipe_default dfl;  // a SIGPIPE would end the test process
    {
        os_socket pair[2];
        ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
        owned a(pair[0]);
        os_socket_exit(pair[1]);
        EXPECT_EQ(os_socket_send(a.s, "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
        char   byte = 'y';
        iovec  iov  = {&byte, 1};
        EXPECT_EQ(os_socket_sendv(a.s, &iov, 1), -1);
        EXPECT_EQ(errno, EPIPE);
        EXPECT_FALSE(os_socket_send_all(a.s, "abc", 3));
    }
    tcp_link l;
    open_link(&l, "127.0.0.1", 1);
    l.server.reset();
    int64_t r = 0;
    for (int i = 0; i < 200 && r >= 0; ++i) {
        r = os_socket_send(l.client.s, "data", 4);
        if (r >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << strerror(errno);
}

TEST(SocketCtrl, SettersReachTheSocket)
{
    owned s(os_socket_init(OS_SOCKET_TCP, 1));
    struct row {
        uint64_t ctrl;
        int      value;
        int      level;
        int      name;
        int      expected;  // what the socket then reports
    };
    const row rows[] = {
        {OS_SOCKET_CTRL_SET_TCP_NODELAY, 1, IPPROTO_TCP, TCP_NODELAY, 1},
        {OS_SOCKET_CTRL_SET_KEEPALIVE, 1, SOL_SOCKET, SO_KEEPALIVE, 1},
        {OS_SOCKET_CTRL_SET_KEEPIDLE, 30, IPPROTO_TCP, TCP_KEEPIDLE, 30},
        {OS_SOCKET_CTRL_SET_KEEPINTVL, 5, IPPROTO_TCP, TCP_KEEPINTVL, 5},
        {OS_SOCKET_CTRL_SET_KEEPCNT, 3, IPPROTO_TCP, TCP_KEEPCNT, 3},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.ctrl);
        EXPECT_TRUE(os_socket_ctrl(s.s, r.ctrl, r.value));
        int       got = -1;
        socklen_t len = sizeof(got);
        ASSERT_EQ(getsockopt(fd(s.s), r.level, r.name, &got, &len), 0);
        EXPECT_EQ(got != 0 ? got : 0, r.expected);
    }

    struct buff_row {
        uint64_t set;
        uint64_t get;
    };
    const buff_row buffs[] = {{OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE},
                              {OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE}};
    for (const auto &b : buffs) {
        SCOPED_TRACE(b.set);
        int64_t before = 0;
        int64_t after  = 0;
        EXPECT_TRUE(os_socket_ctrl(s.s, b.get, &before));
        EXPECT_TRUE(os_socket_ctrl(s.s, b.set, 4 * static_cast<int>(before)));
        EXPECT_TRUE(os_socket_ctrl(s.s, b.get, &after));
        EXPECT_GT(after, before);
    }

    bool enable = true;
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 0));
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_GET_TCP_NODELAY, &enable));
    EXPECT_FALSE(enable);

    bool blocking = false;
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_SET_BLOCK, true));
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_GET_BLOCK, &blocking));
    EXPECT_TRUE(blocking);
    EXPECT_EQ(fcntl(fd(s.s), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_SET_BLOCK, false));
    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_GET_BLOCK, &blocking));
    EXPECT_FALSE(blocking);

    EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_SET_NOSIGPIPE, 1));
}

TEST(SocketCtrl, RefusalsAndFailedReads)
{
    owned s(os_socket_init(OS_SOCKET_TCP, 1));
    {
        log_capture cap;
        EXPECT_FALSE(os_socket_ctrl(s.s, 14, 1));
        EXPECT_TRUE(cap.has("unknown socket ctrl: 14\n"));
    }
    struct row {
        uint64_t    ctrl;
        const char *message;
    };
    const row missing[] = {
        {OS_SOCKET_CTRL_GET_BLOCK, "expr[pis_block]: assert failed"},
        {OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, "expr[pbuff_size]: assert failed"},
        {OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, "expr[pbuff_size]: assert failed"},
        {OS_SOCKET_CTRL_GET_TCP_NODELAY, "expr[penable]: assert failed"},
    };
    for (const auto &r : missing) {
        SCOPED_TRACE(r.message);
        log_capture cap;
        EXPECT_FALSE(os_socket_ctrl(s.s, r.ctrl, nullptr));
        EXPECT_TRUE(cap.has(r.message));
    }

    // Reads that fail report false with a zero result.
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned   a(pair[0]);
    owned   b(pair[1]);
    bool    enable = true;
    EXPECT_FALSE(os_socket_ctrl(a.s, OS_SOCKET_CTRL_GET_TCP_NODELAY, &enable));
    EXPECT_FALSE(enable);
    int     pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    owned   r(static_cast<os_socket>(pipe_fds[0]) + 1);
    owned   w(static_cast<os_socket>(pipe_fds[1]) + 1);
    int64_t size = 77;
    EXPECT_FALSE(os_socket_ctrl(r.s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &size));
    EXPECT_EQ(size, 0);

    owned udp(os_socket_init(OS_SOCKET_UDP, 1));
    EXPECT_FALSE(os_socket_ctrl(udp.s, OS_SOCKET_CTRL_ADD_MEMBERSHIP, "not.a.group"));
    if (!os_socket_ctrl(udp.s, OS_SOCKET_CTRL_ADD_MEMBERSHIP, "239.1.2.3")) {
        EXPECT_TRUE(errno == ENODEV || errno == EADDRNOTAVAIL) << strerror(errno);
    }
}

TEST(SocketPair, StreamAndDatagramPairs)
{
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    {
        owned a(pair[0]);
        owned b(pair[1]);
        EXPECT_NE(fcntl(fd(a.s), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd(b.s), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(os_socket_send(a.s, "p", 1), 1);
        EXPECT_EQ(os_socket_send(b.s, "k", 1), 1);
        char c = 0;
        EXPECT_EQ(os_socket_recv(b.s, &c, 1), 1);
        EXPECT_EQ(c, 'p');
        EXPECT_EQ(os_socket_recv(a.s, &c, 1), 1);
        EXPECT_EQ(c, 'k');
    }
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_UDP, pair));
    {
        owned a(pair[0]);
        owned b(pair[1]);
        EXPECT_EQ(os_socket_send(a.s, "one", 3), 3);
        EXPECT_EQ(os_socket_send(a.s, "three", 5), 5);
        char buf[16];
        EXPECT_EQ(os_socket_recv(b.s, buf, sizeof(buf)), 3);
        EXPECT_EQ(os_socket_recv(b.s, buf, sizeof(buf)), 5);
    }
    log_capture cap;
    EXPECT_FALSE(os_socket_pair(0x400, pair));
    EXPECT_TRUE(cap.has("expr[t >= 0]: assert failed"));
    EXPECT_FALSE(os_socket_pair(OS_SOCKET_TCP, nullptr));
    EXPECT_TRUE(cap.has("expr[type && pair]: assert failed"));
}

TEST(SocketAll, MovesEveryByteOrReportsTheClosedPeer)
{
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned a(pair[0]);
    owned b(pair[1]);

    std::vector<uint8_t> out(4 << 20);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    }
    std::vector<uint8_t> in(out.size());
    bool        sent = false;
    std::thread writer([&] { sent = os_socket_send_all(a.s, out.data(), out.size()); });
    EXPECT_TRUE(os_socket_recv_all(b.s, in.data(), in.size()));
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(in, out);

    // Half of what was asked, then the peer goes away.
    ASSERT_EQ(os_socket_send(a.s, out.data(), 100), 100);
    a.reset();
    EXPECT_FALSE(os_socket_recv_all(b.s, in.data(), 200));
}

TEST(SocketAll, InterruptedWaitsGoOn)
{
    // A signal that breaks the wait must not end the transfer half-way.
    struct sigaction act = {};
    struct sigaction old = {};
    act.sa_handler       = [](int) {};
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned a(pair[0]);
    owned b(pair[1]);

    char              in[6] = {};
    std::atomic<bool> done{false};
    bool              got = false;
    std::thread       reader([&] {
        got  = os_socket_recv_all(b.s, in, sizeof(in));
        done = true;
    });
    ASSERT_EQ(os_socket_send(a.s, "abc", 3), 3);
    for (int i = 0; i < 5 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(reader.native_handle(), SIGUSR1);
    }
    EXPECT_FALSE(done);
    ASSERT_EQ(os_socket_send(a.s, "def", 3), 3);
    reader.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(std::string(in, sizeof(in)), "abcdef");
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(SocketUdp, DatagramsCarryTheirAddresses)
{
    for (const auto &f : FAMILIES) {
        SCOPED_TRACE(f.loopback);
        if (f.family == 2 && !have_ipv6()) {
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        }
        owned     rx(os_socket_init(OS_SOCKET_UDP, f.family));
        owned     tx(os_socket_init(OS_SOCKET_UDP, f.family));
        os_ipaddr at = {};
        ASSERT_TRUE(os_ipaddr_set(&at, f.loopback, 0, f.family));
        ASSERT_TRUE(os_socket_bind(rx.s, &at));
        ASSERT_TRUE(os_socket_bind(tx.s, &at));
        os_ipaddr rx_addr = {};
        os_ipaddr tx_addr = {};
        ASSERT_TRUE(os_socket_local(rx.s, &rx_addr));
        ASSERT_TRUE(os_socket_local(tx.s, &tx_addr));

        EXPECT_EQ(os_socket_usend(tx.s, &rx_addr, "ping", 4), 4);
        ASSERT_EQ(os_socket_wait(rx.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
        char      buf[16] = {};
        os_ipaddr from    = {};
        EXPECT_EQ(os_socket_urecv(rx.s, &from, buf, sizeof(buf)), 4);
        EXPECT_TRUE(os_ipaddr_is_equal(&from, &tx_addr));

        char  head[2] = {'a', 'b'};
        char  tail[3] = {'c', 'd', 'e'};
        iovec out[2]  = {{head, 2}, {tail, 3}};
        EXPECT_EQ(os_socket_usendv(tx.s, &rx_addr, out, 2), 5);
        ASSERT_EQ(os_socket_wait(rx.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
        char  r1[1];
        char  r2[8] = {};
        iovec in[2] = {{r1, 1}, {r2, sizeof(r2)}};
        os_ipaddr from2 = {};
        EXPECT_EQ(os_socket_urecvv(rx.s, &from2, in, 2), 5);
        EXPECT_EQ(r1[0], 'a');
        EXPECT_STREQ(r2, "bcde");
        EXPECT_TRUE(os_ipaddr_is_equal(&from2, &tx_addr));
    }
}

TEST(SocketVectors, GatherAndScatterOnAStream)
{
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned a(pair[0]);
    owned b(pair[1]);
    char  x[3] = {'1', '2', '3'};
    char  y[2] = {'4', '5'};
    iovec out[2] = {{x, 3}, {y, 2}};
    EXPECT_EQ(os_socket_sendv(a.s, out, 2), 5);
    char  p[2];
    char  q[3];
    iovec in[2] = {{p, 2}, {q, 3}};
    EXPECT_EQ(os_socket_recvv(b.s, in, 2), 5);
    EXPECT_EQ(std::string(p, 2) + std::string(q, 3), "12345");
    errno = 0;
    EXPECT_EQ(os_socket_recvv(b.s, in, 2), 0);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(SocketUnix, PathAndAbstractListeners)
{
    temp_dir          dir;
    const std::string path = dir.path() + "/srv.sock";
    const std::string abstract_name = "zorv-test-" + std::to_string(getpid());
    struct row {
        const char *name;
        uint8_t     abstract;
    };
    const row rows[] = {{path.c_str(), 0}, {abstract_name.c_str(), 1}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        os_ipaddr addr = {};
        ASSERT_TRUE(os_ipaddr_unix_set_cstr(&addr, r.name, r.abstract));
        owned listener(os_socket_init(OS_SOCKET_TCP, 3));
        ASSERT_TRUE(os_socket_bind(listener.s, &addr)) << strerror(errno);
        ASSERT_TRUE(os_socket_listen(listener.s, 4));
        os_ipaddr local = {};
        ASSERT_TRUE(os_socket_local(listener.s, &local));
        EXPECT_TRUE(os_ipaddr_is_equal(&local, &addr));
        EXPECT_EQ(os_unixaddr_is_abstract(os_ipaddr_unix(&local)), r.abstract != 0);

        owned client(os_socket_init(OS_SOCKET_TCP, 3));
        connect_to(client.s, &addr);
        owned server(accept_from(listener.s, nullptr));
        ASSERT_NE(server.s, 0u);
        EXPECT_EQ(os_socket_send(client.s, "u", 1), 1);
        char c = 0;
        ASSERT_EQ(os_socket_wait(server.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
        EXPECT_EQ(os_socket_recv(server.s, &c, 1), 1);
        EXPECT_EQ(c, 'u');
    }
}

TEST(SocketEnd, KillAndExit)
{
    tcp_link l;
    open_link(&l, "127.0.0.1", 1);
    EXPECT_TRUE(os_socket_kill(l.client.s, 1));
    ASSERT_EQ(os_socket_wait(l.server.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
    char c;
    errno = 0;
    EXPECT_EQ(os_socket_recv(l.server.s, &c, 1), 0);
    EXPECT_EQ(errno, 0);  // end of stream, not would-block

    log_capture cap;
    owned       unconnected(os_socket_init(OS_SOCKET_TCP, 1));
    EXPECT_FALSE(os_socket_kill(unconnected.s, 2));
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_TRUE(cap.has("failed, eno: "));

    os_socket s = os_socket_init(OS_SOCKET_TCP, 1);
    EXPECT_TRUE(os_socket_exit(s));
    EXPECT_FALSE(os_socket_exit(s));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(cap.has("failed, errno: "));
}

TEST(SocketPrecondition, NoHandleOrNoAddressFails)
{
    log_capture cap;
    os_ipaddr   empty = {};
    char        buf[4];
    struct row {
        std::function<int64_t()> call;
        int64_t                  result;
        const char              *message;
    };
    owned s(os_socket_init(OS_SOCKET_UDP, 1));
    const row rows[] = {
        {[&] { return os_socket_recv(0, buf, 4); }, -1, "expr[sock && data]: assert failed"},
        {[&] { return os_socket_send(s.s, nullptr, 4); }, -1, "expr[sock && data]: assert failed"},
        {[&] { return static_cast<int64_t>(os_socket_wait(0, 1, 0)); }, -1, "expr[sock]: assert failed"},
        {[&] { return static_cast<int64_t>(os_socket_wait_impl(-1, 1, 0)); }, -1, "expr[fd >= 0]: assert failed"},
        {[&] { return static_cast<int64_t>(os_socket_connect(0, &empty)); }, -1, "expr[sock && addr]: assert failed"},
        {[&] { return static_cast<int64_t>(os_socket_connect(s.s, &empty)); }, -1,
         "expr[!os_ipaddr_is_empty(addr)]: assert failed"},
        {[&] { return os_socket_usend(s.s, &empty, buf, 4); }, -1, "expr[!os_ipaddr_is_empty(addr)]: assert failed"},
        {[&] { return os_socket_sendv(s.s, nullptr, 0); }, -1, "expr[sock && list && size]: assert failed"},
        {[&] { return static_cast<int64_t>(os_socket_accept(0, nullptr)); }, 0, "expr[sock]: assert failed"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.message);
        cap.clear();
        EXPECT_EQ(r.call(), r.result);
        EXPECT_TRUE(cap.has(r.message));
    }
}

TEST(SockAddr, SaveAndLoadSystemRecords)
{
    struct row {
        const char *text;
        uint32_t    scope;
        uint32_t    kept_scope;
    };
    const row rows[] = {{"fe80::1", 7, 7}, {"ff02::1", 5, 5}, {"2001:db8::1", 7, 0}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        sockaddr_in6 in6 = {};
        in6.sin6_family  = AF_INET6;
        in6.sin6_port    = htons(4242);
        in6.sin6_scope_id = r.scope;
        os_ipv6 v6;
        ASSERT_TRUE(os_ipv6_cstr_set(&v6, r.text));
        memcpy(&in6.sin6_addr, v6.addr, 16);
        os_ipaddr a = {};
        EXPECT_EQ(os_sockaddr_save(&a, reinterpret_cast<sockaddr *>(&in6)), static_cast<int>(sizeof(in6)));
        EXPECT_EQ(a.value.ipv6.scope, r.kept_scope);
        EXPECT_EQ(os_ipaddr_port(&a), 4242);

        a.value.ipv6.scope   = r.scope;
        sockaddr_storage out = {};
        EXPECT_EQ(os_sockaddr_load(&out, &a), static_cast<int>(sizeof(sockaddr_in6)));
        EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&out)->sin6_scope_id, r.kept_scope);
        EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&out)->sin6_port, htons(4242));
    }

    // No ip loads as the any address with the port.
    os_ipaddr none = {};
    ASSERT_TRUE(os_ipaddr_set(&none, nullptr, 8080, 1));
    sockaddr_storage out = {};
    memset(&out, 0xee, sizeof(out));
    ASSERT_EQ(os_sockaddr_load(&out, &none), static_cast<int>(sizeof(sockaddr_in)));
    const auto *in = reinterpret_cast<sockaddr_in *>(&out);
    EXPECT_EQ(in->sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(in->sin_port, htons(8080));

    log_capture cap;
    sockaddr_un un  = {};
    un.sun_family   = AF_UNIX;
    un.sun_path[0]  = '\0';
    memset(un.sun_path + 1, 'n', sizeof(un.sun_path) - 1);  // 107-byte abstract name
    os_ipaddr a = {};
    EXPECT_EQ(os_sockaddr_save(&a, reinterpret_cast<sockaddr *>(&un)), 0);
    EXPECT_TRUE(cap.has("expr[n < sizeof(addru->sun_path) - 1]: assert failed"));
    un.sun_path[sizeof(un.sun_path) - 1] = '\0';
    EXPECT_EQ(os_sockaddr_save(&a, reinterpret_cast<sockaddr *>(&un)), static_cast<int>(sizeof(un)));
    EXPECT_TRUE(os_unixaddr_is_abstract(os_ipaddr_unix(&a)));
    EXPECT_EQ(strlen(os_ipaddr_unix(&a)->path), sizeof(un.sun_path) - 2);

    sockaddr other = {};
    other.sa_family = AF_APPLETALK;
    EXPECT_EQ(os_sockaddr_save(&a, &other), 0);
    EXPECT_TRUE(cap.has("expr[0]: assert failed"));

    // The longest abstract name the record holds does not fit the system's.
    ASSERT_TRUE(os_ipaddr_unix_set_cstr(&a, std::string(107, 'n').c_str(), 1));
    EXPECT_EQ(os_sockaddr_load(&out, &a), 0);
}

TEST(AddrInfo, NamesAndAddresses)
{
    os_ipaddr a = {};
    ASSERT_TRUE(os_ipaddr_set(&a, nullptr, 8080, 1));
    ASSERT_TRUE(os_addrinfo_addr("localhost", &a));
    char buf[OS_IPADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_cstr(&a, buf, sizeof(buf)), "127.0.0.1:8080");

    char name[256];
    EXPECT_STREQ(os_addrinfo_name(&a, name, sizeof(name)), "localhost");
    os_ipaddr unnamed = {};
    ASSERT_TRUE(os_ipaddr_set(&unnamed, "192.0.2.1", 0, 1));
    EXPECT_EQ(os_addrinfo_name(&unnamed, name, sizeof(name)), nullptr);

    os_ipaddr before = a;
    EXPECT_FALSE(os_addrinfo_addr("no-such-host.invalid", &a));
    EXPECT_EQ(memcmp(&before, &a, sizeof(a)), 0);
}

TEST(SocketUdp, SenderWithoutAnAddressLeavesTheSourceAlone)
{
    // Stream and unbound unix senders give no source address: the data still
    // arrives, the caller's record stays as it was and nothing is reported.
    os_socket pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_TCP, pair));
    owned     a(pair[0]);
    owned     b(pair[1]);
    os_ipaddr kept = {};
    ASSERT_TRUE(os_ipaddr_set(&kept, "10.1.2.3", 5, 1));
    struct row {
        const char                                *name;
        std::function<int64_t(os_ipaddr *, char *)> call;
    };
    const row rows[] = {
        {"urecv", [&](os_ipaddr *src, char *buf) { return os_socket_urecv(b.s, src, buf, 8); }},
        {"urecvv",
         [&](os_ipaddr *src, char *buf) {
             iovec v = {buf, 8};
             return os_socket_urecvv(b.s, src, &v, 1);
         }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(os_socket_send(a.s, "abc", 3), 3);
        log_capture cap;
        os_ipaddr   src     = kept;
        char        buf[8] = {};
        EXPECT_EQ(r.call(&src, buf), 3);
        EXPECT_EQ(std::string(buf, 3), "abc");
        EXPECT_TRUE(os_ipaddr_is_equal(&src, &kept));
        EXPECT_FALSE(cap.has("assert failed"));
    }
}
