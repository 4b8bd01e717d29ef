#include "libnet/libnet.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/verr.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "libpal/os/posix/os_serial.h"
#include "net_fixture.h"
#include "str_log_capture.h"
#include "wakeups.h"

using namespace nettest;

namespace {

// Runs body once per loopback family the host has.
void for_each_family(const std::function<void(const family_case &)> &body)
{
    for (const family_case &f : FAMILIES) {
        if (f.family == OS_IPADDR_FAMILY_IPV6 && !have_ipv6())
            continue;
        SCOPED_TRACE(f.loopback);
        body(f);
    }
}

void send_text(os_socket s, const std::string &text)
{
    ASSERT_TRUE(os_socket_send_all(s, text.data(), text.size()));
}

void mem_conn(net_conn &c)
{
    verr err = {};
    EXPECT_EQ(net_open2(&c, "net://mem", &err), 0);
}

}  // namespace

TEST(NetSockRead, PeerSilentAfterPartReturnsTheCountOnTimeout)
{
    for_each_family([](const family_case &f) {
        owned a, b;
        ASSERT_TRUE(tcp_pair(f, a, b));
        net_conn c = {};
    sock_conn(c, a.s, 300);
        char buf[28];
        EXPECT_EQ(net_read(&c, buf, 28), 0);  // nothing at all
        send_text(b.s, std::string(10, 'x'));
        EXPECT_EQ(net_read(&c, buf, 28), 10);
        EXPECT_EQ(c.disconnected, 0);
    });
}

TEST(NetSockRead, PeerCloseMidBufferMarksDisconnected)
{
    for_each_family([](const family_case &f) {
        owned a, b;
        ASSERT_TRUE(tcp_pair(f, a, b));
        net_conn c = {};
    sock_conn(c, a.release(), 2000);
        send_text(b.s, "12345");
        b.reset();
        char buf[28];
        EXPECT_EQ(net_read(&c, buf, 28), 5);
        EXPECT_EQ(c.disconnected, 1);
        EXPECT_EQ(net_read(&c, buf, 1), -1);
        EXPECT_EQ(net_write(&c, "x", 1), -1);
        EXPECT_EQ(net_close(&c), 0);
        EXPECT_EQ(c.disconnected, 0);
        EXPECT_EQ(c.handle, 0u);
    });
}

TEST(NetSockRead, SlowPeerCompletesBecauseProgressResetsTheTimeout)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    // One byte every 100 ms against a 300 ms time-out: 1.2 s in all.
    net_conn c = {};
    sock_conn(c, a.s, 300);
    std::thread peer([&] {
        for (int i = 0; i < 12; i++) {
            sleep_ms(100);
            os_socket_send_all(b.s, "z", 1);
        }
    });
    char buf[12];
    EXPECT_EQ(net_read(&c, buf, 12), 12);
    peer.join();
}

TEST(NetSockRead, OneMebibyteInPausedChunksArrivesWhole)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    constexpr size_t k_total = 1 << 20;
    constexpr size_t k_chunk = 64 << 10;
    net_conn c = {};
    sock_conn(c, a.s, 300);
    std::thread peer([&] {
        std::vector<uint8_t> chunk(k_chunk);
        for (size_t off = 0; off < k_total; off += k_chunk) {
            for (size_t i = 0; i < k_chunk; i++)
                chunk[i] = static_cast<uint8_t>((off + i) * 7);
            os_socket_send_all(b.s, chunk.data(), chunk.size());
            sleep_ms(100);
        }
    });
    std::vector<uint8_t> got(k_total);
    EXPECT_EQ(net_read(&c, got.data(), static_cast<int32_t>(k_total)), static_cast<int32_t>(k_total));
    peer.join();
    for (size_t i = 0; i < k_total; i += 4093)
        ASSERT_EQ(got[i], static_cast<uint8_t>(i * 7)) << i;
}

