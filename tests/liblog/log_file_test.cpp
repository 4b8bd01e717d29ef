#include "liblog/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "libpal/env/pl_init.h"
#include "liblog/log2.h"
#include "log_test_util.h"

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        pl_init();
        dir_ = ::testing::TempDir() + "zorv_log_file_" + std::to_string(getpid());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        log_file_init(&file_);
    }
    void TearDown() override
    {
        log_file_close(&file_);
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
    log_file file_{};
};

TEST_F(LogFile, LineCarriesDateLevelPidThreadAndTag)
{
    const std::string path = dir_ + "/a.log";
    ASSERT_EQ(log_file_open(&file_, path.c_str()), 0);
    ASSERT_EQ(log_file_write(&file_, LOG2_WARN, "main", "f(): hello\n", -1), 0);
    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} WARN  " + std::to_string(getpid()) +
                          " --- \\[[^\\]]*\\] main f\\(\\): hello\n");
    EXPECT_TRUE(std::regex_match(slurp(path), line)) << slurp(path);
}

TEST_F(LogFile, ModeWStartsEmptyModeAAppends)
{
    const std::string path = dir_ + "/m.log";
    std::ofstream(path) << "old line\n";
    ASSERT_EQ(log_file_set_mode(&file_, "a"), 0);
    ASSERT_EQ(log_file_open(&file_, path.c_str()), 0);
    log_file_write(&file_, LOG2_INFO, "t", "x\n", -1);
    EXPECT_EQ(slurp(path).rfind("old line\n", 0), 0u);
    ASSERT_EQ(log_file_set_mode(&file_, "w"), 0);
    ASSERT_EQ(log_file_open(&file_, path.c_str()), 0);
    EXPECT_EQ(slurp(path), "");
    EXPECT_EQ(log_file_set_mode(&file_, "append"), -1);
    EXPECT_STREQ(file_.mode, "w");
}

// Each write past the cap leaves the bytes after the first line end of the
// file's last cap/2 bytes.
TEST_F(LogFile, SizeCapKeepsTheNewestHalfFromALineStart)
{
    const std::string path = dir_ + "/cap.log";
    log_file_set_size(&file_, 100);
    EXPECT_EQ(log_file_get_size(&file_), LOG_FILE_MIN_CAP);
    log_file_set_size(&file_, 4096);
    ASSERT_EQ(log_file_open(&file_, path.c_str()), 0);
    int cuts = 0;
    for (int i = 0; i < 400; i++) {
        const std::string before = slurp(path);
        const std::string text = "message " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x') + "\n";
        ASSERT_EQ(log_file_write(&file_, LOG2_INFO, "cap", text.c_str(), -1), 0);
        const std::string after = slurp(path);
        ASSERT_LT(after.size(), 4096u);
        // The record just written is the file's last line.
        const size_t start = after.rfind('\n', after.size() - 2);
        const std::string record = after.substr(start == std::string::npos ? 0 : start + 1);
        ASSERT_TRUE(record.size() >= text.size() && record.compare(record.size() - text.size(), text.size(), text) == 0)
            << record;
        std::string expected = before + record;
        if (expected.size() >= 4096) {
            const std::string tail = expected.substr(expected.size() - 2048);
            expected = tail.substr(tail.find('\n') + 1);
            cuts++;
        }
        ASSERT_EQ(after, expected) << "write " << i;
    }
    EXPECT_GT(cuts, 3);
}

TEST_F(LogFile, RemovedFileIsRecreatedAtTheNextLine)
{
    const std::string path = dir_ + "/gone.log";
    ASSERT_EQ(log_file_open(&file_, path.c_str()), 0);
    log_file_write(&file_, LOG2_INFO, "t", "one\n", -1);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(log_file_write(&file_, LOG2_INFO, "t", "two\n", -1), 0);
    const std::string text = slurp(path);
    EXPECT_EQ(text.find("one"), std::string::npos);
    EXPECT_NE(text.find("t two\n"), std::string::npos) << text;
}

TEST_F(LogFile, OpenRefusesWhatItCannotWrite)
{
    EXPECT_EQ(log_file_open(&file_, "/dev/null/x.log"), -1);
    EXPECT_EQ(log_file_open(&file_, "/dev/null/x.pcap"), -1);
    EXPECT_EQ(log_file_open(&file_, ""), -1);
    EXPECT_EQ(log_file_write(&file_, LOG2_INFO, "t", "lost\n", -1), -1);
    EXPECT_EQ(log_file_fileno(&file_), -1);
}

TEST_F(LogFile, RelativeNameGoesIntoTheDirectoryAndPrunesBesideIt)
{
    const std::string logs = dir_ + "/logs";
    ASSERT_EQ(log_file_set_dir(&file_, logs.c_str()), 0);
    ASSERT_TRUE(std::filesystem::is_directory(logs));
    std::filesystem::create_directories(logs + "/sub");
    for (const char *old : {"/sub/r_1.log", "/sub/r_2.log", "/sub/r_3.log", "/sub/other.txt"})
        std::ofstream(logs + old) << "x\n";
    setenv("ZORV_FILE_RUN", "4", 1);
    ASSERT_EQ(log_file_open(&file_, "sub/r_${ZORV_FILE_RUN}.log"), 0);
    unsetenv("ZORV_FILE_RUN");
    EXPECT_STREQ(file_.pattern, "sub/r_?*.log");
    EXPECT_EQ(std::string(log_file_get_path(&file_)), logs + "/sub/r_4.log");
    ASSERT_EQ(log_file_del_old(&file_, 3), 0);
    for (const char *name : {"/sub/r_1.log", "/sub/r_2.log", "/sub/r_3.log", "/sub/r_4.log", "/sub/other.txt"})
        EXPECT_EQ(std::filesystem::exists(logs + name), std::string(name) != "/sub/r_1.log") << name;
    // One kept file means no pruning at all.
    ASSERT_EQ(log_file_del_old(&file_, 1), 0);
    EXPECT_TRUE(std::filesystem::exists(logs + "/sub/r_2.log"));
}

}  // namespace
