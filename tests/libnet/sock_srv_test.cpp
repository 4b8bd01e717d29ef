#include "libnet/sock_srv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libnet/sock_cli.h"
#include "libnet/sock_event.h"
#include "libpal/basic/verr.h"
#include "net_fixture.h"
#include "str_log_capture.h"
#include "wakeups.h"

using namespace nettest;

namespace {

// What an accept callback saw, shared with the event thread.
struct accepted_log {
    std::mutex lock;
    std::vector<os_ipaddr> peers;
    std::atomic<int> count{0};

    static int record(os_socket sock, os_ipaddr *peer, void *udata)
    {
        auto *self = static_cast<accepted_log *>(udata);
        {
            std::lock_guard<std::mutex> g(self->lock);
            self->peers.push_back(*peer);
        }
        sock_close(sock);
        self->count++;
        return 0;
    }

    bool wait_for(int n, int ms = 5000)
    {
        for (int i = 0; i < ms / 10 && count.load() < n; i++)
            sleep_ms(10);
        return count.load() >= n;
    }
};

sock_srv_param tcp_param(accepted_log *log)
{
    sock_srv_param p = {};
    p.name = "test";
    p.reuse = 1;
    p.backlog = 64;
    p.accept_proc = accepted_log::record;
    p.udata = log;
    return p;
}

os_socket connect_to(const char *host, uint32_t port)
{
    sock_conn_opts o = {};
    o.timeout = 2000;
    verr err = {};
    const os_socket s = sock_tcp_connect(host, port, &o, &err);
    EXPECT_NE(s, 0u) << verr_msg(&err);
    return s;
}

uint32_t server_port(sock_server *srv, int i)
{
    os_ipaddr a = {};
    EXPECT_TRUE(os_socket_local(srv->sockets[i], &a));
    return os_ipaddr_port(&a);
}

// A start for a run of fixed ports below the system's ephemeral range, so
// that the other tests' port-0 listeners never take them meanwhile.
uint32_t fixed_port_base(int attempt)
{
    return 20000 + static_cast<uint32_t>((getpid() * 7 + attempt * 131) % 9000);
}

// The kernel's state letter of one of our threads ('S' asleep), 0 once it is gone.
char task_state(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : 0;
}

}  // namespace

TEST(SockServer, ServesBothFamiliesOnOneSharedPort)
{
    if (!have_ipv6())
        GTEST_SKIP() << "no IPv6 loopback";
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1;::1", 0, &p);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(srv->count, 2);
    const uint32_t port = server_port(srv, 0);
    EXPECT_EQ(server_port(srv, 1), port);
    EXPECT_EQ(p.bind_port, port);
    owned c4(connect_to("127.0.0.1", port));
    owned c6(connect_to("::1", port));
    ASSERT_TRUE(log.wait_for(2));
    std::set<uint8_t> families;
    for (const os_ipaddr &peer : log.peers) {
        families.insert(os_ipaddr_family(&peer));
        EXPECT_TRUE(os_ipaddr_ip_is_loopback(&peer));
        EXPECT_NE(os_ipaddr_port(&peer), 0);
    }
    EXPECT_EQ(families, (std::set<uint8_t>{OS_IPADDR_FAMILY_IPV4, OS_IPADDR_FAMILY_IPV6}));
    EXPECT_EQ(sock_server_get_sock(srv), srv->sockets[0]);
    sock_server_close(srv);
}

TEST(SockServer, AcceptsEveryConnectionOfEightClientThreads)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    constexpr int k_threads = 8;
    constexpr int k_each = 25;
    std::vector<std::thread> clients;
    for (int t = 0; t < k_threads; t++) {
        clients.emplace_back([&] {
            for (int i = 0; i < k_each; i++) {
                owned c(connect_to("127.0.0.1", p.bind_port));
            }
        });
    }
    for (auto &t : clients)
        t.join();
    EXPECT_TRUE(log.wait_for(k_threads * k_each));
    EXPECT_EQ(log.count.load(), k_threads * k_each);
    sock_server_close(srv);
}

TEST(SockServer, AddressListsBindEachFieldUpToThirtyTwo)
{
    std::string forty;
    for (int i = 1; i <= 40; i++)
        forty += (i > 1 ? ";" : "") + std::string("127.0.0.") + std::to_string(i);
    struct row {
        std::string list;
        int count;
    };
    const row rows[] = {
        {"127.0.0.1;;127.0.0.2,127.0.0.3", 3},  // the empty field is skipped
        {forty, 32},
        {";;;;127.0.0.9", 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.list.substr(0, 40));
        accepted_log log;
        sock_srv_param p = tcp_param(&log);
        sock_server *srv = sock_tcp_server(r.list.c_str(), 0, &p);
        ASSERT_NE(srv, nullptr);
        EXPECT_EQ(srv->count, r.count);
        for (int i = 1; i < srv->count; i++)
            EXPECT_EQ(server_port(srv, i), server_port(srv, 0));
        sock_server_close(srv);
    }
}

