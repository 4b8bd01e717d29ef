#include "libnbd/cli_mgr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "libnbd/nbd_io.h"
#include "libnbd/nbd_proto.h"
#include "libpal/basic/os_malloc.h"
#include "libnbd/nbdsrv.h"
#include "libpal/value/var_mgr.h"
#include "../support/loopback_connect.h"
#include "../support/on_leave.h"
#include "str_log_capture.h"

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
    // Opens path with NBD_OPT_EXPORT_NAME (no zeroes) and reads the 10 bytes;
    // tflags, when given, gets the export's transmission flags.
    bool open_export(const std::string &path, uint16_t *tflags = nullptr)
    {
        uint8_t msg[4 + 16];
        be32_store(msg, NBD_FLAG_C_NO_ZEROES);
        be64_store(msg + 4, NBD_OPTS_MAGIC);
        be32_store(msg + 12, NBD_OPT_EXPORT_NAME);
        be32_store(msg + 16, static_cast<uint32_t>(path.size()));
        uint8_t info[NBD_EXPORT_INFO_SIZE];
        const bool ok = greeted() && send(fd, msg, sizeof(msg), 0) == sizeof(msg) &&
                        send(fd, path.data(), path.size(), 0) == static_cast<ssize_t>(path.size()) &&
                        recv_all(info, sizeof(info));
        if (ok && tflags != nullptr)
            *tflags = be16_load(info + 8);
        return ok;
    }
};

// A READ request of len bytes at offset, handle h.
std::vector<uint8_t> read_request(uint64_t h, uint64_t offset, uint32_t len)
{
    std::vector<uint8_t> req(NBD_REQUEST_SIZE);
    be32_store(req.data(), NBD_REQUEST_MAGIC);
    be16_store(req.data() + 6, NBD_CMD_READ);
    be64_store(req.data() + 8, h);
    be64_store(req.data() + 16, offset);
    be32_store(req.data() + 24, len);
    return req;
}

// The ids of this process's threads.
std::set<int> thread_ids()
{
    std::set<int> ids;
    DIR *d = opendir("/proc/self/task");
    for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ids.insert(atoi(e->d_name));
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    return ids;
}

// A thread's scheduler state letter: 'R' while it runs or waits for a CPU,
// 'S' while it sleeps in a wait.
char thread_state(int tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t name_end = stat.rfind(')');
    return name_end != std::string::npos && name_end + 2 < stat.size() ? stat[name_end + 2] : '?';
}

// True while thread tid sleeps in a call other than a lock's (futex): a
// session that waits for its client's next request.
bool waits_for_peer(int tid)
{
    if (thread_state(tid) != 'S') {
        return false;
    }
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long call = -1;
    return static_cast<bool>(f >> call) && call >= 0 && call != SYS_futex;
}

// A WRITE request of payload's size at offset, handle h, payload behind it.
std::vector<uint8_t> write_request(uint64_t h, uint64_t offset, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> req = read_request(h, offset, static_cast<uint32_t>(payload.size()));
    be16_store(req.data() + 6, NBD_CMD_WRITE);
    req.insert(req.end(), payload.begin(), payload.end());
    return req;
}

// A sparse file of size bytes that removes itself.
struct scratch_file {
    char path[64] = {};
    explicit scratch_file(uint64_t size)
    {
        static std::atomic<int> n{0};
        snprintf(path, sizeof(path), "/tmp/nbd_budget_test_%d_%d.img", static_cast<int>(getpid()), n++);
        FILE *f = fopen(path, "w");
        if (f == nullptr || ftruncate(fileno(f), static_cast<off_t>(size)) != 0) {
            ADD_FAILURE() << "cannot make " << path;
        }
        if (f != nullptr) {
            fclose(f);
        }
    }
    ~scratch_file() { unlink(path); }
};

