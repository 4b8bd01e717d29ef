#include "libpal/os/os_file.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/verr.h"
#include "libpal/os/os_xattr.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

namespace {

std::string assert_text(const char *expr)
{
    return std::string("expr[") + expr + "]: assert failed\n";
}

// A table that fills no slot but its name: every dispatcher meets an empty slot.
const os_file_ops kEmptyOps = {.name = "empty"};

// A table that records the controls it receives.
struct ioctl_seen {
    uint32_t code;
    uint32_t value;
    int calls;
};
ioctl_seen g_seen;

bool recording_ioctl(uint64_t, uint32_t code, void *arg, uint64_t arg_size)
{
    g_seen.calls++;
    g_seen.code = code;
    g_seen.value = arg_size == sizeof(uint32_t) ? *static_cast<uint32_t *>(arg) : 0;
    return true;
}

const os_file_ops kRecordingOps = {.name = "recording", .ioctl = recording_ioctl};

using file_fixture = temp_dir_test;

}  // namespace

TEST(FileDispatch, EmptySlotsFailWithTheirExpressionAndNeverCrash)
{
    os_file_ctx ctx = {1, &kEmptyOps, nullptr, 0};
    char buf[8] = {};
    iovec iov = {buf, sizeof(buf)};
    struct row {
        const char *expr;
        int64_t result;
        int64_t expected;
    };
    log_capture cap;
    const std::vector<row> rows = {
        {"ctx->ops->read", os_file_read(&ctx, buf, 8), -1},
        {"ctx->ops->writ", os_file_write(&ctx, buf, 8), -1},
        {"ctx->ops->pread", os_file_pread(&ctx, buf, 8, 0), -1},
        {"ctx->ops->pwrit", os_file_pwrit(&ctx, buf, 8, 0), -1},
        {"ctx->ops->readv", os_file_readv(&ctx, &iov, 1), -1},
        {"ctx->ops->writv", os_file_writv(&ctx, &iov, 1), -1},
        {"ctx->ops->preadv", os_file_preadv(&ctx, &iov, 1, 0), -1},
        {"ctx->ops->pwritv", os_file_pwritv(&ctx, &iov, 1, 0), -1},
        {"ctx->ops->sync", os_file_fsync(&ctx), false},
        {"ctx->ops->truncate", os_file_ftruncate(&ctx, 0), false},
        {"ctx->ops->seek", os_file_seek(&ctx, 0, 0), -1},
        {"ctx->ops->offset", os_file_offset(&ctx), -1},
        {"ctx->ops->size", os_file_size(&ctx), -1},
        {"ctx->ops->ioctl", os_file_ioctl(&ctx, OS_FILE_GET_ERR_CLASS, nullptr, 0), false},
        // Without an exit slot nothing is released (the object lives on the stack here).
        {"ctx->ops->exit", os_file_close(&ctx), false},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.result, r.expected) << r.expr;
        EXPECT_TRUE(cap.has(assert_text(r.expr))) << r.expr;
    }
}