TEST(SockServer, NoAddressBindingGivesNoServerAndNoSocket)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    log_capture logs;
    EXPECT_EQ(sock_tcp_server("192.0.2.1;not-an-address", 0, &p), nullptr);
    EXPECT_TRUE(logs.has("addr[not-an-address]:0 error\n"));
}

// The highest port is a port: binding it reports no failed precondition,
// whether or not the port happens to be free on this machine.
TEST(SockServer, HighestPortIsNoCallersFault)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    log_capture logs;
    sock_server *srv = sock_tcp_server("127.0.0.1", 65535, &p);
    if (srv != nullptr)
        sock_server_close(srv);
    EXPECT_FALSE(logs.has("assert failed"));
}

TEST(SockServer, EmptyListBindsEveryIpv4AndIpv6Address)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("", 0, &p);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(srv->count, have_ipv6() ? 2 : 1);
    owned c(connect_to("127.0.0.1", server_port(srv, 0)));
    EXPECT_TRUE(log.wait_for(1));
    sock_server_close(srv);
}

TEST(SockServer, ClosingFreesThePortBeforeItReturns)
{
    static std::atomic<pid_t> event_tid{0};
    sock_srv_param p = {};
    p.name = "reopen";
    p.reuse = 1;
    p.backlog = 4;
    p.accept_proc = [](os_socket sock, os_ipaddr *, void *) {
        event_tid = gettid();
        sock_close(sock);
        return 0;
    };
    // A listener closed while the event thread's wait still watches it would
    // keep its port until that wait ends; each round catches the thread there.
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
        ASSERT_NE(srv, nullptr);
        event_tid = 0;
        owned c(connect_to("127.0.0.1", p.bind_port));
        for (int i = 0; i < 500 && event_tid.load() == 0; i++)
            sleep_ms(10);
        ASSERT_NE(event_tid.load(), 0);
        for (int i = 0; i < 1000 && task_state(event_tid.load()) != 'S'; i++)
            sleep_ms(1);
        sock_server_close(srv);
        owned again(sock_tcp_listen("127.0.0.1", p.bind_port, 1, 0, 4));
        EXPECT_NE(again.s, 0u) << "port " << p.bind_port << " still held";
    }
}

TEST(SockServer, SecondServerOnTheSamePortFailsToBind)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *first = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(first, nullptr);
    sock_srv_param p2 = tcp_param(&log);
    EXPECT_EQ(sock_tcp_server("127.0.0.1", p.bind_port, &p2), nullptr);
    sock_server_close(first);
}

TEST(SockServer, WorkProcedureServesEachConnectionOnItsOwnThread)
{
    sock_srv_param p = {};
    p.name = "echo";
    p.backlog = 8;
    p.work_proc = [](void *arg) {
        const os_socket s = static_cast<os_socket>(reinterpret_cast<uintptr_t>(arg));
        char c = 0;
        if (os_socket_recv_all(s, &c, 1))
            os_socket_send_all(s, &c, 1);
        sock_close(s);
        return 0;
    };
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    for (char ch : {'a', 'b', 'c'}) {
        owned c(connect_to("127.0.0.1", p.bind_port));
        ASSERT_TRUE(os_socket_send_all(c.s, &ch, 1));
        char back = 0;
        ASSERT_TRUE(os_socket_recv_all(c.s, &back, 1));
        EXPECT_EQ(back, ch);
    }
    sock_server_close(srv);
}

TEST(SockServer, UdpServerCallsBackOnEachDatagram)
{
    static std::atomic<int> datagrams{0};
    datagrams = 0;
    sock_udp_param p = {};
    p.name = "udp";
    p.proc = [](os_socket s, uint32_t, void *) {
        char buf[64];
        os_ipaddr src = {};
        if (os_socket_urecv(s, &src, buf, sizeof(buf)) > 0)
            datagrams++;
        return 0;
    };
    sock_server *srv = sock_udp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    ASSERT_NE(p.bind_port, 0u);
    verr err = {};
    owned u(sock_udp_open("127.0.0.1", p.bind_port, &err));
    ASSERT_NE(u.s, 0u);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(os_socket_send(u.s, "d", 1), 1);
    for (int i = 0; i < 200 && datagrams.load() < 3; i++)
        sleep_ms(10);
    EXPECT_EQ(datagrams.load(), 3);
    sock_server_close(srv);
}

