#include "libpal/os/os_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/os/os_path.h"
#include "libpal/os/os_xattr.h"
#include "os_file_fixture.h"

namespace {

using dir_listing = temp_dir_test;

std::vector<std::string> read_names(os_dir *d)
{
    std::vector<std::string> names;
    while (const os_dir_entry *e = os_dir_read(d))
        names.push_back(e->name);
    return names;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST_F(dir_listing, PatternAlternativesFilterWhileTheIndexCountsEverything)
{
    for (const char *n : {"a.log", "b.txt", "c.log", "d.bin", "e.txt"})
        make_file(n, "x");
    os_dir *d = os_dir_open_match(dir_.c_str(), "*.log|*.txt");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(sorted(read_names(d)), (std::vector<std::string>{"a.log", "b.txt", "c.log", "e.txt"}));
    EXPECT_EQ(errno, 0) << "the end is no error";
    EXPECT_EQ(os_dir_tell(d), 7u) << "five files, \".\" and \"..\"";

    ASSERT_EQ(os_dir_seek(d, 0), 0);
    EXPECT_EQ(os_dir_tell(d), 0u);
    EXPECT_EQ(read_names(d).size(), 4u) << "a backward seek starts again";

    ASSERT_EQ(os_dir_seek(d, 0), 0);
    ASSERT_EQ(os_dir_seek(d, 100), 0);
    EXPECT_EQ(os_dir_tell(d), 100u) << "a seek past the end still sets the index";
    EXPECT_EQ(os_dir_read(d), nullptr);
    EXPECT_EQ(os_dir_close(d), 0);
}

TEST_F(dir_listing, DotEntriesAndStatFields)
{
    make_file("f", "12345");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    os_dir *d = os_dir_open_all(dir_.c_str());
    ASSERT_NE(d, nullptr);
    std::map<std::string, os_dir_entry> seen;
    while (const os_dir_entry *e = os_dir_read(d))
        seen[e->name] = *e;
    os_dir_close(d);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen["."].type, OS_STAT_TYPE_DIR);
    EXPECT_EQ(seen[".."].type, OS_STAT_TYPE_DIR);
    EXPECT_EQ(seen["sub"].type, OS_STAT_TYPE_DIR);
    EXPECT_EQ(seen["sub"].mode & 07777, 0700u);
    const os_dir_entry &f = seen["f"];
    EXPECT_EQ(f.type, OS_STAT_TYPE_FILE);
    EXPECT_EQ(f.size, 5u);
    struct stat st;
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    EXPECT_EQ(f.ino, st.st_ino);
    EXPECT_EQ(f.mtime.sec, static_cast<uint64_t>(st.st_mtim.tv_sec));
    EXPECT_EQ(f.link[0], '\0');
}

TEST_F(dir_listing, SymbolicLinksByFlag)
{
    make_file("f", "x");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("gone", path("dangling").c_str()), 0);
    ASSERT_EQ(symlink("d", path("to_dir").c_str()), 0);
    ASSERT_EQ(symlink("/etc", path("abs").c_str()), 0);
    struct row {
        uint32_t flags;
        const char *name;
        uint32_t type;
        std::string link;
    } rows[] = {
        {OS_DIR_LINK_PATH, "dangling", 0x102, path("gone")},
        {OS_DIR_LINK_TEXT, "dangling", 0x102, "gone"},
        {0, "dangling", 0x102, ""},
        {OS_DIR_LINK_PATH, "to_dir", 0x101, path("d")},
        {OS_DIR_LINK_TEXT, "abs", 0x101, "/etc"},
        {OS_DIR_LINK_PATH, "abs", 0x101, "/etc"},
    };
    for (const row &r : rows) {
        os_dir *d = os_dir_open(dir_.c_str(), r.name, r.flags);
        ASSERT_NE(d, nullptr);
        const os_dir_entry *e = os_dir_read(d);
        ASSERT_NE(e, nullptr) << r.name;
        EXPECT_EQ(e->type, r.type) << r.name << " flags " << r.flags;
        EXPECT_EQ(std::string(e->link), r.link) << r.name << " flags " << r.flags;
        EXPECT_TRUE(S_ISLNK(e->mode)) << "lstat fields of the link itself";
        EXPECT_GT(e->ino, 0u);
        os_dir_close(d);
    }
}

TEST_F(dir_listing, ListingThroughALinkReportsTheTarget)
{
    ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
    make_file("real/inside", "x");
    ASSERT_EQ(symlink(path("real").c_str(), path("alias").c_str()), 0);
    os_dir *d = os_dir_open_match(path("alias").c_str(), "inside");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(os_dir_path(d)), path("real"));
    EXPECT_EQ(read_names(d), std::vector<std::string>{"inside"});
    os_dir_close(d);
}

TEST_F(dir_listing, OpenFailures)
{
    make_file("f", "x");
    struct row {
        std::string path;
        int eno;
    } rows[] = {
        {path("vanished"), ENOENT},
        {path("f"), ENOTDIR},
        {dir_ + "/" + std::string(4100, 'n'), ENAMETOOLONG},
    };
    for (const row &r : rows) {
        errno = 0;
        EXPECT_EQ(os_dir_open_all(r.path.c_str()), nullptr);
        EXPECT_EQ(errno, r.eno) << r.path.substr(0, 80);
    }
    EXPECT_EQ(os_dir_close(nullptr), 0);
}

TEST_F(dir_listing, AttributeListingOnRequest)
{
    std::string f = make_file("f", "x");
    if (os_xattr_set(f.c_str(), "tag", "abc", 3, 0) < 0)
        GTEST_SKIP() << "the file system refuses user attributes";
    os_dir *d = os_dir_open(dir_.c_str(), "f", OS_DIR_XATTR_INFO);
    ASSERT_NE(d, nullptr);
    const os_dir_entry *e = os_dir_read(d);
    ASSERT_NE(e, nullptr);
    ASSERT_NE(e->xattr, nullptr);
    EXPECT_NE(std::string(e->xattr).find("tag\tX\t3\n"), std::string::npos) << e->xattr;
    EXPECT_EQ(os_dir_read(d), nullptr);
    os_dir_close(d);
}
