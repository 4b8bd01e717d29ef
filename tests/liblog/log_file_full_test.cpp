// The log file sinks (text and pcap) on a disk that fills and then has room
// again, and their file modes. The full disk is the file-size limit of the
// process (RLIMIT_FSIZE): a write past it fails part-way, as on a full file
// system, on every machine and without privileges.
#include "liblog/log_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../support/on_leave.h"
#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_init.h"
#include "liblog/log2.h"
#include "log_test_util.h"

namespace {

// Whole: every text line is one log line from its date on; every pcap
// record lies within the file. The count of lines or records, -1 when not.
int whole_units(const std::string &f, bool pcap)
{
    if (pcap) {
        if (f.size() < 24 || static_cast<uint8_t>(f[0]) != 0xd4)
            return -1;
        size_t off = 24;
        int n = 0;
        while (off + 16 <= f.size()) {
            uint32_t cap;
            memcpy(&cap, f.data() + off + 8, 4);
            if (cap > 65536 || off + 16 + cap > f.size())
                return -1;
            off += 16 + cap;
            n++;
        }
        return off == f.size() ? n : -1;
    }
    // "YYYY-MM-DD hh:mm:ss.uuuuuu LEVEL pid --- [thread] tag text"
    auto starts_a_line = [&f](size_t at) {
        return at + 27 <= f.size() && isdigit(static_cast<unsigned char>(f[at])) != 0 && f[at + 4] == '-' &&
               f[at + 7] == '-' && f[at + 10] == ' ' && f[at + 13] == ':' && f[at + 19] == '.' && f[at + 26] == ' ';
    };
    int n = 0;
    size_t start = 0;
    while (start < f.size()) {
        const size_t end = f.find('\n', start);
        if (end == std::string::npos || !starts_a_line(start) || f.find(" --- [", start) > end)
            return -1;
        start = end + 1;
        n++;
    }
    return n;
}

// tshark's count of the packets it reads, -1 when it reports an error; -2
// when tshark is not installed.
int tshark_packets(const std::string &path)
{
    if (system("command -v tshark >/dev/null 2>&1") != 0)
        return -2;
    const std::string cmd = "tshark -r '" + path + "' -T fields -e frame.number 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -2;
    int n = 0;
    char row[512];
    bool error = false;
    while (fgets(row, sizeof(row), p) != nullptr) {
        if (strstr(row, "appears to have been cut short") != nullptr || strstr(row, "tshark:") != nullptr)
            error = true;
        if (isdigit(static_cast<unsigned char>(row[0])) != 0)
            n++;
    }
    return pclose(p) == 0 && !error ? n : -1;
}

struct form_row {
    const char *name;
    const char *file;  // the log file's name: ".pcap" chooses the record form
    uint32_t cap;      // below 16 KiB the cut runs inline, above on its own thread
};

// A row reads as its text in a listing and a failure.
void PrintTo(const form_row &r, std::ostream *os)
{
    *os << r.name << " (" << r.file << ", cap " << r.cap << ")";
}

class LogFileFull : public ::testing::TestWithParam<form_row> {
protected:
    void SetUp() override
    {
        pl_init();
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &limit_);
        dir_ = ::testing::TempDir() + "zorv_log_full_" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = dir_ + "/" + GetParam().file;
        pcap_ = path_.ends_with(".pcap");
        ctx_ = log2_ctx_new();
        ASSERT_NE(ctx_, nullptr);
        log2_ioctl(ctx_, LOG2_CMD_CONSOLE_ON, as_arg(0), 0);
        log2_ioctl(ctx_, LOG2_CMD_LEVEL, as_arg(LOG2_VERB), 0);
        ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_SIZE, as_arg(GetParam().cap), 0), 0);
    }
    void TearDown() override
    {
        setrlimit(RLIMIT_FSIZE, &limit_);
        log2_exit(ctx_);
        std::filesystem::remove_all(dir_);
    }
    void open_log()
    {
        ASSERT_EQ(log2_ioctl(ctx_, LOG2_CMD_FILE_OPEN, path_.c_str(), -1), 0);
        log2_ioctl(ctx_, LOG2_CMD_FILE_ON, as_arg(1), 0);
    }
    void log_line(int i) { log2_printf(ctx_, LOG2_VERB, "t", "a.c", 1, "fn", "line %d %s\n", i, filler_.c_str()); }
    // The file's size may pass the cap by one line or record at most.
    uint32_t bound() const { return GetParam().cap + 512; }

    rlimit limit_{};
    std::string dir_;
    std::string path_;
    bool pcap_ = false;
    log2_ctx *ctx_ = nullptr;
    const std::string filler_ = std::string(120, 'f');
};