TEST(SockEvent, IdleDataSocketsLoseTheirRegistration)
{
    static std::atomic<int> events{0};
    events = 0;
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);  // starts the environment
    ASSERT_NE(srv, nullptr);
    sock_env_param ep = {};
    ep.first_timeout = 400;
    ep.idle_timeout = 2500;
    ASSERT_EQ(sock_env_set_param(&ep), 0);
    const auto drain = [](os_socket s, uint32_t, void *) -> int32_t {
        char buf[16];
        os_socket_recv(s, buf, sizeof(buf));
        events++;
        return 0;
    };
    owned quiet_a, quiet_b, busy_a, busy_b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], quiet_a, quiet_b));
    ASSERT_TRUE(tcp_pair(FAMILIES[0], busy_a, busy_b));
    sock_event *quiet = sock_add_event(quiet_b.s, OS_POLLER_EV_READ, drain, nullptr);
    sock_event *busy = sock_add_event(busy_b.s, OS_POLLER_EV_READ, drain, nullptr);
    ASSERT_NE(quiet, nullptr);
    ASSERT_NE(busy, nullptr);
    // The busy socket gets an event at once, then stays quiet: its second,
    // longer time-out applies from then on.
    ASSERT_TRUE(os_socket_send_all(busy_a.s, "x", 1));
    for (int i = 0; i < 100 && events.load() == 0; i++)
        sleep_ms(10);
    ASSERT_EQ(events.load(), 1);
    sleep_ms(1500);  // quiet's 400 ms and a wake-up have passed; busy's 2500 ms not yet
    EXPECT_EQ(sock_del_event_proc(quiet), -1) << "already dropped";
    EXPECT_EQ(sock_del_event_proc(busy), 0);
    sock_env_param off = {};
    sock_env_set_param(&off);
    sock_server_close(srv);
}

// With no idle time-out and no periodic hook the event thread sleeps until a
// socket is ready: no wake-up in 3.5 s (a one-second wait wakes three
// times). A hook set later runs within a second or so, at once woken.
TEST(SockEvent, ThreadSleepsUntilSomethingIsDue)
{
    static std::atomic<pid_t> event_tid{0};
    static std::atomic<int> hook_runs{0};
    event_tid = 0;
    hook_runs = 0;
    sock_srv_param p = {};
    p.name = "sleeper";
    p.accept_proc = [](os_socket sock, os_ipaddr *, void *) {
        event_tid = gettid();
        os_socket_exit(sock);
        return 0;
    };
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    owned c(connect_to("127.0.0.1", server_port(srv, 0)));
    for (int i = 0; i < 200 && event_tid.load() == 0; i++)
        sleep_ms(10);
    ASSERT_NE(event_tid.load(), 0);
    sleep_ms(200);
    const uint64_t from = thread_wakeups(event_tid);
    sleep_ms(3500);
    EXPECT_LE(thread_wakeups(event_tid) - from, 1u);
    sock_env_param ep = {};
    ep.proc = [](void *) { hook_runs++; };
    ASSERT_EQ(sock_env_set_param(&ep), 0);
    for (int i = 0; i < 250 && hook_runs.load() < 2; i++)
        sleep_ms(10);
    EXPECT_GE(hook_runs.load(), 2);
    sock_env_param off = {};
    sock_env_set_param(&off);
    sock_server_close(srv);
}

TEST(SockEvent, NegativeCallbackResultDropsTheSocket)
{
    static std::atomic<int> calls{0};
    calls = 0;
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    sock_event *ev = sock_add_event(
        b.s, OS_POLLER_EV_READ,
        [](os_socket, uint32_t, void *) -> int32_t {
            calls++;
            return -1;
        },
        nullptr);
    ASSERT_NE(ev, nullptr);
    ASSERT_TRUE(os_socket_send_all(a.s, "x", 1));
    for (int i = 0; i < 100 && calls.load() == 0; i++)
        sleep_ms(10);
    sleep_ms(100);
    EXPECT_EQ(calls.load(), 1) << "unread data would call again if still registered";
    EXPECT_EQ(sock_del_event_proc(ev), -1);
    sock_server_close(srv);
}