// A connection waiting for its peer, idle, sleeps: no wake-up in 1.5 s
// (a wait in 300 ms slices wakes five times), and the stop (its state set,
// then the socket shut down, as every stopper does) ends the wait at once.
TEST(NetSockIdle, AWaitForThePeerSleepsUntilTheStopShutsTheSocket)
{
    struct row {
        const char *what;
        int32_t timeout;  // the connection's
        int (*wait)(net_conn *c);
        int on_stop;  // what the wait returns then
    };
    const row rows[] = {
        {"next request: net_wait_readable, no limit", 3000, [](net_conn *c) { return net_wait_readable(c, -1); }, 1},
        {"read, no limit", -1,
         [](net_conn *c) {
             char buf[4];
             return static_cast<int>(net_read(c, buf, sizeof(buf)));
         },
         -1},
        {"read under a 20 s time-out", 20000,
         [](net_conn *c) {
             char buf[4];
             return static_cast<int>(net_read(c, buf, sizeof(buf)));
         },
         -1},
        {"write to a peer that does not read, no limit", -1,
         [](net_conn *c) {
             std::vector<char> big(64 << 20, 'w');
             return static_cast<int>(net_write(c, big.data(), static_cast<int32_t>(big.size())));
         },
         -1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        owned a, b;
        ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
        net_conn c = {};
        sock_conn(c, a.s, r.timeout);
        std::atomic<pid_t> tid{0};
        std::atomic<bool> done{false};
        int result = 0;
        std::thread waiter([&] {
            tid = gettid();
            result = r.wait(&c);
            done = true;
        });
        sleep_ms(300);  // into its wait (a write first fills the socket's buffers)
        const uint64_t from = thread_wakeups(tid);
        sleep_ms(1500);
        EXPECT_LE(thread_wakeups(tid) - from, 1u);
        ASSERT_FALSE(done.load());
        c.stop.store(NET_STOP_BY_STOPPER);
        os_socket_kill(a.s, 2);
        const uint64_t t0 = now_ms();
        while (!done.load() && now_ms() - t0 < 2000)
            sleep_ms(5);
        // Unending for a wait that only the stop state or its time-out could end.
        EXPECT_TRUE(done.load());
        if (!done.load()) {
            waiter.detach();
            return;
        }
        waiter.join();
        EXPECT_EQ(result, r.on_stop);
        // Whatever the wait said, the next transfer finds the stop.
        char byte;
        EXPECT_EQ(net_read_avail(&c, &byte, 1), -1);
    }
}

// An abort descriptor has nothing that wakes the socket: a read watching one
// looks at it every slice, and a stop word set meanwhile ends it.
TEST(NetSockIdle, AbortWordSetDuringAReadEndsItWithinASlice)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    net_abort ab = {};
    net_conn c = {};
    sock_conn(c, a.s, 10000);
    c.abort = &ab;
    std::thread stopper([&] {
        sleep_ms(100);
        ab.stop.store(1);
    });
    const uint64_t t0 = now_ms();
    char buf[4];
    errno = 0;
    EXPECT_EQ(net_read(&c, buf, 4), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_LT(now_ms() - t0, 3000u);
    stopper.join();
}

TEST(NetSockRead, AbortCallbackEndsAReadButNotAWrite)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    net_abort ab = {};
    ab.fn = [](void *, int) { return true; };
    net_conn c = {};
    sock_conn(c, a.s, 5000);
    c.abort = &ab;
    char buf[4];
    EXPECT_EQ(net_read(&c, buf, 4), -1);
    EXPECT_EQ(net_write(&c, "abcd", 4), 4);
    ab.fn = nullptr;
    ab.stop.store(1);
    EXPECT_EQ(net_read(&c, buf, 4), -1);
}

TEST(NetSockWrite, PeerThatNeverReadsTimesOutShortAndEndsTheConnection)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    net_conn c = {};
    sock_conn(c, a.s, 300);
    std::vector<char> big(32 << 20, 'w');
    log_capture logs;
    const int32_t n = net_write(&c, big.data(), static_cast<int32_t>(big.size()));
    EXPECT_GE(n, 0);
    EXPECT_LT(n, static_cast<int32_t>(big.size()));
    EXPECT_TRUE(logs.has("write timeout"));
    EXPECT_EQ(c.disconnected, 1);
    EXPECT_EQ(net_write(&c, "x", 1), -1);
}

TEST(NetWrite, ZeroLengthReturnsZeroWithoutLookingAtTheConnection)
{
    net_conn c = {};
    c.type = 99;
    EXPECT_EQ(net_write(&c, "", 0), 0);
    EXPECT_EQ(net_write(&c, "a", 1), -1);
    char buf[1];
    EXPECT_EQ(net_read(&c, buf, 1), -1);
}

