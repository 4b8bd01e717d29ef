#include "libnbd/cli_mgr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "libnbd/nbd_proto.h"
#include "libnbd/nbdsrv.h"
#include "../support/loopback_connect.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Polls cond for up to 5 s (the client threads end asynchronously).
template <typename F>
bool eventually(F cond)
{
    const auto end = clock_type::now() + std::chrono::seconds(5);
    while (clock_type::now() < end) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A blocking loopback client of the listener.
struct peer {
    int fd = -1;
    explicit peer(uint32_t port) : fd(loopback_connect(port)) {}
    ~peer() { hang_up(); }
    peer(const peer &) = delete;
    peer &operator=(const peer &) = delete;
    void hang_up()
    {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
    bool recv_all(void *buf, size_t n)
    {
        auto *p = static_cast<uint8_t *>(buf);
        while (n > 0) {
            const ssize_t r = recv(fd, p, n, 0);
            if (r <= 0) {
                return false;
            }
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    bool greeted()
    {
        uint8_t g[NBD_GREETING_SIZE];
        return recv_all(g, sizeof(g));
    }
    // Opens path with NBD_OPT_EXPORT_NAME (no zeroes) and reads the 10 bytes.
    bool open_export(const std::string &path)
    {
        uint8_t msg[4 + 16];
        be32_store(msg, NBD_FLAG_C_NO_ZEROES);
        be64_store(msg + 4, NBD_OPTS_MAGIC);
        be32_store(msg + 12, NBD_OPT_EXPORT_NAME);
        be32_store(msg + 16, static_cast<uint32_t>(path.size()));
        uint8_t info[NBD_EXPORT_INFO_SIZE];
        return greeted() && send(fd, msg, sizeof(msg), 0) == sizeof(msg) &&
               send(fd, path.data(), path.size(), 0) == static_cast<ssize_t>(path.size()) &&
               recv_all(info, sizeof(info));
    }
};

class ClientPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        nbdsrv_init();
        ASSERT_EQ(cli_mgr_init(), 0);
        ASSERT_EQ(nbd_start_server("127.0.0.1", 0), 0);
        port_ = nbd_server_port();
        ASSERT_NE(port_, 0U);
        snprintf(path_, sizeof(path_), "/tmp/nbd_pool_test_%d.img", static_cast<int>(getpid()));
        FILE *f = fopen(path_, "w");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), 1 << 20), 0);
        fclose(f);
    }
    void TearDown() override
    {
        nbd_stop_server();
        cli_mgr_exit();
        unlink(path_);
    }
    uint32_t port_ = 0;
    char path_[64] = {};
};

}  // namespace

TEST_F(ClientPool, EachClientHasItsContextAndALeavingOneIsReleased)
{
    std::vector<std::unique_ptr<peer>> peers;
    for (int i = 0; i < 10; i++) {
        peers.push_back(std::make_unique<peer>(port_));
        ASSERT_TRUE(peers.back()->open_export(path_));
    }
    EXPECT_EQ(cli_mgr_count(), 10U);
    peers[3]->hang_up();
    EXPECT_TRUE(eventually([] { return cli_mgr_count() == 9; }));
    peers[7]->hang_up();
    EXPECT_TRUE(eventually([] { return cli_mgr_count() == 8; }));
}

TEST_F(ClientPool, StopEndsIdleClientsWithinTheBoundAndSetsExited)
{
    peer idle_open(port_);
    ASSERT_TRUE(idle_open.open_export(path_));
    peer idle_handshake(port_);
    ASSERT_TRUE(idle_handshake.greeted());
    peer leaving(port_);
    ASSERT_TRUE(leaving.open_export(path_));
    EXPECT_TRUE(eventually([] { return cli_mgr_count() == 3; }));
    EXPECT_FALSE(cli_mgr_exited());

    nbd_stop_server();
    // One client leaves by itself while the stop runs: it is released once.
    leaving.hang_up();
    const auto start = clock_type::now();
    EXPECT_EQ(cli_mgr_exit(), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(cli_mgr_exited());
    EXPECT_EQ(nbdsrv_wait_exit(), 0);
    EXPECT_EQ(cli_mgr_count(), 0U);
    // The stopped sessions' sockets are closed.
    char c;
    EXPECT_EQ(recv(idle_open.fd, &c, 1, 0), 0);
    EXPECT_EQ(recv(idle_handshake.fd, &c, 1, 0), 0);
}

TEST_F(ClientPool, AcceptAfterStopAddsNoContext)
{
    EXPECT_EQ(cli_mgr_exit(), 0);
    // The accept callback's body, as a late accept would run it.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    os_ipaddr peer_addr{};
    EXPECT_EQ(cli_mgr_accept(static_cast<os_socket>(fds[0]) + 1, &peer_addr), 0);
    EXPECT_EQ(cli_mgr_count(), 0U);
    char c;
    EXPECT_EQ(recv(fds[1], &c, 1, 0), 0);  // its socket was closed
    close(fds[1]);
}

TEST(NbdServer, SecondListenerOnTheSamePortFails)
{
    ASSERT_EQ(cli_mgr_init(), 0);
    ASSERT_EQ(nbd_start_server("127.0.0.1", 0), 0);
    const uint32_t port = nbd_server_port();
    EXPECT_EQ(nbd_start_server("127.0.0.1", port), -1);
    EXPECT_EQ(nbd_stop_server(), 0);
    EXPECT_EQ(nbd_stop_server(), -1);
    cli_mgr_exit();
}