TEST(FileDispatch, ControlWithoutObjectFailsSilently)
{
    log_capture cap;
    os_file_info info;
    EXPECT_FALSE(os_file_ioctl(nullptr, OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_TRUE(cap.all().empty());
}

TEST(FileTableChoice, DevicePrefixNamesExactBuiltinsOnly)
{
    struct row {
        const char *path;
        const char *table;
    } rows[] = {
        {"/dev/null", "null"},     {"/dev/zero", "zero"},      {"/dev/random", "random"},
        {"/dev/stdin", "stdin"},   {"/dev/stdout", "stdout"},  {"/dev/stderr", "stderr"},
        {"/dev/file", "file"},     {"\\dev\\zero", "zero"},    {"/dev/Null", "file"},
        {"/dev/null2", "file"},    {"/dev/xattr", "file"},     {"/dev/", "file"},
        {"/dev/sda", "file"},      {"/tmp/null", "file"},      {"dev/null", "file"},
    };
    for (const row &r : rows)
        EXPECT_STREQ(os_file_get_ops(r.path)->name, r.table) << r.path;
}

TEST(FilePathPreparation, NormalisesQuotesSlashesAndPrefixes)
{
    struct row {
        const char *path;
        const char *prepared;
    } rows[] = {
        {"\"/dev/null\"", "/dev/null"},
        {"  '/tmp//a\\b'  ", "/tmp/a/b"},
        {"file:///etc//x", "/etc/x"},
        {"\\\\.\\PhysicalMemory", "/dev/pmem"},
        {"////", "/"},
    };
    char out[4096];
    for (const row &r : rows)
        EXPECT_STREQ(os_file_path_normalize(r.path, out), r.prepared) << r.path;
}

TEST_F(file_fixture, OverlongPathFailsClearlyAndCreatesNothing)
{
    std::string longpath = dir_ + "/" + std::string(4096 - dir_.size(), 'a');
    ASSERT_EQ(longpath.size(), 4097u);
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_file_open(longpath.c_str(), OS_PF_RDWR | OS_PF_CREAT), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(cap.all().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(file_fixture, QuotedBackslashPathOpensTheFileAndKeepsTheCallersText)
{
    std::string given = "\"" + dir_ + "\\sub\\f.txt\"";
    os_file_ctx *ctx = os_file_open(given.c_str(), OS_PF_WRONLY | OS_PF_CREAT);
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    EXPECT_STREQ(os_file_get_path(ctx), given.c_str());
    EXPECT_EQ(os_file_write(ctx, "hi", 2), 2);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(read_file(path("sub/f.txt")), "hi");
}

TEST(FileDevices, NullTakesWritesAndRefusesReads)
{
    os_file_ctx *ctx = os_file_open("/dev/null", OS_PF_WRONLY);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(ctx->ops->name, "null");
    char buf[16] = "data";
    EXPECT_EQ(os_file_write(ctx, buf, 16), 16);
    EXPECT_EQ(os_file_pwrit(ctx, buf, 16, 1 << 20), 16);
    log_capture cap;
    EXPECT_EQ(os_file_read(ctx, buf, 16), -1);
    EXPECT_TRUE(cap.has(assert_text("ctx->ops->read")));
    EXPECT_TRUE(os_file_fsync(ctx));
    EXPECT_TRUE(os_file_ftruncate(ctx, 0));
    EXPECT_TRUE(os_file_close(ctx));
}

TEST(FileDevices, ZeroAndRandomFillReadsAndRefuseWrites)
{
    struct row {
        const char *path;
        bool zeros;
    } rows[] = {{"/dev/zero", true}, {"/dev/random", false}};
    for (const row &r : rows) {
        os_file_ctx *ctx = os_file_open(r.path, OS_PF_RDWR);
        ASSERT_NE(ctx, nullptr) << r.path;
        std::vector<unsigned char> buf(77, 0xAA);
        EXPECT_EQ(os_file_read(ctx, buf.data(), buf.size()), 77) << r.path;
        size_t zero_bytes = std::count(buf.begin(), buf.end(), 0);
        if (r.zeros)
            EXPECT_EQ(zero_bytes, buf.size());
        else
            EXPECT_LT(zero_bytes, buf.size() / 2) << r.path;
        EXPECT_EQ(os_file_pread(ctx, buf.data(), 5, 4096), 5) << r.path;
        log_capture cap;
        EXPECT_EQ(os_file_write(ctx, buf.data(), 4), -1) << r.path;
        EXPECT_FALSE(os_file_fsync(ctx)) << r.path;
        EXPECT_FALSE(os_file_ftruncate(ctx, 0)) << r.path;
        EXPECT_TRUE(cap.has(assert_text("ctx->ops->writ")));
        EXPECT_TRUE(cap.has(assert_text("ctx->ops->sync")));
        EXPECT_TRUE(cap.has(assert_text("ctx->ops->truncate")));
        EXPECT_TRUE(os_file_close(ctx));
    }
}

TEST(FileDevices, BuiltinsReportTypeThreeAndNoSize)
{
    for (const char *p : {"/dev/null", "/dev/zero", "/dev/random", "/dev/stdin", "/dev/stdout", "/dev/stderr"}) {
        os_file_ctx *ctx = os_file_open(p, 0);
        ASSERT_NE(ctx, nullptr) << p;
        os_file_info info;
        memset(&info, 0x55, sizeof(info));
        ASSERT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof(info))) << p;
        EXPECT_EQ(info.type, OS_FILE_TYPE_BUILTIN) << p;
        EXPECT_EQ(info.size, 0u) << p;
        EXPECT_EQ(info.offset, 0u) << p;
        EXPECT_EQ(info.block_size, 512u) << p;
        EXPECT_STREQ(info.name, "") << p;
        uint64_t cls = 9;
        EXPECT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_ERR_CLASS, &cls, sizeof(cls)));
        EXPECT_EQ(cls, 0u);
        EXPECT_FALSE(os_file_ioctl(ctx, OS_FILE_SET_MODE, nullptr, 0)) << p;
        EXPECT_EQ(os_file_size(ctx), 0) << p;
        EXPECT_EQ(os_file_seek(ctx, 100, 0), 0) << p;
        EXPECT_EQ(os_file_offset(ctx), 0) << p;
        EXPECT_TRUE(os_file_close(ctx)) << p;
    }
}

