#include "libpal/os/os_init.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "libpal/os/os_path.h"
#include "os_file_fixture.h"

namespace {

using make_dirs = temp_dir_test;

bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST_F(make_dirs, CreatesEveryMissingComponent)
{
    EXPECT_EQ(os_mkdirs(path("a/b//c").c_str()), 0);
    EXPECT_TRUE(is_dir(path("a/b/c")));
    EXPECT_EQ(os_mkdirs(path("a/b/c").c_str()), 0) << "all present";
    EXPECT_EQ(os_mkdirs((path("q") + "\\r\\s").c_str()), 0) << "backslashes separate too";
    EXPECT_TRUE(is_dir(path("q/r/s")));
}

TEST_F(make_dirs, RegularFileInTheWayFails)
{
    make_file("f", "x");
    errno = 0;
    EXPECT_EQ(os_mkdirs(path("f").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(os_mkdirs(path("f/g").c_str()), -1);
    EXPECT_EQ(read_file(path("f")), "x");
}

TEST_F(make_dirs, ParentOfAPath)
{
    EXPECT_EQ(os_mkdirs_parent(path("p1/p2/file").c_str()), 0);
    EXPECT_TRUE(is_dir(path("p1/p2")));
    EXPECT_FALSE(exists(path("p1/p2/file")));
    EXPECT_EQ(os_mkdirs_parent("bare-name"), -1);
}

TEST_F(make_dirs, ExistenceAndRemoval)
{
    std::string f = make_file("e", "x");
    struct row {
        std::string path;
        int result;
    } rows[] = {{dir_, 0}, {f, 1}, {path("none"), -1}, {f + "/below", -1}};
    for (const row &r : rows)
        EXPECT_EQ(os_file_exist(r.path.c_str()), r.result) << r.path;
    EXPECT_EQ(os_remove(("'" + f + "'").c_str()), 0);
    EXPECT_FALSE(exists(f));
}
