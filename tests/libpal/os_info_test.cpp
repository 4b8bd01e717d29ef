#include "libpal/os/posix/os_info.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "libpal/string/path.h"

TEST(SystemInfo, UnameFieldsEndWithABlank)
{
    utsname u;
    ASSERT_EQ(uname(&u), 0);
    const std::string expected = std::string(u.sysname) + " " + u.nodename + " " + u.release + " " + u.version +
                                 " " + u.machine + " ";
    char out[1024];
    ASSERT_EQ(os_get_info(out, sizeof(out)), 0);
    EXPECT_EQ(std::string(out), expected);
    char small[6];
    ASSERT_EQ(os_get_info(small, sizeof(small)), 0);
    EXPECT_EQ(std::string(small), expected.substr(0, 5));

    const std::string machine = u.machine;
    const bool x86 = machine.size() == 4 && machine[0] == 'i' && machine[3] == '6';
    EXPECT_STREQ(os_get_arch(), x86 ? "x86" : u.machine);
    EXPECT_EQ(os_get_arch(), os_get_arch()) << "one shared text";
    EXPECT_STREQ(os_get_os_name(), "unkown linux");
}

TEST(SystemInfo, VolumeStatisticsInThePortableOrder)
{
    struct statvfs sv;
    ASSERT_EQ(statvfs("/", &sv), 0);
    os_statvfs_info info;
    memset(&info, 0xFF, sizeof(info));
    ASSERT_EQ(os_statvfs("\"//\"", &info), 0);
    EXPECT_EQ(info.bsize, sv.f_bsize);
    EXPECT_EQ(info.frsize, sv.f_frsize);
    EXPECT_EQ(info.blocks, sv.f_blocks);
    EXPECT_EQ(info.files, sv.f_files);
    EXPECT_EQ(info.fsid, sv.f_fsid);
    EXPECT_EQ(info.namemax, sv.f_namemax);

    errno = 0;
    EXPECT_EQ(os_statvfs("/zorv-none/x", &info), -1);
    EXPECT_EQ(errno, ENOENT);
    const std::string longpath(PL_MAX_PATH + 10, 'a');
    errno = 0;
    EXPECT_EQ(os_statvfs(longpath.c_str(), &info), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(SystemInfo, UsagePercentClampsAvailableToTotal)
{
    struct row {
        uint64_t avail, total;
        double percent;
        uint64_t avail_after;
    };
    const row rows[] = {
        {25, 100, 75.0, 25}, {0, 100, 100.0, 0}, {100, 100, 0.0, 100}, {150, 100, 0.0, 100}, {5, 0, 0.0, 5},
    };
    for (const auto &r : rows) {
        os_vol_info v{};
        v.avail = r.avail;
        v.total = r.total;
        EXPECT_DOUBLE_EQ(os_usage_percent(&v), r.percent) << r.avail << "/" << r.total;
        EXPECT_EQ(v.avail, r.avail_after);
    }
}