// Counts the bytes of the blocks above NBD_REQ_BUF_KEEP the allocation hooks
// hand out and take back (only request buffers are that large), and the most
// held at once since the last reset: the allocator's own count, beside the
// budget's. Installed before main, as the hooks' contract asks (before any
// thread or allocation), and never removed.
class large_block_count {
public:
    static void reset()
    {
        const std::lock_guard g(mu());
        peak() = held();
    }
    static uint64_t most()
    {
        const std::lock_guard g(mu());
        return peak();
    }
    static bool install()
    {
        pl_malloc_init(on_malloc, on_realloc, on_free);
        return true;
    }

private:
    static std::mutex &mu()
    {
        static std::mutex m;
        return m;
    }
    static std::map<void *, size_t> &blocks()
    {
        static std::map<void *, size_t> b;
        return b;
    }
    static uint64_t &held()
    {
        static uint64_t v = 0;
        return v;
    }
    static uint64_t &peak()
    {
        static uint64_t v = 0;
        return v;
    }
    static void note(void *p, size_t size)
    {
        if (p == nullptr || size <= NBD_REQ_BUF_KEEP) {
            return;
        }
        const std::lock_guard g(mu());
        blocks()[p] = size;
        held() += size;
        peak() = std::max(peak(), held());
    }
    static void forget(void *p)
    {
        if (p == nullptr) {
            return;
        }
        const std::lock_guard g(mu());
        const auto it = blocks().find(p);
        if (it != blocks().end()) {
            held() -= it->second;
            blocks().erase(it);
        }
    }
    static void *on_malloc(size_t size)
    {
        void *p = malloc(size);
        note(p, size);
        return p;
    }
    static void *on_realloc(void *ptr, size_t size)
    {
        forget(ptr);
        void *p = realloc(ptr, size);
        note(p, size);
        return p;
    }
    static void on_free(void *ptr)
    {
        forget(ptr);
        free(ptr);
    }
};

const bool g_large_blocks_counted = large_block_count::install();

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
    // Opens the export for p, connected once before was taken; the id of the
    // thread its session runs on, 0 unless exactly one thread started.
    int open_session(peer &p, const std::set<int> &before)
    {
        if (!p.open_export(path_)) {
            return 0;
        }
        std::set<int> session;
        for (int tid : thread_ids()) {
            if (before.count(tid) == 0) {
                session.insert(tid);
            }
        }
        return session.size() == 1 ? *session.begin() : 0;
    }
    uint32_t port_ = 0;
    char path_[64] = {};
};

// Whose yields the seam counts (0: nobody's), and how many it counted.
std::atomic<pid_t> g_yields_of{0};
std::atomic<uint64_t> g_yields{0};

}  // namespace

// Stands in for the C library's sched_yield in this binary, counting the
// yields of one thread.
extern "C" int sched_yield()
{
    if (gettid() == g_yields_of.load()) {
        g_yields++;
    }
    return static_cast<int>(syscall(SYS_sched_yield));
}

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

