#include "libpal/os/os_path.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_xattr.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/path.h"
#include "libpal/string/str_num.h"
#include "fsync_log.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

using path_ops = temp_dir_test;

struct stat_of {
    struct stat st;
    bool ok;
};

stat_of lstat_of(const std::string &p)
{
    stat_of r{};
    r.ok = lstat(p.c_str(), &r.st) == 0;
    return r;
}

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

// A private tmpfs of a few pages inside the test directory, so that a write
// runs out of space for real. Needs root; tests skip without it.
class full_device : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        mnt_ = path("mnt");
        ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
        if (mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "a tmpfs cannot be mounted here (" << strerror(errno) << "): needs root";
        mounted_ = true;
    }
    void TearDown() override
    {
        if (mounted_)
            umount2(mnt_.c_str(), MNT_DETACH);
        temp_dir_test::TearDown();
    }
    std::string in_mnt(const std::string &name) const { return mnt_ + "/" + name; }

    std::string mnt_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(path_ops, OverlongPathsFailWithClearErrorAndTouchNothing)
{
    std::string src = make_file("src", "data");
    const std::string longp = dir_ + "/" + std::string(4097 - dir_.size() - 1, 'n');
    ASSERT_EQ(longp.size(), 4097u);
    os_file_stat_info info;
    os_file_times times{};
    const std::vector<std::pair<const char *, std::function<int()>>> calls = {
        {"access", [&] { return os_access(longp.c_str(), F_OK); }},
        {"stat", [&] { return os_stat(longp.c_str(), &info); }},
        {"lstat", [&] { return os_lstat(longp.c_str(), &info); }},
        {"utimes", [&] { return os_utimes(longp.c_str(), &times); }},
        {"truncate", [&] { return os_truncate(longp.c_str(), 0); }},
        {"remove", [&] { return os_remove(longp.c_str()); }},
        {"mkfifo", [&] { return os_mkfifo(longp.c_str(), 0600); }},
        {"chmod", [&] { return os_chmod(longp.c_str(), 0600); }},
        {"symlink", [&] { return os_symlink(longp.c_str(), src.c_str()); }},
        {"link", [&] { return os_link(longp.c_str(), src.c_str()); }},
        {"save", [&] { return os_file_save_text(longp.c_str(), "x"); }},
        {"copy", [&] { return os_file_copy(src.c_str(), longp.c_str()); }},
        {"move", [&] { return os_move(src.c_str(), longp.c_str(), true); }},
        {"create_empty", [&] { return os_file_create_empty(longp.c_str()); }},
        {"touch", [&] { return os_file_touch(longp.c_str()); }},
        {"space_check", [&] { return os_file_save_space_check(longp.c_str(), 1); }},
        {"free_space", [&] { return os_check_free_space(longp.c_str(), 1, nullptr); }},
        {"exist", [&] { return os_file_exist(longp.c_str()); }},
    };
    for (const auto &[name, call] : calls) {
        log_capture cap;
        errno = 0;
        EXPECT_EQ(call(), -1) << name;
        EXPECT_EQ(errno, ENAMETOOLONG) << name;
        EXPECT_TRUE(cap.has("need_size=")) << name << ": the refused copy is reported";
    }
    EXPECT_EQ(os_fopen(longp.c_str(), "r"), nullptr);
    EXPECT_EQ(os_file_read_all(longp.c_str(), nullptr, false), nullptr);
    EXPECT_EQ(read_file(src), "data") << "the source of the refused copy and move stays";
    EXPECT_EQ(names_in(dir_), std::vector<std::string>{"src"});
}

TEST_F(path_ops, QuotesAndBackslashesAreNormalisedOrKeptLiterally)
{
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    struct row {
        std::string given;  // the caller's text
        std::string file;   // the file that must come out
    } rows[] = {
        {"'" + dir_ + "/sub/a'", path("sub/a")},
        {"\"" + dir_ + "\\sub\\b\"", path("sub/b")},
        {dir_ + "//sub///c", path("sub/c")},
        {"file://" + dir_ + "/sub/d", path("sub/d")},
        {dir_ + "/sub/it's", path("sub/it's")},
        {dir_ + "/sub/say \"hi\"", path("sub/say \"hi\"")},
    };
    for (const row &r : rows) {
        EXPECT_EQ(os_file_save_text(r.given.c_str(), "v"), 0) << r.given;
        EXPECT_EQ(read_file(r.file), "v") << r.given;
        EXPECT_EQ(os_file_exist(r.given.c_str()), 1) << r.given;
        EXPECT_EQ(os_remove(r.given.c_str()), 0) << r.given;
        EXPECT_FALSE(exists(r.file)) << r.given;
    }
    EXPECT_TRUE(names_in(path("sub")).empty());
}

