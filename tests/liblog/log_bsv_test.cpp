#include "liblog/log_bsv.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <strings.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libpal/basic/pl_own.h"
#include "libpal/env/pl_init.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/rc4.h"
#include "liblog/log2.h"
#include "liblog/log_net.h"
#include "libpal/basic/os_sync.h"
#include "stderr_capture.h"
#include "log_test_util.h"
#include "../support/on_leave.h"

namespace {

using bytes = std::vector<uint8_t>;

// A UDP collector on a free loopback port.
class collector {
public:
    collector()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        socklen_t n = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~collector() { close(fd_); }
    collector(const collector &) = delete;
    collector &operator=(const collector &) = delete;

    int port() const { return port_; }
    std::string url(const char *scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }
    // The next datagram within ms, empty when none comes.
    bytes receive(int ms) const
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return {};
        bytes b(65536);
        const ssize_t n = recv(fd_, b.data(), b.size(), 0);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

std::vector<std::string> g_lines;

void keep_line(int, const char *, const char *line, int)
{
    g_lines.emplace_back(line);
}

// A private context whose lines go to the callbacks only, and a log reader
// that sees the same records as the collector.
class LogCollector : public ::testing::Test {
protected:
    void SetUp() override
    {
        pl_init();
        ctx_ = log2_ctx_new();
        ASSERT_NE(ctx_, nullptr);
        log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
        log2_ioctl(ctx_, LOG2_CMD_FLAGS, as_arg(0), 0);
        log2_ioctl(ctx_, LOG2_CMD_HI_CB, reinterpret_cast<const void *>(&keep_line), 0);
        log2_ioctl(ctx_, LOG2_CMD_LO_CB, reinterpret_cast<const void *>(&keep_line), 0);
        g_lines.clear();
        reader_ = bsv_open_log();
        ASSERT_NE(reader_, nullptr);
    }
    void TearDown() override
    {
        bsv_close_log(reader_);
        log2_exit(ctx_);
        bsv_net_set_rc4(0);
    }
    bytes next_record()
    {
        const void *rec = nullptr;
        const int n = bsv_read_raw_log(reader_, &rec);
        return n > 0 ? bytes(static_cast<const uint8_t *>(rec), static_cast<const uint8_t *>(rec) + n) : bytes{};
    }
    log2_ctx *ctx_ = nullptr;
    bsv_log_reader *reader_ = nullptr;
};

class LogCollectorScheme : public LogCollector, public ::testing::WithParamInterface<const char *> {};

TEST_P(LogCollectorScheme, FlaggedMessagesArriveAsCheckedPacketsOfTheRecord)
{
    const bool udps = strcasecmp(GetParam(), "udps") == 0;
    collector srv;
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_BSV_URL, srv.url(GetParam()).c_str(), 0), 0);
    ASSERT_EQ(log2_bsv_join(ctx_, 5000), 0);
    EXPECT_GE(log2_get_bsv_fd(ctx_), 0);

    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "not for the collector\n");
    log2_printf(ctx_, LOG2_ERR | LOG2_F_NET, "t", "a.c", 2, "fn", "to the collector\n");
    log2_printf(ctx_, LOG2_INFO | LOG2_F_BSVONLY, "t", "a.c", 3, "fn", "record only, also sent\n");
    const bytes not_sent = next_record();
    const bytes sent[2] = {next_record(), next_record()};
    ASSERT_FALSE(not_sent.empty());

    for (const bytes &want : sent) {
        bytes pkt = srv.receive(5000);
        ASSERT_FALSE(pkt.empty());
        EXPECT_EQ(pkt[3], udps ? 6 : 2);
        if (udps) {
            // Deciphered with the fixed key: the length and the CRC hold.
            bytes plain = pkt;
            rc4_ctx rc4;
            ASSERT_EQ(rc4_init(&rc4, BSV_NET_KEY, sizeof(BSV_NET_KEY)), 0);
            rc4_crypt(&rc4, plain.data() + 4, plain.data() + 4, plain.size() - 4);
            EXPECT_EQ(plain[4] | (plain[5] << 8), static_cast<int>(plain.size()));
            EXPECT_EQ(hash_crc8(plain.data() + 3, plain.size() - 4, 0), plain.back());
        } else {
            EXPECT_EQ(hash_crc8(pkt.data() + 3, pkt.size() - 4, 0), pkt.back());
        }
        ASSERT_EQ(bsv_parse_net_type(pkt.data(), static_cast<uint32_t>(pkt.size())), 5);
        bsv_value *v = bsv_type_open_value(5);
        bsv_net_payload p{};
        ASSERT_EQ(bsv_parse_net_payload(pkt.data(), static_cast<uint32_t>(pkt.size()), v, &p), 0);
        bsv_value_exit(v);
        EXPECT_EQ(bytes(static_cast<const uint8_t *>(p.data), static_cast<const uint8_t *>(p.data) + p.data_len),
                  want);
    }
    EXPECT_TRUE(srv.receive(200).empty());

    log2_info info{};
    log2_get_info(ctx_, &info);
    EXPECT_EQ(std::string(info.bsv_url), srv.url(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Log, LogCollectorScheme, ::testing::Values("udp", "udps", "UDPS"),
                         [](const auto &row) { return std::string(row.param); });

TEST_F(LogCollector, FirstPacketWhileOpeningIsKeptAndSentLaterOnesAreLost)
{
    collector srv;
    log_bsv sink;
    log_bsv_init(&sink);
    snprintf(sink.host, sizeof(sink.host), "127.0.0.1");
    sink.port = static_cast<uint32_t>(srv.port());
    sink.opening = 1;
    const uint8_t first[] = "first";
    const uint8_t second[] = "second";
    log_bsv_net_cb(LOG2_ERR, first, sizeof(first), &sink);
    log_bsv_net_cb(LOG2_WARN, second, sizeof(second), &sink);
    log_bsv_net_cb(LOG2_WARN, second, 0, &sink);
    EXPECT_EQ(sink.pending_len, sizeof(first));
    EXPECT_EQ(sink.pending_level, LOG2_ERR);
    EXPECT_TRUE(srv.receive(100).empty());
    EXPECT_EQ(net_open_thread(&sink), 0);
    EXPECT_EQ(sink.opening, 0u);
    EXPECT_EQ(sink.pending_len, 0u);
    EXPECT_EQ(srv.receive(2000), bytes(first, first + sizeof(first)));
    log_bsv_net_cb(LOG2_WARN, second, sizeof(second), &sink);
    EXPECT_EQ(srv.receive(2000), bytes(second, second + sizeof(second)));
    EXPECT_TRUE(srv.receive(100).empty());
    EXPECT_GE(log_bsv_fd(&sink), 0);
    EXPECT_EQ(log_bsv_close(&sink), 0);
    EXPECT_EQ(log_bsv_fd(&sink), -1);
    log_bsv_exit(&sink);
}

TEST_F(LogCollector, BadUrlsAreRefusedAndTheOtherSinksGoOn)
{
    struct row {
        const char *url;
        int rc;
        const char *err;
    };
    const row rows[] = {
        {"tcp://127.0.0.1:5140", -1, "unknown scheme [tcp] (udp or udps)"},
        {"127.0.0.1:5140", -1, "does not parse or names no host"},
        {"udp://", -1, "does not parse or names no host"},
        {"udp://127.0.0.1:99999", -1, "does not parse or names no host"},
        {"udp://no-such-host.invalid:5140", 0, "log collector no-such-host.invalid:5140 cannot be opened"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.url);
        stderr_capture cap;
        EXPECT_EQ(log2_ioctl(ctx_, LOG2_CMD_BSV_URL, r.url, 0), r.rc);
        EXPECT_EQ(log2_bsv_join(ctx_, 20000), 0);
        const std::string err = cap.take();
        EXPECT_NE(err.find(r.err), std::string::npos) << err;
        EXPECT_EQ(log2_get_bsv_fd(ctx_), -1);
    }
    // No socket: flagged messages go nowhere, the text sinks still have them.
    log2_printf(ctx_, LOG2_ERR | LOG2_F_NET, "t", "a.c", 1, "fn", "still logged\n");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "still logged\n");
}

