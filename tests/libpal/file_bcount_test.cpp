// The byte-count tool: counts against counts made here, in its three modes
// (pool, counting thread, and the caller alone when no ring can be had),
// resumed through its counters text, and its table, stat and file forms.
#include "libpal/tframe/file_bcount.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "tool_files.h"

namespace {

using counts = std::array<uint64_t, 256>;

counts count_here(const std::vector<uint8_t> &bytes, size_t from = 0, size_t to = SIZE_MAX)
{
    counts c{};
    for (size_t i = from; i < std::min(to, bytes.size()); i++)
        c[bytes[i]]++;
    return c;
}

counts counters_of(const file_bcount_ctx *t)
{
    counts c{};
    memcpy(c.data(), t->counters, sizeof(t->counters));
    return c;
}

struct tool_deleter {
    void operator()(file_bcount_ctx *t) const { file_bcount_close(t); }
};
using tool_ptr = std::unique_ptr<file_bcount_ctx, tool_deleter>;

struct file_deleter {
    void operator()(os_file_ctx *f) const { os_file_close(f); }
};
using file_ptr = std::unique_ptr<os_file_ctx, file_deleter>;

enum class mode { pool, thread, single };

void PrintTo(mode m, std::ostream *os)
{
    *os << (m == mode::pool ? "pool" : m == mode::thread ? "thread" : "single");
}

class FileBcountMode : public testing::TestWithParam<mode> {};

TEST_P(FileBcountMode, CountsEveryByteOfTheRange)
{
    tool_dir dir;
    const auto bytes = random_bytes((3u << 20) + 77, 13);
    const std::string path = dir.write("r.bin", bytes);
    file_ptr f(os_file_open(path.c_str(), 1));
    ASSERT_TRUE(f);
    verr err{};
    file_bcount_param p{};
    p.handle = f.get();
    p.block_size = 65536;
    p.use_pool = GetParam() == mode::pool ? 1 : 0;
    tool_ptr t(file_bcount_open(&p, &err));
    ASSERT_TRUE(t) << verr_msg(&err);
    {
        std::unique_ptr<big_allocs_fail> no_ring;
        if (GetParam() == mode::single)
            no_ring = std::make_unique<big_allocs_fail>();
        ASSERT_EQ(file_bcount_cal(t.get(), 0, 1u << 20), 0) << verr_msg(&err);
    }
    EXPECT_EQ(t->ring != nullptr, GetParam() == mode::thread);
    EXPECT_EQ(t->single != nullptr, GetParam() == mode::single);
    // A later range longer than the first reuses what the first one sized.
    ASSERT_EQ(file_bcount_cal(t.get(), 1u << 20, bytes.size() - (1u << 20)), 0) << verr_msg(&err);
    EXPECT_EQ(counters_of(t.get()), count_here(bytes));
    EXPECT_EQ(file_bcount_cal(t.get(), bytes.size() - 10, 100), -1) << "past the end of the file";
    EXPECT_EQ(err.code, -110);
}

INSTANTIATE_TEST_SUITE_P(Modes, FileBcountMode, testing::Values(mode::pool, mode::thread, mode::single),
                         [](const testing::TestParamInfo<mode> &i) {
                             return i.param == mode::pool ? "Pool" : i.param == mode::thread ? "Thread" : "Single";
                         });

TEST(FileBcount, ResumesFromItsCountersText)
{
    tool_dir dir;
    const auto bytes = random_bytes(200000, 21);
    const std::string path = dir.write("r.bin", bytes);
    file_ptr f(os_file_open(path.c_str(), 1));
    verr err{};
    file_bcount_param p{};
    p.handle = f.get();
    p.block_size = 4096;
    std::string text(FILE_BCOUNT_CTX_TEXT_SIZE, '\0');
    {
        tool_ptr first(file_bcount_open(&p, &err));
        ASSERT_TRUE(first);
        ASSERT_EQ(file_bcount_get_ctx(first.get(), text.data(), text.size()), 0);
        std::string zeros;
        for (int i = 0; i < 256; i++)
            zeros += i == 0 ? "0" : ",0";
        EXPECT_EQ(std::string(text.c_str()), zeros);
        ASSERT_EQ(file_bcount_cal(first.get(), 0, 100000), 0);
        ASSERT_EQ(file_bcount_get_ctx(first.get(), text.data(), text.size()), 0);
    }
    p.saved = text.c_str();
    tool_ptr second(file_bcount_open(&p, &err));
    ASSERT_TRUE(second);
    EXPECT_EQ(counters_of(second.get()), count_here(bytes, 0, 100000));
    ASSERT_EQ(file_bcount_cal(second.get(), 100000, 100000), 0);
    EXPECT_EQ(counters_of(second.get()), count_here(bytes));

    char small[16];
    EXPECT_EQ(file_bcount_get_ctx(second.get(), small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
    // A text that does not restore fails the open.
    std::string not_hex = "g";
    for (int i = 1; i < 256; i++)
        not_hex += ",0";
    for (const std::string &bad : {std::string("1,2,3"), std::string("zz"), not_hex, std::string(text.c_str()) + ",0"}) {
        p.saved = bad.c_str();
        err = verr{};
        EXPECT_EQ(file_bcount_open(&p, &err), nullptr) << bad;
        EXPECT_EQ(err.code, -2);
    }
}

TEST(FileBcount, TableAndStatsOfThreeBytes)
{
    std::string text;
    for (int i = 0; i < 256; i++)
        text += (i == 0 ? "" : ",") + std::string(i == 0x61 ? "2" : i == 0x62 ? "1" : "0");
    char *table = file_bcount_ctx_table(text.c_str());
    ASSERT_NE(table, nullptr);
    const std::string t(table);
    os_free(table);
    EXPECT_EQ(t.find("Hex\tDec\tChr\tNo\t%\n"), 0u);
    EXPECT_NE(t.find("\n61\t97\ta\t2\t66.67%\n"), std::string::npos) << t.substr(0, 200);
    EXPECT_NE(t.find("\n62\t98\tb\t1\t33.33%\n"), std::string::npos);
    EXPECT_NE(t.find("\n0A\t10\t.\t0\t0.00%\n"), std::string::npos);

    std::array<uint64_t, FILE_BCOUNT_COUNTERS> c{};
    std::array<double, FILE_BCOUNT_STATS> s{};
    ASSERT_EQ(file_bcount_ctx_stat(text.c_str(), c.data(), s.data()), 0);
    EXPECT_EQ(c[256], 3u);
    EXPECT_NEAR(s[0x61], 66.67, 0.01);
    EXPECT_EQ(s[256], 0.0);
    EXPECT_NEAR(s[257], 66.67, 0.01);
    EXPECT_NEAR(s[258], 66.67, 0.01);

    const std::string short_text = text.substr(0, text.rfind(','));
    EXPECT_EQ(file_bcount_ctx_table(short_text.c_str()), nullptr) << "255 fields";
    EXPECT_EQ(file_bcount_ctx_stat(short_text.c_str(), c.data(), s.data()), -1);
}

TEST(FileBcount, FileCountsAWholeFile)
{
    tool_dir dir;
    const auto bytes = random_bytes(700001, 31);
    std::array<uint64_t, FILE_BCOUNT_COUNTERS> c{};
    std::array<double, FILE_BCOUNT_STATS> s{};
    ASSERT_EQ(file_bcount_file(dir.write("r.bin", bytes).c_str(), 65536, c.data(), s.data()), 0);
    const counts want = count_here(bytes);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), c.begin()));
    EXPECT_EQ(c[256], bytes.size());
    double sum = 0;
    for (size_t i = 0; i < 256; i++)
        sum += s[i];
    EXPECT_NEAR(sum, 100.0, 1e-9);

    // An empty file: a total of 0 gives shares of 0, not NaN.
    ASSERT_EQ(file_bcount_file(dir.write("empty.bin", {}).c_str(), 0, c.data(), s.data()), 0);
    EXPECT_EQ(c[256], 0u);
    EXPECT_FALSE(std::isnan(s[0]));
    EXPECT_EQ(s[257], 0.0);
    char *table = file_bcount_table(c.data());
    ASSERT_NE(table, nullptr);
    EXPECT_NE(std::string(table).find("\n00\t0\t.\t0\t0.00%\n"), std::string::npos);
    os_free(table);

    EXPECT_EQ(file_bcount_file((dir.path() + "/missing").c_str(), 0, c.data(), s.data()), -1);
}

}  // namespace