TEST(SockEnv, ExitWithoutServerIsQuickAndANewServerStartsItAgain)
{
    EXPECT_EQ(sock_env_exit(), 0);
    const uint64_t t0 = now_ms();
    EXPECT_EQ(net_exit(), 0);
    EXPECT_LT(now_ms() - t0, 500u);
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    ASSERT_NE(sock_env_poller(), nullptr);
    sock_server_close(srv);
    const uint64_t t1 = now_ms();
    EXPECT_EQ(net_exit(), 0);
    EXPECT_LT(now_ms() - t1, 1500u);
    EXPECT_EQ(sock_env_poller(), nullptr);
    sock_server *again = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(again, nullptr);
    owned c(connect_to("127.0.0.1", p.bind_port));
    EXPECT_TRUE(log.wait_for(1));
    sock_server_close(again);
    net_exit();
}

TEST(SockWaitSrv, KeepsTheFirstAcceptedSocket)
{
    sock_srv_param p = {};
    p.name = "wait";
    p.backlog = 4;
    sock_wait_srv *ws = sock_wait_srv_init("127.0.0.1", 0, &p);
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(sock_wait_srv_get(ws, 5), 0u);
    owned c(connect_to("127.0.0.1", p.bind_port));
    const os_socket got = sock_wait_srv_get(ws, 3000);
    ASSERT_NE(got, 0u);
    ASSERT_TRUE(os_socket_send_all(c.s, "k", 1));
    char ch = 0;
    EXPECT_TRUE(os_socket_recv_all(got, &ch, 1));
    sock_close(got);
    EXPECT_EQ(sock_wait_srv_exit(ws), 0);
}

TEST(SockWaitSrv, RangeTriesEachPortBelowTheHighest)
{
    // Four free ports in a row, the first two taken by us.
    uint32_t low = 0;
    for (int tries = 0; tries < 50 && low == 0; tries++) {
        const uint32_t base = fixed_port_base(tries);
        bool all = true;
        for (uint32_t q = base; q < base + 4 && all; q++) {
            owned probe(sock_tcp_listen("127.0.0.1", q, 1, 0, 1));
            all = probe.s != 0;
        }
        if (all)
            low = base;
    }
    ASSERT_NE(low, 0u);
    owned busy0(sock_tcp_listen("127.0.0.1", low, 1, 0, 1));
    owned busy1(sock_tcp_listen("127.0.0.1", low + 1, 1, 0, 1));
    sock_srv_param p = {};
    p.name = "range";
    p.backlog = 4;
    sock_wait_srv *ws = sock_wait_srv_init_range("127.0.0.1", low, low + 3, &p);
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(p.bind_port, low + 2);
    sock_wait_srv_exit(ws);
    owned busy2(sock_tcp_listen("127.0.0.1", low + 2, 1, 0, 1));
    EXPECT_EQ(sock_wait_srv_init_range("127.0.0.1", low, low + 3, &p), nullptr) << "the highest is never tried";
    EXPECT_EQ(sock_wait_srv_init_range("127.0.0.1", 5000, 5000, &p), nullptr);
}

// A size the kernel reaches by itself, from its default or by autotuning
// (the NBD listener's 40960 bytes, above Linux's 16 KiB send default), is
// never set: setting it would cap every accepted connection's window.
TEST(SockServer, BufferSizesAreFloorsNotCaps)
{
    owned fresh(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4));
    int64_t def_recv = 0;
    int64_t def_send = 0;
    ASSERT_TRUE(os_socket_ctrl(fresh.s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &def_recv));
    ASSERT_TRUE(os_socket_ctrl(fresh.s, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, &def_send));
    const struct {
        const char *what;
        uint32_t recv;
        uint32_t send;
    } rows[] = {
        {"below the defaults", static_cast<uint32_t>(def_recv / 4), static_cast<uint32_t>(def_send / 4)},
        {"above the defaults, within autotuning", static_cast<uint32_t>(def_recv + 4096),
         static_cast<uint32_t>(def_send + 4096)},
        {"the NBD listener's sizes", 40960, 40960},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        sock_srv_param p = {};
        p.name = "bufs";
        p.reuse = 1;
        p.backlog = 4;
        p.recv_buf_size = r.recv;
        p.send_buf_size = r.send;
        sock_wait_srv *ws = sock_wait_srv_init("127.0.0.1", 0, &p);
        ASSERT_NE(ws, nullptr);
        const os_socket listener = sock_server_get_sock(ws->srv);
        int64_t recv = 0;
        int64_t send = 0;
        EXPECT_TRUE(os_socket_ctrl(listener, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &recv));
        EXPECT_TRUE(os_socket_ctrl(listener, OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, &send));
        EXPECT_EQ(recv, def_recv);
        EXPECT_EQ(send, def_send);

        // The accepted connection inherits them, and its receive window
        // grows with the traffic past the size asked.
        owned c(connect_to("127.0.0.1", p.bind_port));
        owned a(sock_wait_srv_get(ws, 3000));
        ASSERT_NE(a.s, 0u);
        constexpr size_t k_total = 16u << 20;
        std::thread writer([&] {
            std::vector<char> chunk(1u << 16, 'b');
            for (size_t sent = 0; sent < k_total; sent += chunk.size())
                if (!os_socket_send_all(c.s, chunk.data(), chunk.size()))
                    break;
        });
        std::vector<char> in(1u << 16);
        size_t got = 0;
        while (got < k_total && os_socket_recv_all(a.s, in.data(), in.size()))
            got += in.size();
        writer.join();
        EXPECT_EQ(got, k_total);
        EXPECT_TRUE(os_socket_ctrl(a.s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &recv));
        EXPECT_GT(recv, 2 * static_cast<int64_t>(r.recv)) << "capped at the size asked";
        sock_wait_srv_exit(ws);
    }
}