// A new URL while the earlier collector's opener still resolves its host:
// the opener, failing, logs on the default context, so the setter waits for
// it before it takes that context's hold. Were the hold taken first, each
// would wait on the other until the join gave up and the new URL was refused.
TEST_F(LogCollector, NewUrlWaitsForTheEarlierOpenerFirst)
{
    uint32_t level = 0;
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_CMD_GET_LEVEL, &level, sizeof(level)), 0);
    const on_leave restore{[level] { log2_ioctl(nullptr, LOG2_CMD_LEVEL, as_arg(level), 0); }};
    // The opener's failure is a dbg line.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_CMD_LEVEL, as_arg(LOG2_DBG), 0), 0);
    collector srv;
    stderr_capture cap;
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_CMD_BSV_URL, "udp://no-such-host.invalid:5140", 0), 0);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_CMD_BSV_URL, srv.url("udp").c_str(), 0), 0);
    EXPECT_EQ(log2_bsv_join(nullptr, 20000), 0);
    const std::string err = cap.take();
    EXPECT_NE(err.find("log collector no-such-host.invalid:5140 cannot be opened"), std::string::npos) << err;
    EXPECT_EQ(err.find("still being opened"), std::string::npos) << err;
    EXPECT_GE(log2_get_bsv_fd(nullptr), 0);
}