TEST(NetWrite, StandardStreamsWriteTheWholeLength)
{
    net_conn c = {};
    c.type = NET_STDIO_TYPE;
    EXPECT_EQ(net_write(&c, "stdio\n", 6), 6);
    EXPECT_EQ(net_close(&c), 0);
}

TEST(NetGets, LinesFromAMemoryConnection)
{
    struct row {
        std::string input;
        int size;
        int result;
        const char *text;
    };
    const row rows[] = {
        {"abc\r\n", 64, 3, "abc"},
        {"\n", 64, 1, ""},
        {"\r\n", 64, 0, ""},
        {"a\rb\n", 64, 2, "ab"},
        {std::string(100, 'L') + "\n", 16, -1, ""},
        {"abc", 64, -1, ""},  // cut off: never handed on as a line
        {"", 64, 0, ""},
        {std::string("\0rest", 5), 64, 1, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.input);
        net_conn c = {};
    mem_conn(c);
        net_write(&c, r.input.data(), static_cast<int32_t>(r.input.size()));
        char buf[64] = "junk";
        EXPECT_EQ(net_gets(&c, buf, r.size), r.result);
        EXPECT_STREQ(buf, r.text);
        net_close(&c);
    }
}

TEST(NetGets, OverlongLineIsConsumedWhole)
{
    net_conn c = {};
    mem_conn(c);
    const std::string in = std::string(100, 'L') + "\nnext\n";
    net_write(&c, in.data(), static_cast<int32_t>(in.size()));
    char buf[16];
    EXPECT_EQ(net_gets(&c, buf, sizeof(buf)), -1);
    EXPECT_EQ(net_gets(&c, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "next");
    net_close(&c);
}

TEST(NetGets, PauseInsideALineWaitsForItsEnd)
{
    // 0: a connection that only looks still waits, without spinning.
    for (int32_t timeout : {150, 0}) {
        SCOPED_TRACE(timeout);
        owned a, b;
        ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
        net_conn c = {};
        sock_conn(c, a.s, timeout);
        send_text(b.s, "ab");
        std::thread peer([&] {
            sleep_ms(500);
            os_socket_send_all(b.s, "c\r\n", 3);
        });
        const std::clock_t cpu0 = std::clock();
        char buf[32];
        EXPECT_EQ(net_gets(&c, buf, sizeof(buf)), 3);
        EXPECT_STREQ(buf, "abc");
        EXPECT_LT(static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.25);
        peer.join();
        EXPECT_EQ(net_gets(&c, buf, sizeof(buf)), 0);  // nothing: not an error
    }
}

TEST(NetGets, PeerClosingInsideALineIsAnError)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    net_conn c = {};
    sock_conn(c, a.s, 150);
    send_text(b.s, "ab");
    b.reset();
    char buf[32];
    EXPECT_EQ(net_gets(&c, buf, sizeof(buf)), -1);
    EXPECT_STREQ(buf, "");
}