// The disk fills below the cap: the file always reads back whole (no record
// or line torn, none glued to the next). Once there is room again lines are
// written after a pause, a text file says how many it lost, and the cap is
// kept within one line or record while it is cut again and again.
TEST_P(LogFileFull, ReadsBackWholeThroughAFullDiskAndKeepsItsCap)
{
    open_log();
    const rlimit full{GetParam().cap / 2 + 77, limit_.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int i = 0; i < 400; i++) {
        log_line(i);
        const std::string f = slurp(path_);
        ASSERT_LE(f.size(), full.rlim_cur);
        ASSERT_GE(whole_units(f, pcap_), 0) << "after line " << i;
    }
    const size_t full_size = slurp(path_).size();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit_), 0);

    // The sink rests a second after a failure, then writes again.
    const uint64_t deadline = os_tick_ms() + 5000;
    int i = 400;
    while (slurp(path_).size() == full_size && os_tick_ms() < deadline) {
        log_line(i++);
        os_sleep_ms(10);
    }
    ASSERT_GT(slurp(path_).size(), full_size);
    if (!pcap_) {
        EXPECT_TRUE(std::regex_search(slurp(path_), std::regex(R"(log \d+ log lines were lost: )")));
    }

    size_t largest = 0;
    for (int n = 0; n < 1500; n++) {
        log_line(i++);
        const std::string f = slurp(path_);
        largest = std::max(largest, f.size());
        ASSERT_LE(f.size(), bound()) << "line " << n;
        ASSERT_GE(whole_units(f, pcap_), 0) << "line " << n;
    }
    log2_bsv_join(ctx_, 1000);  // completes a cut in progress
    const std::string f = slurp(path_);
    EXPECT_GE(largest, GetParam().cap - 512);  // the cap was reached, and cut
    EXPECT_NE(f.find("line " + std::to_string(i - 1) + " "), std::string::npos);
    if (pcap_) {
        const int read = tshark_packets(path_);
        if (read != -2) {
            EXPECT_EQ(read, whole_units(f, true));
        }
    }
}

// No room for the cut's copy (its name is taken by a directory): the file
// starts anew instead, within its cap, and logging goes on. A cut in place
// moves the lines on its thread while the test could read: each line's file
// is read once the cut it started is done.
TEST_P(LogFileFull, CutWithoutRoomStartsTheFileAnew)
{
    std::filesystem::create_directories(path_ + ".cut");
    open_log();
    for (int i = 0; i < 1500; i++) {
        log_line(i);
        log2_bsv_join(ctx_, 5000);
        const std::string f = slurp(path_);
        ASSERT_LE(f.size(), bound()) << "line " << i;
        ASSERT_GE(whole_units(f, pcap_), 0) << "line " << i;
    }
    log2_bsv_join(ctx_, 1000);
    EXPECT_NE(slurp(path_).find("line 1499 "), std::string::npos);
}

// Created, re-created after a removal and after a cut, under umask 0 (as
// the daemonizer sets it): 0644, never world-writable.
TEST_P(LogFileFull, FilesAre0644WhateverTheUmask)
{
    const on_leave restore{[old = umask(0)] { umask(old); }};
    auto mode_of = [](const std::string &p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    open_log();
    log_line(0);
    EXPECT_EQ(mode_of(path_), 0644u) << "created";
    size_t prev = 0;
    for (int i = 1; i < 2000; i++) {
        log_line(i);
        const size_t now = slurp(path_).size();
        if (now < prev)
            break;
        prev = now;
    }
    log2_bsv_join(ctx_, 1000);
    EXPECT_LT(slurp(path_).size(), prev) << "no cut";
    EXPECT_EQ(mode_of(path_), 0644u) << "after a cut";
    if (!pcap_) {
        ASSERT_EQ(unlink(path_.c_str()), 0);
        log_line(1);
        EXPECT_EQ(mode_of(path_), 0644u) << "re-created";
    }
}

const form_row kForms[] = {
    {"TextInline", "a.log", 8192},
    {"TextThread", "a.log", 65536},
    {"PcapInline", "a.pcap", 8192},
    {"PcapThread", "a.pcap", 65536},
};

INSTANTIATE_TEST_SUITE_P(Forms, LogFileFull, ::testing::ValuesIn(kForms),
                         [](const ::testing::TestParamInfo<form_row> &i) { return std::string(i.param.name); });

}  // namespace