TEST_F(LogCollector, NoPortMeansPort514)
{
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_BSV_URL, "udp://127.0.0.1", 0), 0);
    EXPECT_EQ(ctx_->bsv.port, 514u);
    EXPECT_STREQ(ctx_->bsv.host, "127.0.0.1");
}

// ---- the pcap log file ----

bytes slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The number of whole records, -1 when the file is not a pcap of records.
int pcap_records(const bytes &f)
{
    if (f.size() < 24 || f[0] != 0xd4 || f[20] != 147)
        return -1;
    size_t off = 24;
    int n = 0;
    while (off + 16 <= f.size()) {
        const uint32_t cap = f[off + 8] | (f[off + 9] << 8) | (f[off + 10] << 16) | (f[off + 11] << 24);
        if (off + 16 + cap > f.size())
            return -1;
        off += 16 + cap;
        n++;
    }
    return off == f.size() ? n : -1;
}

class LogPcapSink : public LogCollector {
protected:
    void SetUp() override
    {
        LogCollector::SetUp();
        dir_ = ::testing::TempDir() + "zorv_pcap_sink_" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = dir_ + "/log.pcap";
    }
    void TearDown() override
    {
        LogCollector::TearDown();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
    std::string path_;
};

TEST_F(LogPcapSink, EveryRecordGoesToTheFileAndNoTextLine)
{
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, path_.c_str(), 0), 0);
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(1), 0), 0);
    EXPECT_GE(log2_get_file_fd(ctx_), 0);
    for (int i = 0; i < 5; i++)
        log2_printf(ctx_, LOG2_INFO, "t", "a.c", i, "fn", "line %d\n", i);
    log2_printf(ctx_, LOG2_INFO, "bsv", "a.c", 9, "fn", "no record\n");
    const bytes f = slurp(path_);
    EXPECT_EQ(pcap_records(f), 5);
    EXPECT_EQ(std::string(f.begin(), f.end()).find("INFO "), std::string::npos);
    EXPECT_EQ(g_lines.size(), 6u);  // the callbacks still have every line
    // The record's data is the record from its pid on.
    const bytes rec = next_record();
    EXPECT_EQ(bytes(f.begin() + 40, f.begin() + 40 + static_cast<long>(rec.size()) - 12),
              bytes(rec.begin() + 12, rec.end()));

    // Another file closes this one: records no longer reach it.
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, (dir_ + "/x.log").c_str(), 0), 0);
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "text now\n");
    EXPECT_EQ(slurp(path_), f);
}

TEST_F(LogPcapSink, ModeAAppendsAndTheCapCutsOnRecords)
{
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, path_.c_str(), 0), 0);
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "first run\n");
    ASSERT_EQ(pcap_records(slurp(path_)), 1);
    ASSERT_EQ(log_file_set_mode(&ctx_->file, "a"), 0);
    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, path_.c_str(), 0), 0);
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "second run\n");
    EXPECT_EQ(pcap_records(slurp(path_)), 2);

    ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_SIZE, as_arg(4096), 0), 0);
    size_t largest = 0;
    for (int i = 0; i < 200; i++) {
        log2_printf(ctx_, LOG2_INFO, "t", "a.c", i, "fn", "filling %d %s\n", i, std::string(40, 'f').c_str());
        const bytes f = slurp(path_);
        largest = std::max(largest, f.size());
        ASSERT_GT(pcap_records(f), 0) << i;
    }
    EXPECT_LT(largest, 4096u);
    const bytes f = slurp(path_);
    EXPECT_NE(std::string(f.begin(), f.end()).find("filling 199 "), std::string::npos);
}