TEST(NetReadStr, EndsOnlyAtNul)
{
    net_conn c = {};
    mem_conn(c);
    net_write(&c, "a\r\nb\0tail", 9);
    char buf[32];
    EXPECT_EQ(net_read_str(&c, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "a\nb");
    net_close(&c);
}

TEST(NetReadTimeout, RestoresTheConnectionsTimeout)
{
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    net_conn c = {};
    sock_conn(c, a.s, 1000);
    char buf[8];
    EXPECT_EQ(net_read_timeout(&c, buf, 0, 50), 0);
    send_text(b.s, "q");
    EXPECT_EQ(net_read_timeout(&c, buf, 1, 50), 1);
    send_text(b.s, "xyz");
    const uint64_t t0 = now_ms();
    EXPECT_EQ(net_read_timeout(&c, buf, 8, 100), 3);  // the rest waits 100 ms, not 1000
    EXPECT_LT(now_ms() - t0, 500u);
    EXPECT_EQ(c.timeout, 1000);
}

TEST(NetMem, WritesCollectAMessageAndTheNextWriteStartsAfresh)
{
    net_conn c = {};
    mem_conn(c);
    ASSERT_EQ(c.type, NET_MEM_TYPE);
    char buf[10];
    EXPECT_EQ(net_write(&c, "ab", 2), 2);
    EXPECT_EQ(net_write(&c, "cd", 2), 2);
    EXPECT_EQ(net_read(&c, buf, 10), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(net_read(&c, buf, 10), 0);
    EXPECT_EQ(net_write(&c, "x", 1), 1);
    EXPECT_EQ(net_read(&c, buf, 10), 1);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(net_printf(&c, "%d-%s", 7, "up"), 4);
    EXPECT_EQ(net_put_nul(&c), 1);
    EXPECT_EQ(net_read(&c, buf, 10), 5);
    EXPECT_EQ(std::string(buf, 5), std::string("7-up\0", 5));
    EXPECT_EQ(net_close(&c), 0);
}

TEST(NetPrintf, TextLongerThanItsBufferIsCut)
{
    net_conn c = {};
    mem_conn(c);
    const std::string big(10000, 'p');
    EXPECT_EQ(net_printf(&c, "%s", big.c_str()), 8191);
    net_close(&c);
}

TEST(NetOpen2, RefusesBadUrlsWithTheirMessages)
{
    struct row {
        const char *url;
        const char *message;
    };
    const row rows[] = {
        {"ftp://127.0.0.1:21", "unkouwn protocol [ftp]"},
        {"tcp://127.0.0.1", "needs to specify the port"},
        {"tcp://127.0.0.1:99999", "url [tcp://127.0.0.1:99999] syntax error"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.url);
        log_capture logs;
        net_conn c = {};
        verr err = {};
        EXPECT_LT(net_open2(&c, r.url, &err), 0);
        EXPECT_TRUE(logs.has(r.message));
        EXPECT_EQ(c.handle, 0u);
    }
    log_capture logs;
    net_conn c = {};
    EXPECT_EQ(net_open2(&c, "net://mem", nullptr), -1);
    EXPECT_TRUE(logs.has("errp!=NULL"));
}

TEST(NetOpen2, ConnectsAndTakesTheReadTimeout)
{
    uint32_t port = 0;
    owned l(listen_on("127.0.0.1", OS_IPADDR_FAMILY_IPV4, &port));
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port) + "?read_timeout=3";
    net_conn c = {};
    verr err = {};
    ASSERT_EQ(net_open2(&c, url.c_str(), &err), 0) << verr_msg(&err);
    EXPECT_EQ(c.type, NET_SOCK_TYPE);
    EXPECT_EQ(c.timeout, 3000);
    owned server(accept_wait(l.s));
    EXPECT_EQ(net_write(&c, "hi", 2), 2);
    char buf[2];
    EXPECT_TRUE(os_socket_recv_all(server.s, buf, 2));
    net_close(&c);

    net_conn kept = {};
    kept.timeout = 42;
    ASSERT_EQ(net_open2(&kept, url.c_str(), &err), 0);
    EXPECT_EQ(kept.timeout, 42);
    net_close(&kept);
}

TEST(NetOpen2, OutOfRangeTimeoutIsFixedWithAWarning)
{
    uint32_t port = 0;
    owned l(listen_on("127.0.0.1", OS_IPADDR_FAMILY_IPV4, &port));
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port) + "?connect_timeout=0&read_timeout=700";
    log_capture logs;
    net_conn c = {};
    verr err = {};
    ASSERT_EQ(net_open2(&c, url.c_str(), &err), 0);
    EXPECT_TRUE(logs.has("[connect_timeout]=0 < min=1 fix=6"));
    EXPECT_TRUE(logs.has("[read_timeout]=700 > max=600 fix=15"));
    EXPECT_EQ(c.timeout, 15000);
    net_close(&c);
}

TEST(NetOpen2, TlsUrlFailsAfterConnectingAndLeavesNoHandle)
{
    uint32_t port = 0;
    owned l(listen_on("127.0.0.1", OS_IPADDR_FAMILY_IPV4, &port));
    const std::string url = "tcps://127.0.0.1:" + std::to_string(port);
    log_capture logs;
    net_conn c = {};
    verr err = {};
    EXPECT_EQ(net_open2(&c, url.c_str(), &err), -1);
    EXPECT_TRUE(logs.has("ssl support is not enabled"));
    EXPECT_EQ(c.handle, 0u);
    owned accepted(accept_wait(l.s));
    EXPECT_NE(accepted.s, 0u);  // the connect itself was made
}

TEST(NetOpen, SetsTheConnectTimeoutInSeconds)
{
    net_conn c = {};
    EXPECT_EQ(net_open(&c, "net://mem", 4000), 0);
    EXPECT_EQ(c.type, NET_MEM_TYPE);
    net_close(&c);
}

