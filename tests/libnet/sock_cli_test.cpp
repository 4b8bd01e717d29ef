#include "libnet/sock_cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libpal/basic/verr.h"
#include "net_fixture.h"

using namespace nettest;

namespace {

// A listener whose accept queue is full: further connects get no answer.
struct silent_listener {
    owned l;
    std::vector<owned> fillers;
    uint32_t port = 0;

    silent_listener()
    {
        l.s = listen_on("127.0.0.1", OS_IPADDR_FAMILY_IPV4, &port, 0);
        for (int i = 0; i < 4; i++) {
            sock_conn_opts o = {};
            o.nowait = 1;
            fillers.emplace_back(sock_tcp_connect("127.0.0.1", port, &o, nullptr));
        }
        sleep_ms(100);
    }
};

}  // namespace

TEST(SockTcpConnect, RefusedPortFailsAtOnce)
{
    uint32_t port = 0;
    { owned probe(listen_on("127.0.0.1", OS_IPADDR_FAMILY_IPV4, &port)); }
    sock_conn_opts o = {};
    o.timeout = 5000;
    verr err = {};
    const uint64_t t0 = now_ms();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port, &o, &err), 0u);
    EXPECT_LT(now_ms() - t0, 2000u);
    const std::string expected = "connect 127.0.0.1:" + std::to_string(port) + " ";
    EXPECT_EQ(std::string(err.msg).rfind(expected, 0), 0u) << err.msg;
}

TEST(SockTcpConnect, SilentPeerTimesOutAndAnAbortStopsTheWait)
{
    silent_listener target;
    sock_conn_opts o = {};
    o.timeout = 600;
    verr err = {};
    uint64_t t0 = now_ms();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", target.port, &o, &err), 0u);
    uint64_t spent = now_ms() - t0;
    EXPECT_GE(spent, 550u);
    EXPECT_LT(spent, 3000u);
    EXPECT_EQ(std::string(err.msg), "connect 127.0.0.1:" + std::to_string(target.port) + " timeout");

    net_abort ab = {};
    o.timeout = 10000;
    o.abort = &ab;
    std::thread stopper([&] {
        sleep_ms(300);
        ab.stop.store(1);
    });
    t0 = now_ms();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", target.port, &o, &err), 0u);
    spent = now_ms() - t0;
    stopper.join();
    EXPECT_GE(spent, 250u);
    EXPECT_LT(spent, 2000u);
    EXPECT_STREQ(err.msg, "User request stop");
}

TEST(SockTcpConnect, NoWaitReturnsTheSocketUnderWay)
{
    silent_listener target;
    sock_conn_opts o = {};
    o.nowait = 1;
    o.timeout = 10000;
    const uint64_t t0 = now_ms();
    owned s(sock_tcp_connect("127.0.0.1", target.port, &o, nullptr));
    EXPECT_NE(s.s, 0u);
    EXPECT_LT(now_ms() - t0, 5000u);
}

TEST(SockTcpConnect, OptionsReachTheSocket)
{
    for (const family_case &f : FAMILIES) {
        if (f.family == OS_IPADDR_FAMILY_IPV6 && !have_ipv6())
            continue;
        uint32_t port = 0;
        owned l(listen_on(f.loopback, f.family, &port));
        sock_conn_opts o = {};
        o.timeout = 2000;
        o.buf_size = 65536;
        verr err = {};
        owned s(sock_tcp_connect(f.loopback, port, &o, &err));
        ASSERT_NE(s.s, 0u) << err.msg;
        int64_t rcv = 0;
        bool nodelay = false;
        EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &rcv));
        EXPECT_GE(rcv, 65536);
        EXPECT_TRUE(os_socket_ctrl(s.s, OS_SOCKET_CTRL_GET_TCP_NODELAY, &nodelay));
        EXPECT_TRUE(nodelay);
        os_ipaddr peer = {};
        EXPECT_TRUE(os_socket_peer(s.s, &peer));
        EXPECT_EQ(os_ipaddr_port(&peer), port);
    }
}

TEST(SockTcpConnect, UnknownHostFailsWithItsName)
{
    sock_conn_opts o = {};
    o.timeout = 1000;
    verr err = {};
    EXPECT_EQ(sock_tcp_connect("not an address", 80, &o, &err), 0u);
    EXPECT_STREQ(err.msg, "addrinfo_addr not an address failed");
    EXPECT_EQ(err.code, -2);
}

TEST(SockClose, ShutsDownAndCloses)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    EXPECT_EQ(sock_shutdown(a.s, 1), 0);
    char c = 0;
    EXPECT_FALSE(os_socket_recv_all(b.s, &c, 1));  // the peer sees the end
    EXPECT_EQ(sock_close(a.release()), 0);
}
