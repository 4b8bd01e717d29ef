#include "libpal/os/os_udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "socket_fixture.h"

TEST(UdpSender, ConnectedDatagramReachesTheListener)
{
    sockaddr_in a{};
    const int srv = socktest::bound_loopback(SOCK_DGRAM, &a);
    ASSERT_GE(srv, 0);

    const uint64_t h = os_udp_open("127.0.0.1", ntohs(a.sin_port));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(os_udp_send(h, "packet", 6), 6);
    pollfd p{srv, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char buf[16] = {};
    EXPECT_EQ(recv(srv, buf, sizeof(buf), 0), 6);
    EXPECT_STREQ(buf, "packet");
    EXPECT_EQ(os_udp_close(h), 0);
    close(srv);
}

TEST(UdpSender, UnresolvableHostAndNoHandleFail)
{
    EXPECT_EQ(os_udp_open("no-such-host.invalid", 514), 0u);
    EXPECT_EQ(os_udp_send(0, "x", 1), -1);
}
