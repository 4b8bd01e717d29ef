#include "libbsv/bsv.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bsv_test_util.h"
#include "libbsv/bsv_log.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/memory/rbuf.h"
#include "liblog/log2.h"

namespace {

using bsv_test::saw;

const void *as_arg(intptr_t v)
{
    return reinterpret_cast<const void *>(v);
}

// Sets the process's time zone for the life of the object and puts the old
// one back. localtime_r reads TZ only at tzset.
class time_zone {
public:
    explicit time_zone(const char *tz)
    {
        if (const char *old = getenv("TZ"); old != nullptr)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~time_zone()
    {
        if (old_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", old_.c_str(), 1);
        tzset();
    }
    time_zone(const time_zone &) = delete;
    time_zone &operator=(const time_zone &) = delete;

private:
    std::string old_;
};

// A private log context with no text sink, and a log reader of the records.
class BsvRecords : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_ = log2_ctx_new();
        ASSERT_NE(ctx_, nullptr);
        log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
        reader_ = bsv_open_log();
        ASSERT_NE(reader_, nullptr);
        value_ = bsv_type_open_value(1);
        ASSERT_NE(value_, nullptr);
    }
    void TearDown() override
    {
        bsv_value_exit(value_);
        bsv_close_log(reader_);
        log2_exit(ctx_);
    }
    // The next stored record, parsed; false when none is stored.
    bool next(bsv_log_rec *r, std::vector<uint8_t> *raw = nullptr)
    {
        const void *rec = nullptr;
        const int n = bsv_read_raw_log(reader_, &rec);
        if (n <= 0)
            return false;
        if (raw != nullptr)
            raw->assign(static_cast<const uint8_t *>(rec), static_cast<const uint8_t *>(rec) + n);
        last_len_ = n;
        return bsv_log_record_parse(rec, static_cast<uint32_t>(n), value_, r) == 0;
    }
    log2_ctx *ctx_ = nullptr;
    bsv_log_reader *reader_ = nullptr;
    bsv_value *value_ = nullptr;
    int last_len_ = 0;
};

TEST_F(BsvRecords, MessageBecomesRecordWithEveryField)
{
    log2_set_thread_name("rec_t");
    log2_printf(ctx_, LOG2_WARN | LOG2_F_NOEXIT, "main", "src/a.c", 123, "fn", "hello %d\n", 5);
    bsv_log_rec r{};
    ASSERT_TRUE(next(&r));
    EXPECT_NEAR(static_cast<double>(r.sec), static_cast<double>(time(nullptr)), 2.0);
    EXPECT_LT(r.usec, 1000000u);
    EXPECT_EQ(r.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(r.tid, static_cast<uint32_t>(os_thread_id()));
    EXPECT_EQ(r.level, LOG2_WARN);
    EXPECT_STREQ(r.tag, "main");
    EXPECT_EQ(std::string(r.tid_name).rfind("rec_t_", 0), 0u) << r.tid_name;
    EXPECT_STREQ(r.file, "src/a.c");
    EXPECT_STREQ(r.line, "123");
    EXPECT_STREQ(r.func, "fn");
    EXPECT_STREQ(r.msg, "hello 5\n");
    log2_set_thread_name(nullptr);
    EXPECT_FALSE(next(&r));
}

TEST_F(BsvRecords, RecordOnlyErrnoAndReadyTextCarryTheirMessage)
{
    errno = ENOENT;
    log2_printf(ctx_, LOG2_ERR | LOG2_F_ERRNO, "t", "a.c", 1, "fn", "open: ");
    log2_printf(ctx_, LOG2_CRIT | LOG2_F_BSVONLY, "t", "a.c", 1, "fn", "only a record\n");
    errno = ENOENT;
    log2_puts(ctx_, LOG2_ERR | LOG2_F_ERRNO, "t", "a.c", 1, "fn", "as given");
    bsv_log_rec r{};
    ASSERT_TRUE(next(&r));
    EXPECT_EQ(std::string(r.msg), std::string("open: ") + strerror(ENOENT) + "\n");
    ASSERT_TRUE(next(&r));
    EXPECT_STREQ(r.msg, "only a record\n");
    EXPECT_EQ(r.level, LOG2_CRIT);
    ASSERT_TRUE(next(&r));
    EXPECT_STREQ(r.msg, "as given");
}

TEST_F(BsvRecords, TagsBsvAndNetAndLevelsAboveTheThresholdMakeNone)
{
    log2_printf(ctx_, LOG2_ERR, "bsv", "a.c", 1, "fn", "x\n");
    log2_printf(ctx_, LOG2_ERR, "net", "a.c", 1, "fn", "x\n");
    log2_ioctl(ctx_, LOG2_CMD_LEVEL_STR, "info", 0);
    log2_printf(ctx_, LOG2_DBG, "t", "a.c", 1, "fn", "x\n");
    bsv_log_rec r{};
    EXPECT_FALSE(next(&r));
}

TEST_F(BsvRecords, BuildPathPrefixIsDropped)
{
    log2_printf(ctx_, LOG2_ERR, "t", "d:\\work\\qds\\src\\x.c", 1, "fn", "x\n");
    log2_printf(ctx_, LOG2_ERR, "t", "d:\\work\\other\\x.c", 1, "fn", "x\n");
    bsv_log_rec r{};
    ASSERT_TRUE(next(&r));
    EXPECT_STREQ(r.file, "src\\x.c");
    ASSERT_TRUE(next(&r));
    EXPECT_STREQ(r.file, "d:\\work\\other\\x.c");
}

TEST_F(BsvRecords, LongMessageIsCutToTheLargestRecordAndEndsWithNul)
{
    const std::string big(2000, 'm');
    log2_printf(ctx_, LOG2_ERR, "t", "a.c", 1, "fn", "%s", big.c_str());
    bsv_log_rec r{};
    std::vector<uint8_t> raw;
    ASSERT_TRUE(next(&r, &raw));
    EXPECT_EQ(last_len_, 1470);
    EXPECT_EQ(raw.back(), 0);
    EXPECT_EQ(std::string(r.msg), std::string(strlen(r.msg), 'm'));
    EXPECT_LT(strlen(r.msg), big.size());

    // A source path that fills the area drops the strings after it.
    uint8_t rec[BSV_LOG_MAX];
    const std::string path(1500, 'p');
    EXPECT_EQ(bsv_log_record(rec, LOG2_ERR, "t", path.c_str(), 1, "fn", "lost"), 1470);
    EXPECT_EQ(rec[1469], 0);
}

// The daemon detaches by forking after it has logged: the child's records
// carry the child's ids, not those the parent's thread kept.
TEST(BsvRecordIds, ChildOfAForkRecordsItsOwnIds)
{
    uint8_t rec[BSV_LOG_MAX];
    ASSERT_GT(bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", "parent"), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uint32_t ids[2] = {static_cast<uint32_t>(getpid()), static_cast<uint32_t>(gettid())};
        const bool ok = bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", "child") > 0 &&
                        memcmp(rec + 12, ids, sizeof(ids)) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(BsvRecord3, CarriesCpuAndIrqlBeforeTheLevel)
{
    uint8_t rec[BSV_LOG_MAX];
    const int n = bsv_log3_record(rec, LOG2_NOTI, "t", "b.c", 4, "fn", "three");
    ASSERT_GT(n, 24);
    EXPECT_EQ(rec[24], 't');  // the strings follow the three small fields
    bsv_value *v = bsv_type_open_value(3);
    ASSERT_NE(v, nullptr);
    bsv_log3_rec r{};
    ASSERT_EQ(bsv_log3_record_parse(rec, static_cast<uint32_t>(n), v, &r), 0);
    EXPECT_EQ(r.cpu_num, 1);
    EXPECT_EQ(r.irql, 2);
    EXPECT_EQ(r.log.level, LOG2_NOTI);
    EXPECT_STREQ(r.log.tag, "t");
    EXPECT_STREQ(r.log.file, "b.c");
    EXPECT_STREQ(r.log.line, "4");
    EXPECT_STREQ(r.log.msg, "three");
    EXPECT_EQ(bsv_log3_record_parse(rec, 20, v, &r), -1);
    bsv_value_exit(v);
}

TEST_F(BsvRecords, LogLineShowsLocalTimeWithMillisecondsAndTheFields)
{
    uint8_t rec[BSV_LOG_MAX];
    const int n = bsv_log_record(rec, LOG2_INFO, "main", "a.c", 9, "fn", "line\n");
    ASSERT_GT(n, 0);
    const uint64_t sec = 1700000000;
    const uint32_t usec = 250000;
    memcpy(rec, &sec, 8);
    memcpy(rec + 8, &usec, 4);
    bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    char line[512];
    int level = 0;
    int len = 0;
    {
        // 1700000000 is 2023-11-14 22:13:20 UTC; the zone is 5 h 30 min east.
        const time_zone east("XST-5:30");
        len = bsv_read_log(reader_, &level, line, sizeof(line));
    }
    ASSERT_GT(len, 0);
    EXPECT_EQ(level, LOG2_INFO);
    char name[256];
    os_thread_name_get(name, sizeof(name));
    EXPECT_EQ(std::string(line, static_cast<size_t>(len)),
              "2023-11-15 03:43:20.250 INFO  " + std::to_string(getpid()) + " --- [" + name + "] main fn(): line\n");
    EXPECT_EQ(bsv_read_log(reader_, &level, line, sizeof(line)), 0);

    char *stat = bsv_log_stat_text(reader_);
    ASSERT_NE(stat, nullptr);
    EXPECT_TRUE(std::regex_match(stat, std::regex("write_byte=\\d+\nread_byte=\\d+\ndrop_byte=0\nwrite_count=1\n"
                                                  "read_count=\\d+\ndrop_count=0\n")))
        << stat;
    os_free(stat);
}

TEST(BsvReaders, OpenNamesTypeAndRingSize)
{
    char err[BSV_ERR_SIZE];
    bsv_reg_log();
    bsv_reader *r = bsv_open("log?bsv_rbuf_size=64k", err);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(bsv_check(r), 0);
    bsv_type_info info{};
    ASSERT_EQ(bsv_get_info(r, &info), 0);
    EXPECT_EQ(info.type_id, 1);
    EXPECT_EQ(info.endian, 0);
    EXPECT_EQ(info.max_len, BSV_LOG_MAX);
    EXPECT_STREQ(info.schema, BSV_SCHEMA_LOG);

    // A 64 KiB ring keeps fewer than 64 KiB of records: the oldest are dropped.
    uint8_t rec[BSV_LOG_MAX];
    const int n = bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", std::string(1000, 'x').c_str());
    for (int i = 0; i < 100; i++)
        bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    rbuf_stat st{};
    ASSERT_EQ(bsv_get_stat(r, &st), 0);
    EXPECT_EQ(st.write_count, 100u);
    EXPECT_GT(st.drop_count, 0u);
    EXPECT_LE((st.write_count - st.drop_count) * static_cast<uint64_t>(n), 65536u);
    bsv_close(r);

    EXPECT_EQ(bsv_open("nosuch?bsv_rbuf_size=64k", err), nullptr);
    EXPECT_STREQ(err, "name does not exist");
    EXPECT_EQ(bsv_open("log?bsv_rbuf_size=100g", err), nullptr);
    EXPECT_STREQ(err, "memory allocation failed");
}

TEST(BsvReaders, NinthReaderIsMadeButReceivesNothing)
{
    char err[BSV_ERR_SIZE];
    bsv_reg_log();
    std::vector<bsv_reader *> readers;
    for (int i = 0; i < 9; i++) {
        readers.push_back(bsv_open("log?bsv_rbuf_size=16k", err));
        ASSERT_NE(readers.back(), nullptr);
    }
    EXPECT_EQ(bsv_check(readers[8]), -1);
    uint8_t rec[BSV_LOG_MAX];
    const int n = bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", "x");
    bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    std::vector<uint8_t> buf(4096);
    EXPECT_GT(bsv_read(readers[0], buf.data(), 4096), 0);
    EXPECT_EQ(bsv_read(readers[8], buf.data(), 4096), 0);
    EXPECT_EQ(bsv_read(readers[0], buf.data(), 100), -1);  // cannot hold the largest record

    // A disabled reader receives nothing; a closed one frees its slot.
    bsv_disable(readers[1]);
    bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    EXPECT_EQ(bsv_read(readers[1], buf.data(), 4096), static_cast<int>(2 + n));  // only the first one
    bsv_close(readers[0]);
    bsv_reader *again = bsv_open("log?bsv_rbuf_size=16k", err);
    EXPECT_EQ(bsv_check(again), 0);
    bsv_close(again);
    for (size_t i = 1; i < readers.size(); i++)
        bsv_close(readers[i]);
}

TEST(BsvReaders, FilterKeepsOnlyWhatItsRulesKeep)
{
    char err[BSV_ERR_SIZE];
    bsv_reg_log();
    bsv_reader *r = bsv_open("log?bsv_rbuf_size=16k", err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(bsv_set_filter(r, "level <= 4\n"), 0);
    EXPECT_LT(bsv_set_filter(r, "level <> 4\n"), 0);  // refused: the rule before stays
    uint8_t rec[BSV_LOG_MAX];
    for (uint32_t level : {LOG2_ERR, LOG2_INFO, LOG2_WARN}) {
        const int n = bsv_log_record(rec, level, "t", "a.c", 1, "fn", "x");
        bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    }
    bsv_value *v = bsv_type_open_value(1);
    std::vector<uint8_t> buf(4096);
    const int got = bsv_read(r, buf.data(), 4096);
    rbuf_blocks_cursor cur{buf.data(), static_cast<uint32_t>(got), 0};
    std::vector<int> levels;
    uint32_t len = 0;
    while (const void *p = rbuf_blocks_next(&cur, &len))
        levels.push_back(bsv_value_get_u8(v, p, len, 4));
    EXPECT_EQ(levels, (std::vector<int>{LOG2_ERR, LOG2_WARN}));

    // A rule on a field the record lacks is skipped, and what the filter
    // logs about it under the registry lock makes no record of its own.
    EXPECT_EQ(bsv_set_filter(r, "nosuch == 1\n"), 0);
    const int n = bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", "x");
    bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));
    EXPECT_EQ(bsv_read(r, buf.data(), 4096), 2 + n);
    bsv_value_exit(v);
    bsv_close(r);
}

TEST(BsvReaders, ExitAllDetachesReadersTheirOwnersStillClose)
{
    char err[BSV_ERR_SIZE];
    bsv_reg_log();
    bsv_reader *r = bsv_open("log?bsv_rbuf_size=16k", err);
    ASSERT_NE(r, nullptr);
    bsv_exit_all();
    EXPECT_EQ(bsv_check(r), -1);
    uint8_t rec[BSV_LOG_MAX];
    const int n = bsv_log_record(rec, LOG2_INFO, "t", "a.c", 1, "fn", "x");
    bsv_type_write(bsv_log_type(), rec, static_cast<uint32_t>(n));  // registers the type anew
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(bsv_read(r, buf.data(), 4096), 0);
    bsv_close(r);
    EXPECT_EQ(bsv_nop(), 0);
}

// Writers (log calls on several threads) and readers at once, for the
// thread checker: every record read is whole.
TEST(BsvReaders, ConcurrentWritersAndReadersSeeWholeRecords)
{
    log2_ctx *ctx = log2_ctx_new();
    ASSERT_NE(ctx, nullptr);
    log2_ioctl(ctx, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
    bsv_log_reader *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; t++) {
        writers.emplace_back([ctx, t] {
            for (int i = 0; i < 300; i++)
                log2_printf(ctx, LOG2_INFO, "w", "a.c", t, "fn", "writer %d line %d\n", t, i);
        });
    }
    int lines = 0;
    std::thread reader([&] {
        char line[2048];
        int level = 0;
        const std::regex form(".* INFO  \\d+ --- \\[[^\\]]*\\] w fn\\(\\): writer \\d line \\d+\n");
        for (;;) {
            const bool last = done.load();
            int n = 0;
            while ((n = bsv_read_log(h, &level, line, sizeof(line))) > 0) {
                EXPECT_TRUE(std::regex_match(std::string(line, static_cast<size_t>(n)), form)) << line;
                lines++;
            }
            if (last)
                break;
        }
    });
    // A second reader opened and closed meanwhile.
    for (int i = 0; i < 20; i++) {
        bsv_log_reader *other = bsv_open_log();
        ASSERT_NE(other, nullptr);
        bsv_close_log(other);
    }
    for (auto &w : writers)
        w.join();
    done.store(true);
    reader.join();
    EXPECT_GT(lines, 0);
    bsv_close_log(h);
    log2_exit(ctx);
}

}  // namespace
