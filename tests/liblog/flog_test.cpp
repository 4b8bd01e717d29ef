#include "liblog/flog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "liblog/log2.h"
#include "libpal/value/var_mgr.h"

#include "../libpal/tool_files.h"

namespace {

struct temp_path {
    std::string path;
    temp_path()
    {
        char t[] = "/tmp/flog_testXXXXXX";
        int fd = mkstemp(t);
        close(fd);
        path = t;
    }
    ~temp_path() { unlink(path.c_str()); }
    std::string read() const
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

}  // namespace

TEST(Flog, TimePrefixAndNoCap)
{
    temp_path t;
    flog_opts o{0, FLOG_OPT_TIME};
    flog *log = flog_open(t.path.c_str(), &o);
    ASSERT_NE(log, nullptr);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(flog_printf(log, "line %d\n", i), 0);
    EXPECT_EQ(flog_last_result(log), 0);
    EXPECT_EQ(flog_close(log), 0);
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d line \d\n)");
    std::string text = t.read();
    ASSERT_EQ(text.size(), 3 * 27u);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(std::regex_match(text.substr(static_cast<size_t>(i) * 27, 27), line)) << text;
}

TEST(Flog, CapKeepsTheWholeLinesOfTheNewestHalf)
{
    temp_path t;
    flog_opts o{1000, 0};
    flog *log = flog_open(t.path.c_str(), &o);
    ASSERT_NE(log, nullptr);
    std::string all;
    for (int i = 0; i < 101; i++) {  // ten bytes a line: 1010 bytes after the last write
        char l[16];
        snprintf(l, sizeof(l), "line%05d\n", i);
        all += l;
        ASSERT_EQ(flog_write(log, l, 10), 0);
        if (all.size() >= 1000)
            break;
    }
    flog_close(log);
    std::string tail = all.substr(all.size() - 500);
    EXPECT_EQ(t.read(), tail.substr(tail.find('\n') + 1));
}

TEST(Flog, LongPrintfIsCutAndMissingHandlesFail)
{
    temp_path t;
    flog *log = flog_open(t.path.c_str(), nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(flog_printf(log, "%s", std::string(5000, 'x').c_str()), 0);
    flog_close(log);
    EXPECT_EQ(t.read(), std::string(4095, 'x'));
    EXPECT_EQ(flog_write(nullptr, "x", 1), -1);
    EXPECT_EQ(flog_close(nullptr), -1);
    const tool_dir dir;
    EXPECT_EQ(flog_open((dir.path() + "/missing/x.log").c_str(), nullptr), nullptr);
}

TEST(LogLevelVar, SetsAndReadsTheThresholdAndRefusesUnknownWords)
{
    dvar_mgr *mgr = dvar_mgr_new();
    ASSERT_EQ(log_level_var_add(mgr), 0);
    int before = log2_get_level(nullptr);
    char err[DVAR_ERR_SIZE];
    EXPECT_EQ(dvar_mgr_set(mgr, "log.level", "dbg", err), 0);
    EXPECT_EQ(log2_get_level(nullptr), 7);
    char value[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_get(dvar_mgr_find(mgr, "log.level"), value), 0);
    EXPECT_STREQ(value, "dbg");
    EXPECT_EQ(dvar_mgr_set(mgr, "log.level", "debug", err), -1);
    EXPECT_STREQ(err, "invalid param [debug]\n");
    EXPECT_EQ(log2_get_level(nullptr), 7);
    log2_set_level(nullptr, before);
    dvar_mgr_free(mgr);
}