TEST(NetClose, SerialAndUnknownTypesAreLeftOpen)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    net_conn c = {};
    c.type = NET_SERIAL_TYPE;
    c.handle = static_cast<uint64_t>(fds[1]);
    EXPECT_EQ(net_close(&c), -1);
    EXPECT_EQ(write(fds[1], "s", 1), 1);  // still open
    close(fds[0]);
    close(fds[1]);
    c.type = 7;
    EXPECT_EQ(net_close(&c), -1);
}

TEST(NetSsl, HooksCarryTheTransfersOfATlsConnection)
{
    net_conn c = {};
    int dummy = 0;
    c.ssl = &dummy;
    char buf[4];
    {
        log_capture logs;
        EXPECT_EQ(net_read(&c, buf, 4), -1);
        EXPECT_TRUE(logs.has("g_ssl_read_proc!=NULL"));
        EXPECT_EQ(net_write(&c, "ab", 2), -1);
        EXPECT_TRUE(logs.has("g_ssl_write_proc!=NULL"));
    }
    net_ssl_set_conn_proc(
        &c, [](net_conn *, void *, int32_t len) { return len - 1; },
        [](net_conn *, const void *, int32_t len) { return len + 1; });
    EXPECT_EQ(net_read(&c, buf, 4), 3);
    EXPECT_EQ(net_write(&c, "ab", 2), 3);
    net_conn other = {};
    other.ssl = &dummy;
    net_ssl_set_proc([](net_conn *, void *, int32_t) { return 9; }, nullptr);
    EXPECT_EQ(net_read(&other, buf, 4), 9);
    net_ssl_set_proc(nullptr, nullptr);
}

TEST(NetPipe, LinesRoundTripBetweenTwoThreads)
{
    signal(SIGPIPE, SIG_IGN);
    const std::string name = "zorv_netpipe_" + std::to_string(getpid());
    os_name_pipe_srv *srv = os_name_pipe_srv_open(name.c_str());
    ASSERT_NE(srv, nullptr);
    std::thread server([&] {
        net_conn c = {};
        c.type = NET_PIPE_SRV_TYPE;
        c.handle = reinterpret_cast<uintptr_t>(srv);
        char line[64];
        // The line reader waits for the client itself.
        ASSERT_EQ(net_gets(&c, line, sizeof(line)), 4);
        EXPECT_STREQ(line, "help");
        EXPECT_EQ(net_printf(&c, "ok: %s", line), 8);
        EXPECT_EQ(net_put_nul(&c), 1);
        EXPECT_EQ(net_gets(&c, line, sizeof(line)), 0) << "client gone";
        EXPECT_EQ(net_close(&c), 0);
    });
    os_name_pipe_cli *cli = nullptr;
    for (int i = 0; i < 100 && cli == nullptr; i++)
        cli = os_name_pipe_cli_open(name.c_str());
    ASSERT_NE(cli, nullptr);
    net_conn c = {};
    c.type = NET_PIPE_CLI_TYPE;
    c.handle = reinterpret_cast<uintptr_t>(cli);
    EXPECT_EQ(net_write(&c, "help\r\n", 6), 6);
    char reply[64];
    EXPECT_EQ(net_read_str(&c, reply, sizeof(reply)), 8);
    EXPECT_STREQ(reply, "ok: help");
    os_name_pipe_cli_close(cli);
    server.join();
    os_name_pipe_srv_close(srv);
    unlink(("/tmp/" + name + "_0").c_str());
    unlink(("/tmp/" + name + "_1").c_str());
}

TEST(NetSerial, ReadsUnderTheConnectionsTimeout)
{
    int master = -1;
    int slave = -1;
    char path[256];
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    close(slave);
    const int fd = os_serial_open(path, 19200);
    ASSERT_GT(fd, 0);
    net_conn c = {};
    c.type = NET_SERIAL_TYPE;
    c.handle = static_cast<uint64_t>(fd);
    c.timeout = 200;
    char buf[8];
    EXPECT_EQ(net_read(&c, buf, 4), 0);
    ASSERT_EQ(write(master, "ping", 4), 4);
    EXPECT_EQ(net_read(&c, buf, 4), 4);
    EXPECT_EQ(net_write(&c, "pong", 4), 4);
    EXPECT_EQ(read(master, buf, 4), 4);
    EXPECT_EQ(net_close(&c), -1);
    os_serial_close(fd);
    close(master);
}