// Requests a client queues arrive together and are taken from one receive;
// each still gets its own reply, in order, and a header split by a pause is
// put back together.
TEST_F(ClientPool, QueuedAndSplitRequestsAreAnsweredInOrder)
{
    peer p(port_);
    ASSERT_TRUE(p.open_export(path_));
    std::vector<uint8_t> burst;
    for (uint64_t h = 1; h <= 200; h++) {
        const auto req = read_request(h, h * 512, 512);
        burst.insert(burst.end(), req.begin(), req.end());
    }
    ASSERT_EQ(send(p.fd, burst.data(), burst.size(), 0), static_cast<ssize_t>(burst.size()));
    for (uint64_t h = 1; h <= 200; h++) {
        uint8_t reply[NBD_REPLY_SIZE + 512];
        ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
        EXPECT_EQ(be32_load(reply + 4), 0U);
        EXPECT_EQ(be64_load(reply + 8), h);
    }
    const auto split = read_request(777, 0, 16);
    ASSERT_EQ(send(p.fd, split.data(), 10, 0), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(send(p.fd, split.data() + 10, split.size() - 10, 0), static_cast<ssize_t>(split.size() - 10));
    uint8_t reply[NBD_REPLY_SIZE + 16];
    ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
    EXPECT_EQ(be64_load(reply + 8), 777U);
}

// After each reply a session looks for the next request for a short window
// before it blocks; a client that stops sending leaves it asleep, not
// running: an idle session costs no CPU.
TEST_F(ClientPool, SessionWhoseClientStopsSendingSleeps)
{
    const std::set<int> before = thread_ids();
    peer p(port_);
    const int tid = open_session(p, before);
    ASSERT_NE(tid, 0);
    // Each request is sent as soon as the previous reply came: the session
    // looks for the next one, and finds it, every time.
    for (uint64_t h = 1; h <= 100; h++) {
        const auto req = read_request(h, h * 512, 512);
        ASSERT_EQ(send(p.fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        uint8_t reply[NBD_REPLY_SIZE + 512];
        ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int running = 0;
    for (int i = 0; i < 50; i++) {
        running += thread_state(tid) == 'R' ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Asleep in every look: nothing wakes an idle session but its client
    // or the stop. One that keeps looking runs in all 50; a loaded machine
    // may keep a waking thread queued a while.
    EXPECT_LE(running, 25);
    // The sleeping session still answers.
    const auto req = read_request(500, 0, 512);
    ASSERT_EQ(send(p.fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    uint8_t reply[NBD_REPLY_SIZE + 512];
    ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
    EXPECT_EQ(be64_load(reply + 8), 500U);
}

// A session looks for the next request before blocking while its client
// keeps up; after late requests it tries again ever more rarely, at last
// once in 64, so a client that is always late costs a window that seldom.
TEST(NbdSpin, DueAfterAPromptRequestAndAtLongerGapsAfterLateOnes)
{
    const struct {
        uint32_t late;
        bool due;
    } rows[] = {{0, true},   {1, true},   {2, true},   {3, false},  {4, true},   {5, false},  {8, true},
                {48, false}, {63, false}, {64, true},  {96, false}, {128, true}, {192, true}, {UINT32_MAX, false}};
    for (const auto &r : rows) {
        EXPECT_EQ(nbd_spin_due(r.late), r.due) << "late " << r.late;
    }
}

// The shell sets the read-only flag while clients connect (the NBD threads
// read it without the shell's lock): each session keeps the mode it opened
// with, so a write is refused exactly on the sessions that opened read-only.
TEST_F(ClientPool, ReadOnlyFlagSetWhileClientsConnectKeepsEachSessionsMode)
{
    dvar var = {"nbd_readonly_flag", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {VALUE_TYPE_PINT, {}}};
    var.value.v.pint = &g_nbd_settings.readonly;
    dvar_mgr *mgr = dvar_mgr_new();
    ASSERT_EQ(dvar_mgr_add(mgr, &var), 0);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; !stop.load(); i++)
            dvar_mgr_set(mgr, "nbd_readonly_flag", i % 2 == 0 ? "0" : "1", nullptr);
    });
    for (uint64_t h = 1; h <= 60; h++) {
        peer p(port_);
        uint16_t tflags = 0;
        ASSERT_TRUE(p.open_export(path_, &tflags));
        const bool readonly = tflags == NBD_TFLAGS_READONLY;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::vector<uint8_t> req = read_request(h, 0, 512);
        be16_store(req.data() + 6, NBD_CMD_WRITE);
        req.resize(req.size() + 512, 0x5a);
        ASSERT_EQ(send(p.fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        uint8_t reply[NBD_REPLY_SIZE];
        ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
        EXPECT_EQ(be32_load(reply + 4), readonly ? NBD_EPERM : 0U) << "session " << h;
    }
    stop.store(true);
    setter.join();
    dvar_mgr_free(mgr);
    std::atomic_ref<int>(g_nbd_settings.readonly).store(1);
}

// A large request's buffer lasts only for that request: an idle session
// keeps at most NBD_REQ_BUF_KEEP.
TEST(ClientBuffer, GrowsForOneRequestThenIsGivenBack)
{
    nbd_client c{};
    const struct {
        uint32_t len;
        uint32_t held_after_trim;
    } steps[] = {{4096, 4096}, {NBD_REQ_BUF_KEEP, NBD_REQ_BUF_KEEP}, {NBD_REQ_BUF_MAX, NBD_REQ_BUF_KEEP},
                 {8192, NBD_REQ_BUF_KEEP}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.len);
        ASSERT_TRUE(cli_buf_reserve(&c, s.len));
        EXPECT_GE(c.buf_size, s.len);
        c.buf[s.len - 1] = 1;
        cli_buf_trim(&c);
        EXPECT_EQ(c.buf_size, s.held_after_trim);
    }
    os_free(c.buf);
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

// Formats every log line and keeps none (nothing shared with the client
// threads that may still log when the test ends). The accept's line about
// its client is formatted only once that client's thread has released its
// context, as a slow accepting thread would see it.
[[gnu::format(printf, 7, 0)]] static void format_late(uint32_t, const char *, const char *, int, const char *func,
                                                      int, const char *fmt, va_list ap)
{
    if (func != nullptr && strcmp(func, "cli_mgr_accept") == 0) {
        const auto end = clock_type::now() + std::chrono::seconds(2);
        while (cli_mgr_count() != 0 && clock_type::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char line[1024];
    vsnprintf(line, sizeof(line), fmt, ap);
}

// A client that always sends its next request a while after the reply (2 ms
// here, and never before its session waits for it, however loaded the
// machine) is looked for after 1, 2, 4 ... late requests, then after every
// 64th: a look after every request would cost its session the whole 50 us
// window each time, on a CPU, for nothing. Each look yields between its
// tries, which the seam below counts for the session's thread.
TEST_F(ClientPool, SessionOfAClientThatIsAlwaysLateLooksOnlyNowAndThen)
{
    const std::set<int> before = thread_ids();
    peer p(port_);
    const int tid = open_session(p, before);
    ASSERT_NE(tid, 0);
    g_yields_of.store(tid);
    const on_leave unwatch{[] { g_yields_of.store(0); }};
    const auto late = [tid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        for (int i = 0; i < 5000 && !waits_for_peer(tid); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    constexpr uint64_t k_requests = 200;
    uint64_t looked = 0;
    late();
    for (uint64_t h = 1; h <= k_requests; h++) {
        const uint64_t yields = g_yields.load();
        const auto req = read_request(h, (h % 64) * 512, 512);
        ASSERT_EQ(send(p.fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        uint8_t reply[NBD_REPLY_SIZE + 512];
        ASSERT_TRUE(p.recv_all(reply, sizeof(reply)));
        // The session looks for the next request now, if it does, then waits.
        late();
        looked += g_yields.load() != yields ? 1 : 0;
    }
    RecordProperty("looked", std::to_string(looked) + " of " + std::to_string(k_requests));
    EXPECT_GT(looked, 0U) << "no look seen: the seam no longer sees the session's yields";
    EXPECT_LT(looked, k_requests / 2) << "looked for the late client after " << looked << " of its requests";
}

// A client that is gone before its greeting ends its session at once, and
// its thread frees the context: the accept that started it must not read the
// context afterwards (a use after free under the address sanitizer). Only the
// AddressSanitizer build (make test's first tree) catches that fault: the
// ThreadSanitizer build and a build without sanitizers pass either way.
TEST_F(ClientPool, AcceptOfAClientGoneAtOnceReadsNothingItsThreadFreed)
{
    log2_set_hook(nullptr, format_late);
    const on_leave unhook{[] { log2_set_hook(nullptr, nullptr); }};
    for (int i = 0; i < 20; i++) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        close(fds[1]);
        os_ipaddr peer_addr{};
        EXPECT_EQ(cli_mgr_accept(static_cast<os_socket>(fds[0]) + 1, &peer_addr), 0);
    }
    EXPECT_TRUE(eventually([] { return cli_mgr_count() == 0; }));
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

// Large requests' buffers come from one budget for the process. Four
// sessions each put a 32 MiB WRITE and a 32 MiB READ of their own region in
// flight at once: with room for one such buffer they are served one after
// another (or answered ENOMEM once a request's time-out passes while it waits);
// with less room than one request, every one is answered ENOMEM at once, the
// WRITE's payload read and dropped, and each session goes on. The allocator
// never holds more request buffers than the budget, and every acknowledged
// write reads back.
TEST_F(ClientPool, LargeRequestsOfManySessionsStayWithinTheBudget)
{
    constexpr uint32_t k_len = NBD_REQ_BUF_MAX;
    constexpr int k_sessions = 4;
    const struct {
        uint64_t budget;
        bool served;  // some large request is served
    } rows[] = {{40ULL << 20, true}, {4ULL << 20, false}};
    std::atomic_ref<int>(g_nbd_settings.readonly).store(0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.budget);
        scratch_file file(uint64_t{k_len} * k_sessions);
        cli_buf_budget_set(row.budget);
        large_block_count::reset();
        std::vector<uint32_t> write_err(k_sessions, 1), read_err(k_sessions, 1), small_err(k_sessions, 1);
        std::vector<uint8_t> read_matches(k_sessions, 0);  // one byte each: written by its own thread
        std::vector<std::thread> clients;
        for (int s = 0; s < k_sessions; s++) {
            clients.emplace_back([&, s] {
                peer p(port_);
                if (!p.open_export(file.path)) {
                    return;
                }
                const uint64_t off = uint64_t{k_len} * static_cast<uint64_t>(s);
                std::vector<uint8_t> data(k_len);
                for (size_t i = 0; i < data.size(); i += 4096) {
                    data[i] = static_cast<uint8_t>(s + 1);
                }
                std::vector<uint8_t> burst = write_request(1, off, data);
                const auto rd = read_request(2, off, k_len);
                const auto small = read_request(3, off, 4096);
                burst.insert(burst.end(), rd.begin(), rd.end());
                burst.insert(burst.end(), small.begin(), small.end());
                if (send(p.fd, burst.data(), burst.size(), 0) != static_cast<ssize_t>(burst.size())) {
                    return;
                }
                uint8_t reply[NBD_REPLY_SIZE];
                if (!p.recv_all(reply, sizeof(reply)) || be64_load(reply + 8) != 1) {
                    return;
                }
                write_err[s] = be32_load(reply + 4);
                if (!p.recv_all(reply, sizeof(reply)) || be64_load(reply + 8) != 2) {
                    return;
                }
                read_err[s] = be32_load(reply + 4);
                if (read_err[s] == 0) {
                    std::vector<uint8_t> got(k_len);
                    if (!p.recv_all(got.data(), got.size())) {
                        return;
                    }
                    // What it wrote if acknowledged, else the file's zeroes.
                    read_matches[s] = write_err[s] == 0 ? got == data : got == std::vector<uint8_t>(k_len);
                }
                // The session goes on: a small request after them is served.
                uint8_t tail[NBD_REPLY_SIZE + 4096];
                if (p.recv_all(tail, sizeof(tail)) && be64_load(tail + 8) == 3) {
                    small_err[s] = be32_load(tail + 4);
                }
            });
        }
        for (auto &t : clients) {
            t.join();
        }
        int served = 0;
        for (int s = 0; s < k_sessions; s++) {
            SCOPED_TRACE(s);
            EXPECT_TRUE(write_err[s] == 0 || write_err[s] == NBD_ENOMEM) << write_err[s];
            EXPECT_TRUE(read_err[s] == 0 || read_err[s] == NBD_ENOMEM) << read_err[s];
            if (read_err[s] == 0) {
                EXPECT_TRUE(read_matches[s] != 0);
            }
            EXPECT_EQ(small_err[s], 0u);
            served += (write_err[s] == 0 ? 1 : 0) + (read_err[s] == 0 ? 1 : 0);
            // An acknowledged write is on the medium.
            std::vector<uint8_t> on_disk(k_len);
            FILE *f = fopen(file.path, "r");
            ASSERT_NE(f, nullptr);
            fseeko(f, static_cast<off_t>(uint64_t{k_len} * static_cast<uint64_t>(s)), SEEK_SET);
            ASSERT_EQ(fread(on_disk.data(), 1, on_disk.size(), f), on_disk.size());
            fclose(f);
            for (size_t i = 0; i < on_disk.size(); i += 4096) {
                ASSERT_EQ(on_disk[i], write_err[s] == 0 ? s + 1 : 0) << i;
            }
        }
        EXPECT_EQ(served > 0, row.served) << served << " large requests served";
        EXPECT_LE(large_block_count::most(), row.budget);
        EXPECT_EQ(cli_buf_budget_used(nullptr), 0u);  // every grant given back
        cli_buf_budget_set(0);
    }
    std::atomic_ref<int>(g_nbd_settings.readonly).store(1);
}

// The stop wakes a session that waits for room in the budget, which sleeps
// on no socket: it is joined within the stop's bound, not left running.
TEST_F(ClientPool, StopWakesASessionWaitingForRoomInTheBudget)
{
    scratch_file file(NBD_REQ_BUF_MAX);
    cli_buf_budget_set(40ULL << 20);
    ASSERT_TRUE(cli_buf_budget_take(NBD_REQ_BUF_MAX, 0, nullptr));  // the room is taken
    peer p(port_);
    ASSERT_TRUE(p.open_export(file.path));
    const auto req = read_request(1, 0, NBD_REQ_BUF_MAX);
    ASSERT_EQ(send(p.fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into its wait of 3 s
    log_capture logs;
    nbd_stop_server();
    EXPECT_EQ(cli_mgr_exit(), 0);
    EXPECT_FALSE(logs.has("still running"));
    EXPECT_EQ(cli_mgr_count(), 0U);
    cli_buf_budget_give(NBD_REQ_BUF_MAX);
    cli_buf_budget_set(0);
}