TEST_F(LogPcapSink, FileThatCannotBeOpenedIsReportedAndOtherSinksGoOn)
{
    stderr_capture cap;
    EXPECT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, (dir_ + "/none/log.pcap").c_str(), 0), -1);
    EXPECT_NE(cap.take().find("none/log.pcap cannot be opened"), std::string::npos);
    log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(1), 0);
    log2_printf(ctx_, LOG2_INFO, "t", "a.c", 1, "fn", "still here\n");
    EXPECT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(log2_get_file_fd(ctx_), -1);
}

// ---- the stop ----

// A name server that does not answer until released (or ten seconds pass),
// then fails.
struct hung_names {
    static inline std::atomic<int> asked{0};
    static inline std::atomic<bool> released{false};
    static int resolve(const char *, const char *, int, sockaddr_storage *, socklen_t *)
    {
        asked++;
        const uint64_t end = os_tick_ms() + 10000;
        while (!released.load() && os_tick_ms() < end)
            os_sleep_ms(1);
        return EAI_AGAIN;
    }
};

struct stop_row {
    const char *name;
    bool collector;  // the collector's opener hangs on its name
    bool syslog;     // and/or the syslog sink's lookup
};

// The stop waits for the logger's threads once, under one deadline of a
// second, and lets go of what still runs: a stop with both names hanging
// once waited for the collector's opener twice (2 s), not at all for the
// lookup, and left the opener joinable, never joined nor detached
// (ThreadSanitizer reported it leaked once it ended).
TEST(LogStop, HangingNamesCostOneWaitAndLeaveNothingJoinable)
{
    pl_init();
    const stop_row rows[] = {
        {"collector and syslog", true, true},
        {"collector", true, false},
        {"syslog", false, true},
    };
    for (const stop_row &row : rows) {
        SCOPED_TRACE(row.name);
        hung_names::asked = 0;
        hung_names::released = false;
        log_net_set_resolver(hung_names::resolve);
        log2_ctx *ctx = log2_ctx_new();
        log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
        log2_ioctl(ctx, LOG2_CMD_LEVEL, as_arg(LOG2_VERB), 0);
        stderr_capture cap;
        if (row.collector) {
            ASSERT_EQ(log2_ioctl(ctx, LOG2_CMD_BSV_URL, "udp://collector.hang.test:5140", 0), 0);
        }
        if (row.syslog) {
            ASSERT_EQ(log2_ioctl(ctx, LOG2_CMD_SYSLOG_URL, "udp://syslog.hang.test:5140", 0), 0);
            log2_ioctl(ctx, LOG2_CMD_SYSLOG_ON, as_arg(1), 0);
            log2_printf(ctx, LOG2_INFO, "t", "a.c", 1, "fn", "starts the lookup\n");
        }
        const int asked = (row.collector ? 1 : 0) + (row.syslog ? 1 : 0);
        for (int i = 0; i < 2000 && hung_names::asked.load() < asked; i++)
            os_sleep_ms(1);
        ASSERT_EQ(hung_names::asked.load(), asked);
        const uint64_t start = os_tick_ms();
        EXPECT_EQ(log2_exit(ctx), 0);
        EXPECT_LT(os_tick_ms() - start, 1500u) << "one wait is a second";
        // Left allocated for the opener, which still runs, detached.
        if (row.collector) {
            EXPECT_EQ(ctx->bsv.opener, nullptr);
        }
        hung_names::released = true;
        for (int i = 0; i < 5000 && threads_named("bsvnet") + threads_named("syslogdns") != 0; i++)
            os_sleep_ms(1);
        EXPECT_EQ(threads_named("bsvnet") + threads_named("syslogdns"), 0);
        // Once the opener has said it is done, a second exit frees the
        // context.
        if (row.collector) {
            const auto still_opening = [ctx] {
                os_mutex_guard guard(ctx->bsv.lock);
                return ctx->bsv.opening != 0;
            };
            for (int i = 0; i < 5000 && still_opening(); i++)
                os_sleep_ms(1);
            EXPECT_FALSE(still_opening()) << "the let-go opener never said it was done";
            EXPECT_EQ(log2_exit(ctx), 0);
        }
        log_net_set_resolver(nullptr);
        cap.take();
    }
}

}  // namespace
