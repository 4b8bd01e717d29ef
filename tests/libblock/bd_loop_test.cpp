// The block layer on a real block device: a loop device with 4096-byte
// logical sectors over a sparse file. Needs root and a working losetup;
// skipped with the reason otherwise.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libblock/block.h"
#include "libpal/os/os_file.h"

namespace {

constexpr uint64_t kSize = 4 << 20;

std::string run(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof(buf), p) != nullptr) out += buf;
        if (pclose(p) != 0)
            out.clear();
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class LoopDevice : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "loop devices need root";
        std::string backing = path("loop.img");
        ASSERT_EQ(truncate(make_file("loop.img", "").c_str(), kSize), 0);
        loop_ = run("losetup --sector-size 4096 -f --show " + backing + " 2>/dev/null");
        if (loop_.empty())
            GTEST_SKIP() << "losetup cannot attach a loop device with 4096-byte sectors here";
        bd_init();
    }
    void TearDown() override
    {
        if (!loop_.empty())
            run("losetup -d " + loop_);
        temp_dir_test::TearDown();
    }
    std::string loop_;
};

TEST_F(LoopDevice, OpensWithTheMediumsSectorSizeAndServesIo)
{
    char err[4096] = "";
    bd_dev *dev = bd_open(loop_.c_str(), OS_PF_RDWR, err);
    ASSERT_NE(dev, nullptr) << err;
    EXPECT_EQ(dev->sector_size, 4096u);
    EXPECT_EQ(bd_size(dev), static_cast<int64_t>(kSize));
    bd_dev_info info{};
    ASSERT_EQ(bd_get_dev_info(dev, &info), 0);
    EXPECT_EQ(info.dev_type, 5u);
    EXPECT_STREQ(info.type_name, "disk");
    EXPECT_EQ(info.size_type, BLOCK_SIZE_FIXED);
    EXPECT_EQ(bd_extend_test(dev, kSize - 4096, 8192), static_cast<int>(BLOCK_SIZE_FIXED));

    std::string data(8192, 'L'), back(8192, '\0');
    EXPECT_EQ(bd_pwrite(dev, data.data(), 8192, 4096), 8192);
    EXPECT_EQ(bd_sync(dev), 0);
    EXPECT_EQ(bd_pread(dev, back.data(), 8192, 4096), 8192);
    EXPECT_EQ(back, data);
    EXPECT_EQ(bd_pwrite(dev, data.data(), 8192, kSize - 4096), -1);
    EXPECT_EQ(bd_errno(dev), -152);
    bd_close(dev);

    // sector_off counts the medium's 4096-byte sectors.
    dev = bd_open((loop_ + "?sector_off=1").c_str(), OS_PF_RDONLY, err);
    ASSERT_NE(dev, nullptr) << err;
    EXPECT_EQ(dev->vol_start, 4096u);
    EXPECT_EQ(bd_size(dev), static_cast<int64_t>(kSize - 4096));
    EXPECT_EQ(bd_pread(dev, back.data(), 8192, 0), 8192);
    EXPECT_EQ(back, data);
    bd_close(dev);
}

}  // namespace