TEST_F(path_ops, StatFollowsLinksAndStillAnswersForDanglingOnes)
{
    std::string f = make_file("f", "12345");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("f", path("lf").c_str()), 0);
    ASSERT_EQ(symlink("d", path("ld").c_str()), 0);
    ASSERT_EQ(symlink("gone", path("dangling").c_str()), 0);
    struct row {
        const char *name;
        uint32_t stat_type;
        uint32_t lstat_type;
    } rows[] = {
        {"f", OS_STAT_TYPE_FILE, OS_STAT_TYPE_FILE},
        {"d", OS_STAT_TYPE_DIR, OS_STAT_TYPE_DIR},
        {"lf", OS_STAT_TYPE_FILE, OS_STAT_TYPE_LINK},
        {"ld", OS_STAT_TYPE_DIR, OS_STAT_TYPE_LINK},
        {"dangling", OS_STAT_TYPE_LINK, OS_STAT_TYPE_LINK},
    };
    for (const row &r : rows) {
        os_file_stat_info a{}, b{};
        ASSERT_EQ(os_stat(path(r.name).c_str(), &a), 0) << r.name;
        ASSERT_EQ(os_lstat(path(r.name).c_str(), &b), 0) << r.name;
        EXPECT_EQ(a.type, r.stat_type) << r.name;
        EXPECT_EQ(b.type, r.lstat_type) << r.name;
    }
    os_file_stat_info info{};
    ASSERT_EQ(os_stat(f.c_str(), &info), 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.ino, st.st_ino);
    EXPECT_EQ(info.mode, st.st_mode);
    EXPECT_EQ(info.mtime.sec, static_cast<uint64_t>(st.st_mtim.tv_sec));
    EXPECT_EQ(info.mtime.nsec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    errno = 0;
    EXPECT_EQ(os_stat(path("none").c_str(), &info), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(path_ops, TimesKeepNanosecondsAndLutimesLeavesTheTarget)
{
    std::string f = make_file("f", "x");
    ASSERT_EQ(symlink("f", path("l").c_str()), 0);
    const os_file_times t = {{1000000000, 123456789}, {1100000000, 987654321}, {0, 0}};
    ASSERT_EQ(os_utimes(f.c_str(), &t), 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);

    const os_file_times t2 = {{1200000000, 5}, {1300000000, 6}, {0, 0}};
    ASSERT_EQ(os_lutimes(path("l").c_str(), &t2), 0);
    ASSERT_EQ(lstat(path("l").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000) << "the target keeps its times";
    errno = 0;
    EXPECT_EQ(os_utimes(path("none").c_str(), &t), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(path_ops, LinksModesOwnersAndMask)
{
    std::string f = make_file("f", "abc");
    EXPECT_EQ(os_symlink(path("sl").c_str(), "'f'"), 0) << "the target is normalised too";
    char buf[64] = {};
    ASSERT_GT(readlink(path("sl").c_str(), buf, sizeof(buf) - 1), 0);
    EXPECT_STREQ(buf, "f");
    EXPECT_EQ(os_link(path("hl").c_str(), f.c_str()), 0);
    EXPECT_EQ(read_file(path("hl")), "abc");
    errno = 0;
    EXPECT_EQ(os_link(path("hl").c_str(), f.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);

    EXPECT_EQ(os_chmod(f.c_str(), 0x10000 | 0640), 0) << "bits above 16 are cut";
    EXPECT_EQ(lstat_of(f).st.st_mode & 07777, 0640u);
    errno = 0;
    EXPECT_EQ(os_lchmod(path("sl").c_str(), 0600), -1);
    EXPECT_EQ(errno, ENOTSUP);
    EXPECT_EQ(lstat_of(f).st.st_mode & 07777, 0640u) << "the target is untouched";
    EXPECT_EQ(os_chown(f.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(os_lchown(path("sl").c_str(), getuid(), getgid()), 0);

    EXPECT_EQ(os_mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_TRUE(S_ISFIFO(lstat_of(path("fifo")).st.st_mode));

    uint32_t old = os_umask(0077);
    EXPECT_EQ(os_umask(old), 0077u);

    EXPECT_EQ(os_truncate(f.c_str(), 1), 0);
    EXPECT_EQ(read_file(f), "a");
    errno = 0;
    EXPECT_EQ(os_truncate(f.c_str(), UINT64_MAX), -1);
    EXPECT_EQ(errno, EFBIG);
}

TEST_F(path_ops, RealpathIsEmptiedWhenItFails)
{
    make_file("f", "");
    char out[PL_MAX_PATH] = "junk";
    char real[PL_MAX_PATH];
    ASSERT_NE(realpath(path("f").c_str(), real), nullptr);
    EXPECT_STREQ(os_realpath((dir_ + "/./f").c_str(), out), real);
    EXPECT_STREQ(os_realpath(path("none").c_str(), out), "");
}

TEST_F(path_ops, RemovalOfNamedListsAndAnyKind)
{
    std::string f = make_file("f", "x");
    auto list = [](const std::string &a, const char *type, const char *name) {
        std::string l = a;
        l.push_back('\0');
        if (type) {
            l += type;
            l.push_back('\0');
        }
        if (name) {
            l += name;
            l.push_back('\0');
        }
        l.push_back('\0');
        return l;
    };
    struct row {
        std::string list;
        int result;
        int code;  // error code left in errno, 0 for none
    } rows[] = {
        {list(f, "S", "n"), -1, -37},
        {list(f, "A", nullptr), -1, -37},
        {std::string("\0", 1), -1, -2},
        {list(f, nullptr, nullptr), 0, 0},
    };
    for (const row &r : rows) {
        errno = 0;
        EXPECT_EQ(os_remove_list(r.list.c_str()), r.result);
        if (r.code) {
            EXPECT_EQ(errno, verr_2_posix(r.code)) << r.code;
        }
    }
    EXPECT_FALSE(exists(f));

    std::string g = make_file("g", "x");
    EXPECT_EQ(os_remove2(g.c_str(), true), 0);
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("full").c_str(), 0755), 0);
    make_file("full/x", "x");
    make_file("plain", "x");
    EXPECT_EQ(os_file_remove_any(path("plain").c_str()), 0);
    EXPECT_EQ(os_file_remove_any(path("empty").c_str()), 0);
    errno = 0;
    EXPECT_EQ(os_file_remove_any(path("full").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(read_file(path("full/x")), "x");
    errno = 0;
    EXPECT_EQ(os_remove_file(path("vanished").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(path_ops, CreationFromEntries)
{
    os_file_entry dir_entry{};
    dir_entry.attributes = OS_ENTRY_DIR;
    dir_entry.mode = 0750;
    dir_entry.uid = getuid();
    dir_entry.gid = getgid();
    dir_entry.atime = 1000000000;
    dir_entry.mtime = 1100000000;
    ASSERT_EQ(os_create_file_or_dir(path("a/b/dir").c_str(), &dir_entry), 0);
    stat_of d = lstat_of(path("a/b/dir"));
    ASSERT_TRUE(d.ok && S_ISDIR(d.st.st_mode));
    EXPECT_EQ(d.st.st_mode & 07777, 0750u);
    EXPECT_EQ(d.st.st_mtim.tv_sec, 1100000000);

    os_file_entry file_entry{};
    file_entry.attributes = OS_ENTRY_NO_OWNER | 0x20;
    file_entry.default_mode = 0604;
    file_entry.mtime = 1200000000;
    make_file("a/file", "old content");
    ASSERT_EQ(os_create_file_or_dir(path("a/file").c_str(), &file_entry), 0);
    stat_of f = lstat_of(path("a/file"));
    ASSERT_TRUE(f.ok && S_ISREG(f.st.st_mode));
    EXPECT_EQ(f.st.st_size, 0) << "a file entry truncates";
    EXPECT_EQ(f.st.st_mode & 07777, 0604u);
    EXPECT_EQ(f.st.st_uid, getuid()) << "no owner of its own: the process's";
    EXPECT_EQ(f.st.st_mtim.tv_sec, 1200000000);

    // A link entry replaces what is there; its mode (0777, as links carry)
    // must not reach the file it points to.
    make_file("target", "t");
    ASSERT_EQ(chmod(path("target").c_str(), 0600), 0);
    make_file("a/link", "in the way");
    os_file_entry link_entry{};
    std::string target = path("target");
    link_entry.link = target.c_str();
    link_entry.attributes = OS_ENTRY_LINK | 2;
    link_entry.mode = 0777;
    link_entry.uid = getuid();
    link_entry.gid = getgid();
    ASSERT_EQ(os_create_file_or_dir(path("a/link").c_str(), &link_entry), 0);
    EXPECT_TRUE(S_ISLNK(lstat_of(path("a/link")).st.st_mode));
    EXPECT_EQ(lstat_of(target).st.st_mode & 07777, 0600u);

    log_capture cap;
    link_entry.attributes = OS_ENTRY_LINK | OS_ENTRY_JUNCTION | 1;
    errno = 0;
    EXPECT_EQ(os_create_file_or_dir(path("a/junction").c_str(), &link_entry), -1);
    EXPECT_EQ(errno, verr_2_posix(-37));
    EXPECT_TRUE(cap.has("os_create_junction [" + path("a/junction") + "]->[" + target + "] error: not supported"));
    EXPECT_FALSE(exists(path("a/junction")));
}

TEST_F(path_ops, CreationFromNamedLists)
{
    std::string f = make_file("f", "x");
    os_file_entry entry{};
    entry.attributes = 2;
    entry.mode = 0644;
    auto list = [&](std::initializer_list<std::string> parts) {
        std::string l;
        for (const auto &p : parts) {
            l += p;
            l.push_back('\0');
        }
        l.push_back('\0');
        return l;
    };
    struct row {
        std::string list;
        int code;
    } rows[] = {
        {list({f, "A", "n"}), -2},
        {list({f, "S", "n"}), -37},
        {list({f, "X"}), -2},
        {std::string("\0", 1), -2},
    };
    for (const row &r : rows) {
        errno = 0;
        EXPECT_EQ(os_create_named(r.list.c_str(), &entry), -1) << r.code;
        EXPECT_EQ(errno, verr_2_posix(r.code)) << r.code;
    }
    EXPECT_EQ(os_create_named(list({path("single")}).c_str(), &entry), 0);
    EXPECT_TRUE(exists(path("single")));

    int r = os_create_named(list({f, "X", "note"}).c_str(), &entry);
    if (r != 0 && (errno == ENOTSUP || errno == EPERM))
        GTEST_SKIP() << "the file system refuses user attributes";
    EXPECT_EQ(r, 0);
    EXPECT_EQ(os_xattr_get(f.c_str(), "note", nullptr, 0), 0) << "an empty attribute";
}

TEST_F(path_ops, WholeFileReads)
{
    const std::string zeros("a\0b\0", 4);
    const std::string big(10000, 'q');
    struct row {
        std::string content;
        bool add_nul;
        size_t length;
    } rows[] = {
        {"", true, 1},
        {"", false, 0},
        {zeros, false, 4},
        {zeros, true, 5},
        {big, true, 10001},
    };
    for (const row &r : rows) {
        std::string f = make_file("r", r.content);
        size_t len = 99;
        char *data = static_cast<char *>(os_file_read_all(f.c_str(), &len, r.add_nul));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(len, r.length);
        EXPECT_EQ(std::string(data, r.content.size()), r.content);
        if (r.add_nul) {
            EXPECT_EQ(data[len - 1], '\0');
        }
        os_free(data);
    }
    make_file("t", "hello\n");
    char *s = os_file_load_str(path("t").c_str());
    EXPECT_STREQ(s, "hello\n");
    os_free(s);

    // Text reads stop each 4096-byte chunk at its first NUL.
    std::string text = std::string(4096, 'x') + "ab" + std::string("\0", 1) + "cd";
    make_file("txt", text);
    char *t = os_file_read_text(path("txt").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), std::string(4096, 'x') + "ab");
    os_free(t);
    make_file("empty", "");
    t = os_file_read_text(path("empty").c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "");
    os_free(t);
}

TEST_F(path_ops, FailedReadsGiveNothing)
{
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    struct row {
        std::string path;
        int eno;
    } rows[] = {
        {path("vanished"), ENOENT},
        {path("d"), EISDIR},  // opens, but every read fails: no empty text
    };
    for (const row &r : rows) {
        size_t len = 7;
        errno = 0;
        EXPECT_EQ(os_file_read_all(r.path.c_str(), &len, true), nullptr) << r.path;
        EXPECT_EQ(errno, r.eno) << r.path;
        EXPECT_EQ(len, 7u);
        errno = 0;
        EXPECT_EQ(os_file_read_text(r.path.c_str()), nullptr) << r.path;
        EXPECT_EQ(errno, r.eno) << r.path;
    }
}

TEST_F(path_ops, SavesMakeParentsKeepModeAndFollowLinks)
{
    EXPECT_EQ(os_file_save_text(path("p/q/empty").c_str(), ""), 0);
    EXPECT_TRUE(exists(path("p/q/empty")));
    EXPECT_EQ(read_file(path("p/q/empty")), "");

    std::string f = make_file("conf", "old");
    ASSERT_EQ(chmod(f.c_str(), 0640), 0);
    EXPECT_EQ(os_file_save(f.c_str(), "new\0data", 8), 0);
    EXPECT_EQ(read_file(f), std::string("new\0data", 8));
    EXPECT_EQ(lstat_of(f).st.st_mode & 07777, 0640u) << "the replacement keeps the mode";

    ASSERT_EQ(symlink("conf", path("via").c_str()), 0);
    EXPECT_EQ(os_file_save_text(path("via").c_str(), "linked"), 0);
    EXPECT_TRUE(S_ISLNK(lstat_of(path("via")).st.st_mode)) << "the link stays a link";
    EXPECT_EQ(read_file(f), "linked");

    // A device is written in place, never replaced by a file; a FIFO that
    // nobody reads fails at once instead of blocking.
    EXPECT_EQ(os_file_save_text("/dev/null", "x"), 0);
    EXPECT_TRUE(S_ISCHR(lstat_of("/dev/null").st.st_mode));
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    errno = 0;
    EXPECT_EQ(os_file_save_text(path("fifo").c_str(), "x"), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_TRUE(S_ISFIFO(lstat_of(path("fifo")).st.st_mode));

    errno = 0;
    EXPECT_EQ(os_file_save(f.c_str(), nullptr, 3), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(mkdir(path("adir").c_str(), 0755), 0);
    errno = 0;
    EXPECT_EQ(os_file_save_text(path("adir").c_str(), "x"), -1);
    EXPECT_EQ(errno, EISDIR);
    std::vector<std::string> left = names_in(dir_);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"adir", "conf", "fifo", "p", "via"})) << "no temporary file stays";
}

TEST_F(path_ops, SavesAndCopiesSyncTheContentThenTheDirectory)
{
    // Without the directory's sync the rename may be lost in a crash, and
    // the old content come back after the save reported success.
    fsync_log::clear();
    ASSERT_EQ(os_file_save_text(path("new").c_str(), "x"), 0);
    EXPECT_EQ(fsync_log::taken(), "fd") << "new file";
    fsync_log::clear();
    ASSERT_EQ(os_file_save_text(path("new").c_str(), "y"), 0);
    EXPECT_EQ(fsync_log::taken(), "fd") << "replaced file";
    fsync_log::clear();
    ASSERT_EQ(os_file_copy(path("new").c_str(), path("copy").c_str()), 0);
    EXPECT_EQ(fsync_log::taken(), "fd") << "copy";
    EXPECT_EQ(read_file(path("copy")), "y");
}

TEST_F(full_device, FailedSaveKeepsTheOldContent)
{
    std::string f = in_mnt("keep");
    const std::string old(20000, 'o');
    ASSERT_EQ(os_file_save(f.c_str(), old.data(), old.size()), 0);
    const std::string huge(200000, 'n');
    errno = 0;
    EXPECT_EQ(os_file_save(f.c_str(), huge.data(), huge.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_file(f), old);
    errno = 0;
    EXPECT_EQ(os_file_save_text(in_mnt("new").c_str(), huge.c_str()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(names_in(mnt_), std::vector<std::string>{"keep"}) << "neither a partial file nor a temporary one";

    std::string src = make_file("big", huge);
    errno = 0;
    EXPECT_EQ(os_file_copy(src.c_str(), f.c_str()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_file(f), old);
}

TEST_F(path_ops, CopyIntoDirectoriesOntoItselfAndFailures)
{
    std::string data(9000, 'c');
    data += std::string("\0tail", 5);
    std::string src = make_file("src.bin", data);
    EXPECT_EQ(os_file_copy(src.c_str(), (dir_ + "/x/y/").c_str()), 0);
    EXPECT_EQ(read_file(path("x/y/src.bin")), data) << "base name appended, directories made";
    EXPECT_EQ(os_file_copy(src.c_str(), path("z/copy").c_str()), 0);
    EXPECT_EQ(read_file(path("z/copy")), data);

    EXPECT_EQ(os_file_copy(src.c_str(), src.c_str()), 0);
    EXPECT_EQ(read_file(src), data) << "a copy onto itself loses nothing";

    errno = 0;
    EXPECT_EQ(os_file_copy(path("vanished").c_str(), path("out").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(path("out")));

    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    make_file("dst", "precious");
    errno = 0;
    EXPECT_EQ(os_file_copy(path("d").c_str(), path("dst").c_str()), -1) << "a source that cannot be read";
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(read_file(path("dst")), "precious");
}

TEST_F(path_ops, ByteOrderMark)
{
    struct row {
        std::string content;
        long offset;
    } rows[] = {
        {"\xEF\xBB\xBFtext", 3},
        {"\xEF\xBB\xBF", 3},
        {"\xEF\xBB", 0},
        {"", 0},
        {"abc", 0},
        {"\xEF\xBB\xBE", 0},
    };
    for (const row &r : rows) {
        std::string f = make_file("bom", r.content);
        FILE *s = os_fopen(f.c_str(), "rb");
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(os_fskip_bom(s), 0);
        EXPECT_EQ(ftell(s), r.offset) << r.content;
        fclose(s);
    }
    FILE *w = os_fopen(path("w").c_str(), "wb");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(os_fwrite_bom(w), 1u);
    fputs("x", w);
    fclose(w);
    EXPECT_EQ(read_file(path("w")), "\xEF\xBB\xBFx");
    EXPECT_EQ(os_fskip_bom(nullptr), -1);
}

TEST_F(path_ops, StreamsAreClosedOnExec)
{
    make_file("f", "x");
    FILE *s = os_fopen(path("f").c_str(), "r");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(fcntl(fileno(s), F_GETFD) & FD_CLOEXEC);
    fclose(s);
    errno = 0;
    EXPECT_EQ(os_fopen(path("f").c_str(), nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(path_ops, CreateEmptyAndTouch)
{
    make_file("f", "kept");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    struct row {
        std::string path;
        int result;
        int eno;
    } rows[] = {
        {path("f"), 0, 0},
        {path("d"), -1, EACCES},
        {path("n1/n2/new"), 0, 0},
    };
    for (const row &r : rows) {
        errno = 0;
        EXPECT_EQ(os_file_create_empty(r.path.c_str()), r.result) << r.path;
        if (r.eno) {
            EXPECT_EQ(errno, r.eno) << r.path;
        }
    }
    EXPECT_EQ(read_file(path("f")), "kept");
    EXPECT_TRUE(exists(path("n1/n2/new")));

    const os_file_times old = {{1000000000, 7}, {1000000000, 7}, {0, 0}};
    ASSERT_EQ(os_utimes(path("f").c_str(), &old), 0);
    time_t before = time(nullptr);
    EXPECT_EQ(os_file_touch(path("f").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_LE(st.st_mtim.tv_sec, time(nullptr));
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    errno = 0;
    EXPECT_EQ(os_file_touch(path("vanished").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(path_ops, MoveHonoursOverwriteAndTouchesTheDestination)
{
    make_file("a", "A");
    make_file("b", "B");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    errno = 0;
    EXPECT_EQ(os_move(path("a").c_str(), path("b").c_str(), false), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(os_move(path("a").c_str(), path("d").c_str(), false), -1) << "a directory counts too";
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(path("a")), "A");
    EXPECT_EQ(read_file(path("b")), "B");

    const os_file_times old = {{1000000000, 0}, {1000000000, 0}, {0, 0}};
    ASSERT_EQ(os_utimes(path("a").c_str(), &old), 0);
    time_t before = time(nullptr);
    EXPECT_EQ(os_move(path("a").c_str(), path("b").c_str(), true), 0);
    EXPECT_FALSE(exists(path("a")));
    EXPECT_EQ(read_file(path("b")), "A");
    struct stat st;
    ASSERT_EQ(stat(path("b").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);

    EXPECT_EQ(os_move(path("b").c_str(), path("c").c_str(), false), 0);
    EXPECT_EQ(read_file(path("c")), "A");
    errno = 0;
    EXPECT_EQ(os_move(path("vanished").c_str(), path("e").c_str(), true), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(path("e")));
}

TEST_F(path_ops, SpaceCheckLeavesFilesAsTheyWere)
{
    std::string f = make_file("grow", "abc");
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 1 << 20), 0);
    EXPECT_EQ(read_file(f), "abc");
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 1), 0) << "already larger";
    EXPECT_EQ(os_file_save_space_check(path("fresh").c_str(), 4096), 0);
    EXPECT_EQ(lstat_of(path("fresh")).st.st_size, 0);
    errno = 0;
    EXPECT_EQ(os_file_save_space_check(path("no/dir/f").c_str(), 1), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(full_device, SpaceChecksSeeAFullDevice)
{
    std::string f = in_mnt("data");
    errno = 0;
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 1 << 20), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(exists(f)) << "a file made only for the check goes again";
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 8192), 0);

    char msg[PL_MAX_PATH] = "";
    EXPECT_EQ(os_check_free_space(f.c_str(), 4096, msg), 0);
    EXPECT_STREQ(msg, "");
    os_vol_info vol{};
    ASSERT_EQ(os_get_vol_info(mnt_.c_str(), &vol), 0);
    EXPECT_STREQ(vol.fs_type, "TMPFS");
    EXPECT_EQ(vol.total, 64u * 1024);
    const uint64_t need = 10ull << 20;
    EXPECT_EQ(os_check_free_space(f.c_str(), need, msg), 1);
    std::string expect = mnt_ + "/ free=[" + std::string(str_size_fmt_static(vol.free, 0)) + "]  need=[" +
                         std::string(str_size_fmt_static(need, 0)) + "] not enough space";
    EXPECT_EQ(std::string(msg), expect);
    EXPECT_EQ(os_check_free_space(in_mnt("not/yet/there").c_str(), need, msg), 1) << "asks the nearest existing dir";
}

TEST_F(path_ops, NearestExistingParentAndLinkResolution)
{
    make_file("f", "x");
    ASSERT_EQ(symlink("f", path("rel").c_str()), 0);
    ASSERT_EQ(symlink("/etc/hostname", path("abs").c_str()), 0);
    struct row {
        std::string given;
        std::string parent;
    } rows[] = {
        {path("f"), path("f")},
        {dir_ + "/", dir_},
        {path("a/b/c"), dir_},
        {"/zorv-none/a/b", "/"},
        {path("f/below"), path("f/below")},  // ENOTDIR stops the walk
        {"zorv-none-rel/x", "."},
    };
    char out[PL_MAX_PATH];
    for (const row &r : rows) {
        EXPECT_EQ(os_path_existing_parent(r.given.c_str(), out), 0);
        EXPECT_EQ(std::string(out), r.parent) << r.given;
    }
    struct link_row {
        std::string given;
        std::string resolved;
    } links[] = {
        {path("rel"), path("f")},
        {path("abs"), "/etc/hostname"},
        {path("f"), path("f")},
        {path("vanished"), path("vanished")},
    };
    for (const link_row &r : links) {
        EXPECT_EQ(os_link_resolve(r.given.c_str(), out, sizeof(out)), 0);
        EXPECT_EQ(std::string(out), r.resolved) << r.given;
    }
    char small[8];
    EXPECT_EQ(os_link_resolve(path("rel").c_str(), small, sizeof(small)), 0);
    EXPECT_STREQ(small, "") << "a result that does not fit is not cut";
}

TEST(PathForms, SystemFormIsACopyOfANormalisedPath)
{
    struct row {
        const char *in;
        const char *out;
    } rows[] = {
        {"/a/b", "/a/b"},
        {"a\\b", "a/b"},
        {"file:///?/c/x", "c/x"},
        {"file://x", "x"},
    };
    char out[64];
    for (const row &r : rows)
        EXPECT_STREQ(os_path_to_sys(r.in, out, sizeof(out)), r.out) << r.in;
    EXPECT_STREQ(os_path_from_sys("/a/b", out, sizeof(out)), "/a/b");
    char tiny[3];
    EXPECT_STREQ(os_path_from_sys("/a/b", tiny, sizeof(tiny)), "");
}

TEST(StatRecords, ReverseConversionAndVolumeRecord)
{
    struct row {
        uint32_t type;
        uint32_t mode;
        mode_t expect;
    } rows[] = {
        {OS_STAT_TYPE_NO_MODE | OS_STAT_TYPE_DIR, 0, S_IFDIR | 0775},
        {OS_STAT_TYPE_NO_MODE | OS_STAT_TYPE_FILE, 0, S_IFREG | 0775},
        {OS_STAT_TYPE_FILE, S_IFREG | 0600, S_IFREG | 0600},
        {OS_STAT_TYPE_LINK, S_IFLNK | 0777, S_IFLNK | 0777},
    };
    for (const row &r : rows) {
        os_file_stat_info info{};
        info.type = r.type;
        info.mode = r.mode;
        info.size = 77;
        info.mtime = {1234, 5678};
        info.ino = 99;
        struct stat st;
        os_info_to_stat(&info, &st);
        EXPECT_EQ(st.st_mode, r.expect) << std::hex << r.type;
        EXPECT_EQ(st.st_size, 77);
        EXPECT_EQ(st.st_mtim.tv_sec, 1234);
        EXPECT_EQ(st.st_mtim.tv_nsec, 5678);
        EXPECT_EQ(st.st_ino, 99u);
        os_file_stat_info back{};
        os_stat_to_info(&st, &back);
        EXPECT_EQ(back.size, 77u);
        EXPECT_EQ(back.mtime.nsec, 5678u);
    }
    os_statvfs_info v = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    struct statvfs sv;
    os_statvfs_from_info(&v, &sv);
    EXPECT_EQ(sv.f_bsize, 1u);
    EXPECT_EQ(sv.f_frsize, 2u);
    EXPECT_EQ(sv.f_blocks, 3u);
    EXPECT_EQ(sv.f_bfree, 4u);
    EXPECT_EQ(sv.f_bavail, 5u);
    EXPECT_EQ(sv.f_files, 6u);
    EXPECT_EQ(sv.f_ffree, 7u);
    EXPECT_EQ(sv.f_favail, 8u);
    EXPECT_EQ(sv.f_fsid, 9u);
    EXPECT_EQ(sv.f_flag, 10u);
    EXPECT_EQ(sv.f_namemax, 11u);
}

TEST(VolumeInfo, FileSystemNamesAndMountPoints)
{
    struct row {
        uint64_t type;
        const char *name;
    } rows[] = {{0x2F, "QNX4"}, {0xEF53, "EXT4"}, {0x1021994, "TMPFS"}, {0xF995E849, "HPFS"}, {0x35, "UNKOWN"}};
    for (const row &r : rows)
        EXPECT_STREQ(os_fs_type(r.type), r.name);
    log_capture cap;
    os_fs_type(0x35);
    EXPECT_TRUE(cap.has("unkown fs_type=0x35"));

    char out[PL_MAX_PATH];
    EXPECT_EQ(os_mount_point("/proc/self/status", out), 0);
    EXPECT_STREQ(out, "/proc");
    EXPECT_EQ(os_mount_point("/zorv-none/x", out), 0);
    EXPECT_STREQ(out, "/");
}
