#include "libpal/os/posix/os_file_local.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/os/os_path.h"
#include "libpal/os/os_xattr.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

using local_file = temp_dir_test;

// Restores the process's file-creation mask on scope exit.
struct umask_guard {
    explicit umask_guard(mode_t m) : old(umask(m)) {}
    ~umask_guard() { umask(old); }
    mode_t old;
};

mode_t perms(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST_F(local_file, AccessFlagsFirstSetWinsAndOpensAreNonBlocking)
{
    std::string file = make_file("f", "abc");
    struct row {
        uint64_t flags;
        int access;
    } rows[] = {
        {0, O_RDONLY},
        {OS_PF_RDONLY, O_RDONLY},
        {OS_PF_RDONLY | OS_PF_RDWR, O_RDONLY},
        {OS_PF_WRONLY, O_WRONLY},
        {OS_PF_WRONLY | OS_PF_RDWR, O_WRONLY},
        {OS_PF_RDWR, O_RDWR},
        {OS_PF_RDWR | OS_PF_APPEND | OS_PF_DIRECT | OS_PF_VSS | 0x80 | 0x1000, O_RDWR},
    };
    for (const row &r : rows) {
        os_file_ctx *ctx = os_file_open(file.c_str(), r.flags);
        ASSERT_NE(ctx, nullptr) << r.flags;
        int fl = fcntl(os_file_fileno(ctx), F_GETFL);
        EXPECT_EQ(fl & O_ACCMODE, r.access) << r.flags;
        EXPECT_TRUE(fl & O_NONBLOCK) << r.flags;
        EXPECT_TRUE(fcntl(os_file_fileno(ctx), F_GETFD) & FD_CLOEXEC) << r.flags;
        EXPECT_TRUE(os_file_close(ctx));
    }
    EXPECT_EQ(read_file(file), "abc");
}

TEST_F(local_file, CreateMakesParentsWithMode0644LessTheMask)
{
    umask_guard mask(022);
    std::string file = path("a/b/c/new");
    errno = 0;
    EXPECT_EQ(os_file_open(file.c_str(), OS_PF_WRONLY), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(path("a")));

    os_file_ctx *ctx = os_file_open(file.c_str(), OS_PF_WRONLY | OS_PF_CREAT);
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(perms(file), 0644u);
    EXPECT_EQ(perms(path("a/b")), 0755u);

    umask(077);
    ctx = os_file_open(path("masked").c_str(), OS_PF_WRONLY | OS_PF_CREAT);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(perms(path("masked")), 0600u);
}

TEST_F(local_file, CreateUnderARegularFileFailsAndWritesNothing)
{
    std::string blocker = make_file("blocker", "keep");
    errno = 0;
    EXPECT_EQ(os_file_open((blocker + "/sub/f").c_str(), OS_PF_WRONLY | OS_PF_CREAT), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(read_file(blocker), "keep");
}

TEST_F(local_file, DirectoryOpensForInformationOnly)
{
    errno = 0;
    EXPECT_EQ(os_file_open(dir_.c_str(), OS_PF_RDWR), nullptr);
    EXPECT_EQ(errno, EISDIR);

    os_file_ctx *ctx = os_file_open(dir_.c_str(), OS_PF_RDONLY);
    ASSERT_NE(ctx, nullptr);
    char buf[16];
    errno = 0;
    EXPECT_EQ(os_file_read(ctx, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EISDIR);
    os_file_info info = {};
    ASSERT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_EQ(info.type, OS_FILE_TYPE_DIR);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(local_file, WindowsDispositions)
{
    struct row {
        const char *name;
        bool exists_before;
        uint32_t disposition;
        bool opens;
        int eno;
        const char *content_after;  // nullptr: the path must not exist
    } rows[] = {
        {"new_existing", true, OS_CREATE_NEW, false, EEXIST, "old"},
        {"new_missing", false, OS_CREATE_NEW, true, 0, ""},
        {"always_existing", true, OS_CREATE_ALWAYS, true, 0, ""},
        {"open_existing_missing", false, OS_OPEN_EXISTING, false, ENOENT, nullptr},
        {"open_existing", true, OS_OPEN_EXISTING, true, 0, "old"},
        {"open_always_missing", false, OS_OPEN_ALWAYS, true, 0, ""},
        {"truncate_existing", true, OS_TRUNCATE_EXISTING, true, 0, ""},
    };
    for (const row &r : rows) {
        std::string p = r.exists_before ? make_file(r.name, "old") : path(r.name);
        errno = 0;
        os_file_ctx *ctx = os_file_open_win(p.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 0, nullptr,
                                            r.disposition, 0);
        EXPECT_EQ(ctx != nullptr, r.opens) << r.name;
        if (ctx)
            EXPECT_TRUE(os_file_close(ctx));
        else
            EXPECT_EQ(errno, r.eno) << r.name;
        if (r.content_after)
            EXPECT_EQ(read_file(p), r.content_after) << r.name;
        else
            EXPECT_FALSE(exists(p)) << r.name;
    }
    errno = 0;
    EXPECT_EQ(os_file_open_win(dir_.c_str(), OS_GENERIC_READ, 0, nullptr, OS_CREATE_NEW, 0), nullptr);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(local_file, PosixStyleOpenPassesItsFlagsAndMode)
{
    umask_guard mask(022);
    std::string p = path("px");
    uint32_t flags = OS_O_RDWR | OS_O_CREAT | OS_O_EXCL;
    os_file_ctx *ctx = os_file_open_posix(p.c_str(), flags, 0600);
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    EXPECT_EQ(fcntl(os_file_fileno(ctx), F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(fcntl(os_file_fileno(ctx), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(perms(p), 0600u);
    errno = 0;
    EXPECT_EQ(os_file_open_posix(p.c_str(), flags, 0600), nullptr);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(local_file, SizeAndInfoOfRegularFiles)
{
    struct row {
        size_t bytes;
        uint32_t probed_block;  // what the read probe finds
    } rows[] = {{0, 0}, {100, 0}, {512, 512}, {1000, 512}, {5000, 512}};
    for (const row &r : rows) {
        std::string p = make_file("s" + std::to_string(r.bytes), std::string(r.bytes, 'z'));
        os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDONLY);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(os_file_seek(ctx, 3, 0), 3);
        EXPECT_EQ(os_file_size(ctx), static_cast<int64_t>(r.bytes)) << r.bytes;
        EXPECT_EQ(os_file_offset(ctx), 3) << "the size query moved the position";
        EXPECT_EQ(os_local_file_block_size(ctx->handle), r.probed_block) << r.bytes;
        os_file_info info = {};
        ASSERT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof(info)));
        EXPECT_EQ(info.type, OS_FILE_TYPE_FILE);
        EXPECT_EQ(info.size, r.bytes);
        EXPECT_EQ(info.offset, 3u);
        EXPECT_EQ(info.block_size, 512u);
        EXPECT_STREQ(info.name, "");
        EXPECT_TRUE(os_file_close(ctx));
    }
}

TEST_F(local_file, SizeProbeFindsWholeBlocks)
{
    struct row {
        size_t bytes;
        int64_t probed;
    } rows[] = {
        {0, 0}, {4095, 0}, {4096, 4096}, {10000, 8192}, {20480, 20480}, {(1 << 20) + 5, 1 << 20},
        {3 * 4096 * 1024, 3 * 4096 * 1024},
    };
    for (const row &r : rows) {
        std::string p = path("probe");
        int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(r.bytes)), 0);
        ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
        EXPECT_EQ(os_local_file_size_probe(fd), r.probed) << r.bytes;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7);
        close(fd);
    }
}

TEST(LocalDevices, DeviceReadableEverywhereHasNoProbedSize)
{
    // "/dev/./zero" is not the built-in name: the node is opened as a local device.
    os_file_ctx *ctx = os_file_open("/dev/./zero", OS_PF_RDONLY);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(ctx->ops->name, "file");
    EXPECT_EQ(os_file_size(ctx), 0);
    EXPECT_EQ(os_local_file_size_probe(os_file_fileno(ctx)), 0);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST(LocalDevices, FullDeviceRefusesWritesWithENOSPC)
{
    os_file_ctx *ctx = os_file_open("/dev/full", OS_PF_WRONLY);
    if (!ctx)
        GTEST_SKIP() << "/dev/full: " << strerror(errno);
    EXPECT_STREQ(ctx->ops->name, "file");
    errno = 0;
    EXPECT_EQ(os_file_write(ctx, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    uint64_t cls = 0;
    EXPECT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_ERR_CLASS, &cls, sizeof(cls)));
    EXPECT_EQ(cls, 3u);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(local_file, PositionedIoAtAndPastTheEnd)
{
    std::string p = make_file("pos", "0123456789");
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    char buf[16] = {};
    EXPECT_EQ(os_file_pread(ctx, buf, 8, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(os_file_pread(ctx, buf, 8, 10), 0);
    EXPECT_EQ(os_file_pread(ctx, buf, 8, 1000), 0);
    EXPECT_EQ(os_file_pwrit(ctx, "AB", 2, 10), 2);
    EXPECT_EQ(os_file_size(ctx), 12);
    EXPECT_EQ(os_file_pwrit(ctx, "Z", 1, 20), 1);
    EXPECT_EQ(os_file_size(ctx), 21);
    EXPECT_EQ(os_file_offset(ctx), 0);
    EXPECT_TRUE(os_file_fsync(ctx));
    EXPECT_TRUE(os_file_ftruncate(ctx, 5));
    EXPECT_EQ(os_file_size(ctx), 5);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(read_file(p), "01234");
}

TEST_F(local_file, OffsetsAtTheTopOfTheRangeFailAndWriteNothing)
{
    std::string p = make_file("top", "0123456789");
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    // Offsets that would wrap to a small or negative position must never land
    // inside the file.
    const uint64_t offsets[] = {(uint64_t{1} << 63) - 1, uint64_t{1} << 63, (uint64_t{1} << 63) + 2, ~uint64_t{0}};
    char buf[4] = "abc";
    iovec iov = {buf, 3};
    for (uint64_t off : offsets) {
        EXPECT_EQ(os_file_pwrit(ctx, buf, 3, off), -1) << off;
        EXPECT_EQ(os_file_pread(ctx, buf, 3, off), -1) << off;
        EXPECT_EQ(os_file_pwritv(ctx, &iov, 1, off), -1) << off;
        EXPECT_EQ(os_file_preadv(ctx, &iov, 1, off), -1) << off;
    }
    EXPECT_EQ(os_file_size(ctx), 10);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(read_file(p), "0123456789");
}

TEST_F(local_file, SeekFromEachOrigin)
{
    std::string p = make_file("seek", "0123456789");
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDONLY);
    ASSERT_NE(ctx, nullptr);
    struct row {
        int64_t offset;
        int whence;
        int64_t expected;
    } rows[] = {{3, 0, 3}, {2, 1, 5}, {-1, 2, 9}, {0, 1, 9}, {-20, 0, -1}, {0, 7, -1}};
    for (const row &r : rows)
        EXPECT_EQ(os_file_seek(ctx, r.offset, r.whence), r.expected) << r.offset << "/" << r.whence;
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(local_file, VectorIoKeepsThePosition)
{
    std::string p = make_file("vec", std::string(64, '.'));
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    char a[] = "abc", b[] = "defgh";
    iovec out[] = {{a, 3}, {b, 5}};
    ASSERT_EQ(os_file_seek(ctx, 7, 0), 7);

    EXPECT_EQ(os_file_pwritv(ctx, out, 2, 60), 8);  // past the end: the file grows
    EXPECT_EQ(os_file_offset(ctx), 7);
    EXPECT_EQ(os_file_size(ctx), 68);
    EXPECT_EQ(os_file_pwritv(ctx, out, 2, 7), 8);  // at the current position
    EXPECT_EQ(os_file_offset(ctx), 7);

    char x[4] = {}, y[4] = {};
    iovec in[] = {{x, 4}, {y, 4}};
    EXPECT_EQ(os_file_preadv(ctx, in, 2, 60), 8);
    EXPECT_EQ(std::string(x, 4) + std::string(y, 4), "abcdefgh");
    EXPECT_EQ(os_file_preadv(ctx, in, 2, 66), 2);
    EXPECT_EQ(os_file_offset(ctx), 7);

    EXPECT_EQ(os_file_readv(ctx, in, 2), 8);
    EXPECT_EQ(std::string(x, 4) + std::string(y, 4), "abcdefgh");
    EXPECT_EQ(os_file_offset(ctx), 15);
    EXPECT_EQ(os_file_writv(ctx, out, 1), 3);
    EXPECT_EQ(os_file_offset(ctx), 18);

    log_capture cap;
    EXPECT_EQ(os_file_preadv(ctx, in, 0, 0), -1);
    EXPECT_EQ(os_file_pwritv(ctx, nullptr, 1, 0), -1);
    EXPECT_EQ(os_file_readv(ctx, in, 0), -1);
    EXPECT_TRUE(cap.has("expr[file && list && size]: assert failed\n"));
    EXPECT_TRUE(os_file_close(ctx));
}

TEST(LocalSlots, ZeroHandleIsAnAssertionNotACrash)
{
    log_capture cap;
    char buf[4];
    struct row {
        const char *expr;
        int64_t result;
        int64_t expected;
    };
    const std::vector<row> rows = {
        {"file && data", os_local_file_read(0, buf, 4), -1},
        {"file && data", os_local_file_writ(1, nullptr, 4), -1},
        {"file", os_local_file_pread(0, buf, 4, 0), -1},
        {"file", os_local_file_sync(0), false},
        {"file", os_local_file_truncate(0, 0), false},
        {"file", os_local_file_exit(0), false},
        {"file", os_local_file_seek(0, 0, 0), -1},
        {"file", os_local_file_ioctl(0, OS_FILE_GET_INFO, nullptr, 0), false},
        {"path", static_cast<int64_t>(os_local_file_init(nullptr, 0)), 0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.result, r.expected) << r.expr;
        EXPECT_TRUE(cap.has(std::string("expr[") + r.expr + "]: assert failed\n")) << r.expr;
    }
    cap.clear();
    // The size makes no handle check: descriptor -1 fails in fstat.
    EXPECT_EQ(os_local_file_size(0), -1);
    EXPECT_TRUE(cap.has("fstat error: "));
}

TEST_F(local_file, ControlCodes)
{
    std::string p = make_file("ctl", "hello");
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);

    for (uint32_t code : {7u, 8u, 11u, 99u}) {
        errno = 0;
        EXPECT_FALSE(os_file_ioctl(ctx, code, nullptr, 0)) << code;
        EXPECT_EQ(errno, EPERM) << code;
    }
    EXPECT_TRUE(os_file_read_timeout(ctx, 5000));
    EXPECT_TRUE(os_file_write_timeout(ctx, 5000));

    EXPECT_TRUE(os_file_chmod(ctx, 0600));
    EXPECT_EQ(perms(p), 0600u);
    EXPECT_TRUE(os_file_chown(ctx, getuid(), getgid()));

    os_file_stat_info st = {};
    ASSERT_TRUE(os_file_stat(ctx, &st));
    EXPECT_EQ(st.type, uint32_t{OS_STAT_TYPE_FILE});
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.mode & 07777, 0600u);

    errno = EIO;
    uint64_t cls = 0;
    EXPECT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_ERR_CLASS, &cls, sizeof(cls)));
    EXPECT_EQ(cls, 1u);

    // A control argument smaller than its record is refused, not overrun.
    os_file_info small;
    EXPECT_FALSE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &small, 8));
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(local_file, SetTimesAppliesOnlyNonZeroSeconds)
{
    std::string p = make_file("times", "t");
    struct stat before;
    ASSERT_EQ(stat(p.c_str(), &before), 0);
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    os_file_times t = {};
    t.mtime = {1000000000, 5000};
    ASSERT_TRUE(os_file_set_times(ctx, &t));
    struct stat after;
    ASSERT_EQ(stat(p.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 5000);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);

    t = {};
    t.atime = {1100000000, 0};
    ASSERT_TRUE(os_file_set_times(ctx, &t));
    ASSERT_EQ(stat(p.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, 1100000000);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(local_file, RangeLocksAgainstAnotherProcess)
{
    std::string p = make_file("locked", std::string(100, 'l'));
    int held[2], go[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(p.c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 10;
        fl.l_len = 20;
        char c = fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!write(held[1], &c, 1);
        (void)!read(go[0], &c, 1);
        usleep(100 * 1000);
        _exit(0);  // ends the lock
    }
    char c = 0;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    EXPECT_FALSE(os_file_lock(ctx, 17, 0, 15));  // shared, no wait, overlaps the held range
    EXPECT_TRUE(os_file_lock(ctx, 17, 50, 10));  // outside it
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_TRUE(os_file_lock(ctx, 1, 0, 15));  // waits for the other process to end
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(os_file_lock(ctx, 3, 0, 15));
    EXPECT_TRUE(os_file_lock(ctx, 16, 0, 100));  // exclusive, whole range, now free
    EXPECT_TRUE(os_file_close(ctx));
    for (int fd : {held[0], held[1], go[0], go[1]})
        close(fd);
}

TEST_F(local_file, VanishedFileKeepsItsOpenObject)
{
    std::string p = make_file("vanish", "data");
    os_file_ctx *ctx = os_file_open(p.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(unlink(p.c_str()), 0);
    EXPECT_EQ(os_file_pwrit(ctx, "!", 1, 4), 1);
    EXPECT_EQ(os_file_size(ctx), 5);
    EXPECT_TRUE(os_file_set_delete_on_close(ctx, true));
    EXPECT_TRUE(os_file_close(ctx));  // removing a vanished path is not reported
    errno = 0;
    EXPECT_EQ(os_file_open(p.c_str(), OS_PF_RDONLY), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

namespace {

// A 1 MiB image attached as a loop device with 4096-byte sectors.
class loop_device : public temp_dir_test {
protected:
    static constexpr int64_t kSize = 1 << 20;

    void SetUp() override
    {
        temp_dir_test::SetUp();
        std::string img = path("disk.img");
        int fd = open(img.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kSize), 0);
        close(fd);
        std::string cmd = "losetup --sector-size 4096 -f --show " + img + " 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        if (!p)
            GTEST_SKIP() << "cannot run losetup";
        char line[256] = {};
        bool got = fgets(line, sizeof(line), p) != nullptr;
        int status = pclose(p);
        std::string out = got ? line : "";
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        if (status != 0 || out.rfind("/dev/loop", 0) != 0)
            GTEST_SKIP() << "no loop device here (losetup: " << out << ")";
        dev_ = out;
    }

    void TearDown() override
    {
        if (!dev_.empty()) {
            std::string cmd = "losetup -d " + dev_;
            EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        }
        temp_dir_test::TearDown();
    }

    std::string dev_;
};

}  // namespace

TEST_F(loop_device, SizeSectorSizeAndIoAtTheEnd)
{
    os_file_ctx *ctx = os_file_open(dev_.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr) << dev_ << ": " << strerror(errno);
    EXPECT_STREQ(ctx->ops->name, "file");
    EXPECT_EQ(os_file_size(ctx), kSize);
    EXPECT_EQ(os_local_file_block_size(ctx->handle), 4096u);
    EXPECT_EQ(os_local_file_size_probe(os_file_fileno(ctx)), kSize);

    os_file_info info = {};
    ASSERT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_EQ(info.type, OS_FILE_TYPE_BLOCK);
    EXPECT_EQ(info.size, static_cast<uint64_t>(kSize));
    EXPECT_EQ(info.block_size, 4096u);

    std::vector<char> out(4096, 'E'), in(4096, 0);
    EXPECT_EQ(os_file_pwrit(ctx, out.data(), out.size(), kSize - 4096), 4096);
    EXPECT_TRUE(os_file_fsync(ctx));
    EXPECT_EQ(os_file_pread(ctx, in.data(), in.size(), kSize - 4096), 4096);
    EXPECT_EQ(in, out);
    EXPECT_EQ(os_file_pread(ctx, in.data(), in.size(), kSize), 0);
    errno = 0;
    EXPECT_EQ(os_file_pwrit(ctx, out.data(), out.size(), kSize), -1);
    EXPECT_EQ(errno, ENOSPC);

    iovec iov[] = {{in.data(), 2048}, {in.data() + 2048, 2048}};
    EXPECT_EQ(os_file_preadv(ctx, iov, 2, kSize - 4096), 4096);
    EXPECT_EQ(in, out);
    EXPECT_TRUE(os_file_close(ctx));
}
