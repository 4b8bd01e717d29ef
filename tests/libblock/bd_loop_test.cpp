// The block layer on real media: loop devices over sparse files (one with
// 4096-byte logical sectors, one write-protected) and a tmpfs mounted for the
// test, which cannot zero a range in place and can be made read-only. Needs
// root, losetup and the right to mount; skipped with the reason otherwise.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libblock/block.h"
#include "libpal/os/os_file.h"

namespace {

constexpr uint64_t kSize = 4 << 20;
constexpr uint64_t kMiB = 1 << 20;

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

// A device that refuses writes of both kinds with EPERM's code and still
// reads; unit is the medium's sector size.
void expect_read_only(bd_dev *dev, uint32_t unit)
{
    EXPECT_TRUE(bd_is_readonly(dev));
    std::string data(unit, 'w');
    EXPECT_EQ(bd_pwrite(dev, data.data(), unit, 0), -1);
    EXPECT_EQ(bd_errno(dev), -38);
    EXPECT_EQ(bd_pwrite_zeroes(dev, unit, 0), -1);
    EXPECT_EQ(bd_errno(dev), -38);
    EXPECT_EQ(bd_pread(dev, data.data(), unit, 0), unit);
}

class LoopDevice : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "loop devices need root";
        loop_ = attach("loop.img", "--sector-size 4096");
        if (loop_.empty())
            GTEST_SKIP() << "losetup cannot attach a loop device with 4096-byte sectors here";
        bd_init();
    }
    void TearDown() override
    {
        for (const auto &dev : attached_) run("losetup -d " + dev);
        temp_dir_test::TearDown();
    }
    // A loop device over a new sparse file of kSize bytes; empty on failure.
    std::string attach(const std::string &file, const std::string &options)
    {
        std::string backing = make_file(file, "");
        if (truncate(backing.c_str(), kSize) != 0)
            return "";
        std::string dev = run("losetup " + options + " -f --show " + backing + " 2>/dev/null");
        if (!dev.empty())
            attached_.push_back(dev);
        return dev;
    }
    std::string loop_;
    std::vector<std::string> attached_;
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

TEST_F(LoopDevice, WriteZeroesReachTheDiskInsideTheWindow)
{
    char err[4096] = "";
    bd_dev *whole = bd_open(loop_.c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err);
    ASSERT_NE(whole, nullptr) << err;
    std::string data(5 * 4096, 'L');
    ASSERT_EQ(bd_pwrite(whole, data.data(), static_cast<uint32_t>(data.size()), 0),
              static_cast<int64_t>(data.size()));
    bd_dev *dev = bd_open((loop_ + "?sector_off=1").c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err);
    ASSERT_NE(dev, nullptr) << err;
    // Whole logical blocks go to the device; a ragged range is written.
    EXPECT_EQ(bd_pwrite_zeroes(dev, 8192, 4096), 8192);
    EXPECT_EQ(bd_pwrite_zeroes(dev, 100, 50), 100);
    EXPECT_EQ(bd_pwrite_zeroes(dev, 4096, kSize - 4096), -1);
    EXPECT_EQ(bd_errno(dev), -152);
    bd_close(dev);
    data.replace(4096 + 4096, 8192, 8192, '\0');
    data.replace(4096 + 50, 100, 100, '\0');
    std::string back(data.size(), 'x');
    EXPECT_EQ(bd_pread(whole, back.data(), static_cast<uint32_t>(back.size()), 0), static_cast<int64_t>(back.size()));
    EXPECT_EQ(back, data);
    bd_close(whole);
}

TEST_F(LoopDevice, AWriteProtectedDiskOpensReadOnly)
{
    std::string ro = attach("ro.img", "-r");
    ASSERT_FALSE(ro.empty()) << "losetup -r";
    char err[4096] = "";
    bd_dev *dev = bd_open(ro.c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err);
    ASSERT_NE(dev, nullptr) << err;
    expect_read_only(dev, 4096);
    bd_close(dev);
}

class MountedTmpfs : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting needs root";
        mnt_ = path("mnt");
        ASSERT_EQ(mkdir(mnt_.c_str(), 0700), 0);
        if (mount("zorv-test", mnt_.c_str(), "tmpfs", 0, "size=16m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
        mounted_ = true;
        bd_init();
    }
    void TearDown() override
    {
        if (mounted_)
            umount2(mnt_.c_str(), MNT_DETACH);
        temp_dir_test::TearDown();
    }
    std::string make_media(const std::string &name, uint64_t size, char fill) const
    {
        return make_file("mnt/" + name, std::string(size, fill));
    }
    std::string mnt_;
    bool mounted_ = false;
};

TEST_F(MountedTmpfs, WriteZeroesFallBackToWritingWhereTheFileSystemCannot)
{
    std::string image = make_media("disk.img", 4 * kMiB, 'F');
    int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fallocate(fd, FALLOC_FL_ZERO_RANGE, 0, 4096), -1) << "tmpfs would zero in place";
    ASSERT_EQ(errno, EOPNOTSUPP);
    close(fd);

    char err[4096] = "";
    bd_dev *dev = bd_open((image + "?sector_off=8").c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err);
    ASSERT_NE(dev, nullptr) << err;
    // More than the shared zero piece, in several pieces and a ragged tail.
    const uint64_t len = 3 * kMiB + 100;
    EXPECT_EQ(bd_pwrite_zeroes(dev, len, 1000), static_cast<int64_t>(len));
    bd_close(dev);
    std::string want(4 * kMiB, 'F');
    want.replace(4096 + 1000, len, len, '\0');
    EXPECT_EQ(read_file(image), want);
}

TEST_F(MountedTmpfs, AFileOnAReadOnlyFileSystemIsServedReadOnly)
{
    std::string image = make_media("disk.img", kMiB, 'R');
    ASSERT_EQ(mount(nullptr, mnt_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    char err[4096] = "";
    bd_dev *dev = bd_open(image.c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, err);
    ASSERT_NE(dev, nullptr) << err;
    expect_read_only(dev, 512);
    std::string data(512, '\0');
    EXPECT_EQ(bd_pread(dev, data.data(), 512, 0), 512);
    EXPECT_EQ(data, std::string(512, 'R'));
    bd_close(dev);
}

}  // namespace