TEST(SockServer2, SingleListenerReportsItsPort)
{
    uint32_t bound = 0;
    owned l(sock_server2("127.0.0.1", 0, &bound, 1, 8192, 4));
    ASSERT_NE(l.s, 0u);
    ASSERT_NE(bound, 0u);
    owned c(connect_to("127.0.0.1", bound));
    owned a(accept_wait(l.s));
    EXPECT_NE(a.s, 0u);
    EXPECT_EQ(sock_tcp_listen("127.0.0.1", bound, 1, 0, 4), 0u);
}

TEST(SockEnv, ExitLeavesAStuckEventThreadWhatItStillUses)
{
    static std::atomic<pid_t> tid{0};
    static std::atomic<bool> let_go{false};
    tid = 0;
    let_go = false;
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);  // starts the environment
    ASSERT_NE(srv, nullptr);
    sock_server_close(srv);
    owned a, b;
    ASSERT_TRUE(tcp_pair(FAMILIES[0], a, b));
    // Outlasts the exit's wait, then drops its registration: the thread
    // still works on its poller and its pool after the exit has returned.
    const auto stuck = [](os_socket, uint32_t, void *) -> int32_t {
        tid = gettid();
        while (!let_go.load())
            sleep_ms(1);
        return -1;
    };
    ASSERT_NE(sock_add_event(b.s, OS_POLLER_EV_READ, stuck, nullptr), nullptr);
    ASSERT_TRUE(os_socket_send_all(a.s, "x", 1));
    for (int i = 0; i < 500 && tid.load() == 0; i++)
        sleep_ms(10);
    ASSERT_NE(tid.load(), 0);
    {
        log_capture logs;
        EXPECT_EQ(sock_env_exit(), 0);
        EXPECT_TRUE(logs.has("event thread still running"));
    }
    EXPECT_EQ(sock_env_poller(), nullptr);
    EXPECT_NE(task_state(tid.load()), 0) << "left running, not cancelled";
    let_go = true;
    for (int i = 0; i < 2000 && task_state(tid.load()) != 0; i++)
        sleep_ms(1);
    EXPECT_EQ(task_state(tid.load()), 0) << "ends once its callback returns";
    // A new start runs a fresh environment.
    sock_server *again = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(again, nullptr);
    owned c(connect_to("127.0.0.1", p.bind_port));
    EXPECT_TRUE(log.wait_for(1));
    sock_server_close(again);
}

TEST(SockServer, OutOfDescriptorsOnAcceptBacksOffInsteadOfSpinning)
{
    accepted_log log;
    sock_srv_param p = tcp_param(&log);
    sock_server *srv = sock_tcp_server("127.0.0.1", 0, &p);
    ASSERT_NE(srv, nullptr);
    owned client(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_FAMILY_IPV4));
    rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // No descriptor above those open now: the next accept fails with EMFILE.
    int highest = 0;
    for (int fd = 0; fd < static_cast<int>(saved.rlim_cur) && fd < 4096; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            highest = fd;
    }
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highest + 1);
    log_capture logs;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;  // the free slots below the limit
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY))
        fillers.push_back(fd);
    os_ipaddr to = {};
    os_ipaddr_set(&to, "127.0.0.1", p.bind_port, OS_IPADDR_FAMILY_IPV4);
    os_socket_connect(client.s, &to);
    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
    sleep_ms(1000);
    rusage after = {};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(log.count.load(), 0);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    const auto cpu_us = [](const rusage &r) {
        return r.ru_utime.tv_sec * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_sec * 1000000L + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu_us(after) - cpu_us(before), 500000L) << "the event thread spun on the listener";
    EXPECT_TRUE(log.wait_for(1)) << "accepted once descriptors are back";
    EXPECT_TRUE(logs.has("accept error"));
    sock_server_close(srv);
}