TEST_F(file_fixture, StandardStreamsUseDescriptorsZeroOneTwoAndStayOpen)
{
    struct row {
        const char *path;
        int fd;
    } rows[] = {{"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const row &r : rows) {
        fflush(nullptr);
        std::string out = path(std::string("out") + std::to_string(r.fd));
        int saved = dup(r.fd);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        dup2(fd, r.fd);
        close(fd);
        os_file_ctx *ctx = os_file_open(r.path, OS_PF_WRONLY);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(os_file_fileno(ctx), r.fd);
        EXPECT_EQ(os_file_write(ctx, "line\n", 5), 5);
        EXPECT_TRUE(os_file_fsync(ctx));
        EXPECT_TRUE(os_file_close(ctx));
        EXPECT_NE(fcntl(r.fd, F_GETFD), -1) << "closing the object closed descriptor " << r.fd;
        dup2(saved, r.fd);
        close(saved);
        EXPECT_EQ(read_file(out), "line\n");
    }

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    os_file_ctx *ctx = os_file_open("/dev/stdin", 0);
    ASSERT_NE(ctx, nullptr);
    char buf[8] = {};
    EXPECT_EQ(os_file_read(ctx, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
}

TEST(FileTimeouts, OutOfRangeValuesAreClampedWithAWarning)
{
    struct row {
        int ms;
        uint32_t passed;
        const char *warning;  // nullptr: none
    } rows[] = {
        {999, 1000, "timeout=0s fix=1s error: too short\n"},
        {0, 1000, "timeout=0s fix=1s error: too short\n"},
        {-1, 1000, "timeout=0s fix=1s error: too short\n"},
        {-5000, 1000, "timeout=-5s fix=1s error: too short\n"},
        {1000, 1000, nullptr},
        {30000, 30000, nullptr},
        {600000, 600000, nullptr},
        {600001, 600000, "timeout=600s fix=600s error: too long\n"},
        {INT_MAX, 600000, "timeout=2147483s fix=600s error: too long\n"},
    };
    os_file_ctx ctx = {1, &kRecordingOps, nullptr, 0};
    for (const row &r : rows) {
        for (int is_read : {1, 0}) {
            log_capture cap;
            g_seen = {};
            EXPECT_TRUE(is_read ? os_file_read_timeout(&ctx, r.ms) : os_file_write_timeout(&ctx, r.ms));
            EXPECT_EQ(g_seen.calls, 1);
            uint32_t code = is_read ? OS_FILE_SET_READ_TIMEOUT : OS_FILE_SET_WRITE_TIMEOUT;
            EXPECT_EQ(g_seen.code, code);
            EXPECT_EQ(g_seen.value, r.passed) << r.ms;
            if (r.warning) {
                ASSERT_EQ(cap.all().size(), 1u) << r.ms;
                EXPECT_EQ(cap.all()[0].text, r.warning);
                EXPECT_EQ(cap.all()[0].level, uint32_t{LOG2_WARN});
            } else {
                EXPECT_TRUE(cap.all().empty()) << r.ms;
            }
        }
    }
}

TEST(FileErrorClass, MapsWindowsAndSystemErrors)
{
    struct row {
        int kind;
        int error;
        int cls;
    } rows[] = {
        {1, 0, 0},  {1, 55, 2},    {1, 2, 2},     {1, 23, 1},     {1, 1117, 1}, {1, 5, 3},
        {2, 0, 0},  {2, ENXIO, 2}, {2, EIO, 1},   {2, ENOSPC, 3}, {0, EIO, 1},  {2, 55, 3},
    };
    for (const row &r : rows)
        EXPECT_EQ(os_file_error_class(r.kind, r.error), r.cls) << r.kind << "/" << r.error;
}

TEST(FileNamedObjects, TypeOfAList)
{
    struct row {
        std::string list;
        int type;
    } rows[] = {
        {std::string("/tmp/a\0", 8), 0},
        {std::string("/tmp/a\0S\0n\0", 12), 1},
        {std::string("/tmp/a\0A\0n\0", 12), 2},
        {std::string("/tmp/a\0X\0n\0", 12), 3},
        {std::string("/tmp/a\0X\0", 10), 3},
        {std::string("/tmp/a\0Q\0n\0", 12), -1},
        {std::string("/tmp/a\0X\0n\0extra\0", 18), -1},
        {std::string("\0", 2), -1},
    };
    for (const row &r : rows)
        EXPECT_EQ(os_file_named_type(r.list.c_str()), r.type) << r.type;
}

TEST_F(file_fixture, NamedOpensRefuseOtherTypesAndOpenASinglePathPlainly)
{
    std::string file = make_file("f", "content");
    struct row {
        std::string suffix;  // after the path and its NUL
        int verr_code;
    } rows[] = {
        {std::string("S\0n\0", 5), -37},
        {std::string("A\0n\0", 5), -37},
        {std::string("Q\0n\0", 5), -37},
        {std::string("X\0n\0a\0b\0", 9), -2},
    };
    for (const row &r : rows) {
        std::string list = file + std::string(1, '\0') + r.suffix;
        errno = 0;
        EXPECT_EQ(os_file_open(list.c_str(), OS_PF_RDONLY | OS_PF_NAMED), nullptr);
        EXPECT_EQ(errno, verr_2_posix(r.verr_code)) << r.verr_code;
    }
    errno = 0;
    EXPECT_EQ(os_file_open(std::string("\0", 2).c_str(), OS_PF_NAMED), nullptr);
    EXPECT_EQ(errno, verr_2_posix(-2));

    std::string single = file + std::string(2, '\0');
    os_file_ctx *ctx = os_file_open(single.c_str(), OS_PF_RDONLY | OS_PF_NAMED);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(ctx->ops->name, "file");
    char buf[16] = {};
    EXPECT_EQ(os_file_read(ctx, buf, sizeof(buf)), 7);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(file_fixture, DeleteOnCloseRemovesThePathEvenWhenTheCloseFails)
{
    std::string file = make_file("gone", "x");
    os_file_ctx *ctx = os_file_open(file.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(os_file_set_delete_on_close(ctx, true));
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_FALSE(exists(file));

    file = make_file("gone2", "x");
    ctx = os_file_open(file.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    os_file_set_delete_on_close(ctx, true);
    close(os_file_fileno(ctx));  // the object's own close now fails
    EXPECT_FALSE(os_file_close(ctx));
    EXPECT_FALSE(exists(file));

    // Not set: the file stays.
    file = make_file("kept", "x");
    ctx = os_file_open(file.c_str(), OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_TRUE(exists(file));
}

TEST(FileDevices, DeleteOnCloseNeverRemovesADeviceNode)
{
    struct stat before;
    ASSERT_EQ(stat("/dev/null", &before), 0);
    os_file_ctx *ctx = os_file_open("/dev/null", OS_PF_WRONLY);
    ASSERT_NE(ctx, nullptr);
    os_file_set_delete_on_close(ctx, true);
    EXPECT_TRUE(os_file_close(ctx));
    struct stat after;
    bool kept = stat("/dev/null", &after) == 0;
    if (!kept)  // put the node back before failing
        mknod("/dev/null", S_IFCHR | 0666, before.st_rdev);
    EXPECT_TRUE(kept);
}

TEST_F(file_fixture, InfoByPathReportsTypeCodes)
{
    std::string file = make_file("f", std::string(100, 'x'));
    struct row {
        std::string path;
        bool ok;
        uint32_t type;
    } rows[] = {
        {dir_, true, OS_FILE_TYPE_DIR},
        {file, true, OS_FILE_TYPE_FILE},
        {"/dev/null", true, OS_FILE_TYPE_BUILTIN},
        {"/dev/urandom", true, OS_FILE_TYPE_FILE},
    };
    for (const row &r : rows) {
        os_file_info info = {};
        EXPECT_EQ(os_file_info_by_path(r.path.c_str(), &info), r.ok) << r.path;
        EXPECT_EQ(info.type, r.type) << r.path;
    }
    errno = 0;
    os_file_info info = {};
    EXPECT_FALSE(os_file_info_by_path(path("vanished").c_str(), &info));
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileAccessors, DescriptorOfAnObjectWithoutHandle)
{
    os_file_ctx ctx = {0, &kEmptyOps, nullptr, 0};
    EXPECT_EQ(os_file_fileno(&ctx), -1);
    ctx.handle = 8;
    EXPECT_EQ(os_file_fileno(&ctx), 7);
}

namespace {

// A hooked table: paths beginning with "hooktest:" open a counter record.
int g_hook_inits;

uint64_t hook_init(const char *, uint64_t)
{
    g_hook_inits++;
    return 42;
}

bool hook_exit(uint64_t h)
{
    return h == 42;
}

const os_file_ops kHookOps = {.name = "hooked", .init = hook_init, .exit = hook_exit};

const os_file_ops *hook_match(const char *path)
{
    return strncmp(path, "hooktest:", 9) == 0 ? &kHookOps : nullptr;
}

const os_file_ops *hook_never(const char *)
{
    return nullptr;
}

const os_file_ops *hook_dev_null(const char *path)
{
    return strcmp(path, "/dev/hooked-null") == 0 ? &kHookOps : nullptr;
}

const os_file_hook kHooks[] = {
    {"never", hook_never},
    {"prefix", hook_match},
    {"devnull", hook_dev_null},
    {"never2", hook_never},
};

}  // namespace

TEST(FileHooks, FirstMatchingHookWinsAndAFifthIsRefused)
{
    for (const os_file_hook &h : kHooks)
        ASSERT_EQ(os_file_hook_register(&h), 0);
    const os_file_hook extra = {"extra", hook_match};
    EXPECT_EQ(os_file_hook_register(&extra), -1);

    EXPECT_EQ(os_file_get_ops("hooktest:abc"), &kHookOps);
    EXPECT_EQ(os_file_get_ops("/dev/hooked-null"), &kHookOps);
    EXPECT_STREQ(os_file_get_ops("/dev/null")->name, "null");
    EXPECT_STREQ(os_file_get_ops("/tmp/x")->name, "file");

    g_hook_inits = 0;
    os_file_ctx *ctx = os_file_open("hooktest:dev0", OS_PF_RDWR);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(g_hook_inits, 1);
    EXPECT_EQ(ctx->handle, 42u);
    EXPECT_STREQ(os_file_get_path(ctx), "hooktest:dev0");
    EXPECT_TRUE(os_file_close(ctx));
}
