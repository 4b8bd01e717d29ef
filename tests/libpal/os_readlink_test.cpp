#include "libpal/os/os_readlink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "libpal/string/path.h"
#include "os_file_fixture.h"

namespace {

using read_link = temp_dir_test;

}  // namespace

TEST_F(read_link, TextIsTerminatedAndCutToTheBuffer)
{
    ASSERT_EQ(symlink("0123456789", path("l").c_str()), 0);
    struct row {
        size_t size;
        ssize_t result;
        const char *text;
    } rows[] = {{64, 10, "0123456789"}, {11, 10, "0123456789"}, {10, 9, "012345678"}, {2, 1, "0"}, {1, 0, ""}};
    for (const row &r : rows) {
        char buf[64];
        memset(buf, '#', sizeof(buf));
        EXPECT_EQ(os_readlink(path("l").c_str(), buf, r.size), r.result) << r.size;
        EXPECT_STREQ(buf, r.text) << r.size;
    }
    char buf[16];
    const std::string quoted = "\"" + path("l") + "\"";
    EXPECT_EQ(os_readlink(quoted.c_str(), buf, sizeof(buf)), 10) << "the path is normalised";
    errno = 0;
    EXPECT_EQ(os_readlink(path("l").c_str(), buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    make_file("plain", "x");
    errno = 0;
    EXPECT_EQ(os_readlink(path("plain").c_str(), buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(read_link, TargetsAsPaths)
{
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/etc/hostname", path("d/abs").c_str()), 0);
    ASSERT_EQ(symlink("../x/y", path("d/rel").c_str()), 0);
    struct row {
        std::string link;
        std::string target;
    } rows[] = {
        {path("d/abs"), "/etc/hostname"},
        {path("d/rel"), path("d/../x/y")},
    };
    for (const row &r : rows) {
        char buf[PL_MAX_PATH];
        EXPECT_EQ(os_readlink_abs(r.link.c_str(), buf, sizeof(buf)), 0) << r.link;
        EXPECT_EQ(std::string(buf), r.target);
    }
    char small[8];
    errno = 0;
    EXPECT_EQ(os_readlink_abs(path("d/rel").c_str(), small, sizeof(small)), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(small, "") << "a target that does not fit is not cut";

    // A link named without a directory: its relative target is taken as it is.
    char cwd[PL_MAX_PATH];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(path("d").c_str()), 0);
    char buf[PL_MAX_PATH];
    EXPECT_EQ(os_readlink_abs("rel", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "../x/y");
    ASSERT_EQ(chdir(cwd), 0);
}
