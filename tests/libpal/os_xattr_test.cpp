#include "libpal/os/os_xattr.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#define NEW_FAIL_DEFINE
#include "new_fail.h"
#include "os_file_fixture.h"
#include "str_log_capture.h"

TEST(FlagsText, WordsSeparatorsAndCase)
{
    struct row {
        const char *text;
        uint64_t flags;
    } rows[] = {
        {"rw,direct", OS_PF_RDWR | OS_PF_DIRECT},
        {"readonly-rw", OS_PF_RDWR},
        {"rw-readonly", OS_PF_RDONLY},
        {"RW.vss", OS_PF_RDWR | OS_PF_VSS},
        {"ReadOnly,Direct.VSS-sync", OS_PF_RDONLY | OS_PF_DIRECT | OS_PF_VSS},
        {"sync", 0},
        {"", 0},
        {",,rw..", OS_PF_RDWR},
        {"direct", OS_PF_DIRECT},
    };
    for (const row &r : rows) {
        std::string text = r.text;
        EXPECT_EQ(os_sflag2pf(text.data()), r.flags) << r.text;
    }
    EXPECT_EQ(os_sflag2pf(nullptr), 0u);
}

TEST(FlagsText, UnknownWordIsIgnoredWithOneDebugMessage)
{
    log_capture cap;
    std::string text = "bogus";
    EXPECT_EQ(os_sflag2pf(text.data()), 0u);
    ASSERT_EQ(cap.all().size(), 1u);
    EXPECT_EQ(cap.all()[0].text, "flags=[bogus] not support\n");
    EXPECT_EQ(cap.all()[0].level, uint32_t{LOG2_DBG});

    cap.clear();
    text = "rw,writeback";
    EXPECT_EQ(os_sflag2pf(text.data()), OS_PF_RDWR);
    EXPECT_TRUE(cap.has("flags=[writeback] not support\n"));
}

TEST(FlagConversions, WindowsAccessAndDisposition)
{
    struct row {
        uint32_t access;
        uint32_t disposition;
        uint64_t flags;
    } rows[] = {
        {OS_GENERIC_READ | OS_GENERIC_WRITE, OS_CREATE_ALWAYS, OS_PF_RDWR | OS_PF_CREAT | OS_PF_TRUNC},
        {OS_GENERIC_EXECUTE | OS_GENERIC_WRITE, OS_OPEN_EXISTING, OS_PF_RDWR},
        {OS_GENERIC_READ, OS_CREATE_NEW, OS_PF_RDONLY | OS_PF_CREAT},
        {OS_GENERIC_EXECUTE, OS_OPEN_ALWAYS, OS_PF_RDONLY | OS_PF_CREAT},
        {OS_GENERIC_WRITE, OS_TRUNCATE_EXISTING, OS_PF_WRONLY | OS_PF_TRUNC},
        {0, 99, 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(os_winflag2pf(r.access, r.disposition), r.flags) << std::hex << r.access << " " << r.disposition;
}

TEST(FlagConversions, PosixStyleToPortable)
{
    struct row {
        uint32_t oflags;
        uint64_t flags;
    } rows[] = {
        {OS_O_RDONLY, OS_PF_RDONLY | 0x80},
        {OS_O_WRONLY | OS_O_CREAT | OS_O_TRUNC, OS_PF_WRONLY | OS_PF_CREAT | OS_PF_TRUNC | 0x80},
        {OS_O_RDWR | OS_O_APPEND | OS_O_DIRECT, OS_PF_RDWR | OS_PF_APPEND | OS_PF_DIRECT | 0x80},
        {3, 0x80},
        {OS_O_EXCL | OS_O_NOFOLLOW | OS_O_NONBLOCK | OS_O_SYNC, OS_PF_RDONLY | 0x80},
    };
    for (const row &r : rows)
        EXPECT_EQ(os_oflag2pf(r.oflags), r.flags) << std::hex << r.oflags;
}

TEST(FlagConversions, PosixStyleToSystemAndBack)
{
    struct row {
        uint32_t oflags;
        int sysflags;
    } rows[] = {
        {OS_O_RDONLY, O_RDONLY},
        {3, O_RDONLY},
        {OS_O_WRONLY | OS_O_CREAT, O_WRONLY | O_CREAT},
        {OS_O_RDWR | OS_O_APPEND | OS_O_TRUNC | OS_O_EXCL, O_RDWR | O_APPEND | O_TRUNC | O_EXCL},
        {OS_O_NOFOLLOW | OS_O_NONBLOCK | OS_O_SYNC, O_NOFOLLOW | O_NONBLOCK | O_SYNC},
        {OS_O_DIRECTORY | OS_O_CLOEXEC, O_DIRECTORY | O_CLOEXEC},
        {OS_O_DIRECT, O_RDONLY},
    };
    for (const row &r : rows) {
        EXPECT_EQ(os_oflag2sysflag(r.oflags), r.sysflags) << std::hex << r.oflags;
        uint32_t back = r.oflags & ~OS_O_DIRECT;
        if ((back & OS_O_ACCMODE) == 3)
            back &= ~OS_O_ACCMODE;
        EXPECT_EQ(os_sysflag2oflag(r.sysflags), back) << std::hex << r.oflags;
    }
    // O_DSYNC alone is only part of O_SYNC on this system.
    EXPECT_EQ(os_sysflag2oflag(O_DSYNC), 0u);
}

namespace {

// A file in a temporary directory that must accept user attributes.
class xattr_file : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        file_ = make_file("attrs", "body");
        if (os_xattr_set(file_.c_str(), "probe", "1", 1, 0) < 0) {
            if (errno == ENOTSUP || errno == EPERM)
                GTEST_SKIP() << "the file system refuses user attributes: " << strerror(errno);
            FAIL() << strerror(errno);
        }
        ASSERT_EQ(os_xattr_del(file_.c_str(), "probe"), 0);
    }

    std::string list_of(const std::string &file, const std::string &name, const std::string &type = "X") const
    {
        return file + std::string(1, '\0') + type + std::string(1, '\0') + name + std::string(2, '\0');
    }

    std::string value(const char *name) const
    {
        char buf[256];
        int64_t n = os_xattr_get(file_.c_str(), name, buf, sizeof(buf));
        return n < 0 ? std::string("<error>") : std::string(buf, static_cast<size_t>(n));
    }

    std::string file_;
};

}  // namespace

TEST_F(xattr_file, PathCallsRoundTrip)
{
    EXPECT_EQ(os_xattr_set(file_.c_str(), "color", "blue", 4, 0), 4);
    EXPECT_EQ(os_xattr_get(file_.c_str(), "color", nullptr, 0), 4);
    EXPECT_EQ(value("color"), "blue");
    char small[2];
    errno = 0;
    EXPECT_EQ(os_xattr_get(file_.c_str(), "color", small, sizeof(small)), -1);
    EXPECT_EQ(errno, ERANGE);

    EXPECT_EQ(os_xattr_set(file_.c_str(), "empty", "", 0, 0), 0);
    EXPECT_EQ(os_xattr_get(file_.c_str(), "empty", small, sizeof(small)), 0);

    std::string quoted = "\"" + file_ + "\"";
    EXPECT_EQ(os_xattr_get(quoted.c_str(), "color", nullptr, 0), 4) << "the path is normalised";

    std::vector<char> names(64);
    int64_t n = os_xattr_list(file_.c_str(), names.data(), names.size());
    ASSERT_GT(n, 0);
    EXPECT_EQ(os_xattr_list(file_.c_str(), nullptr, 0), n);
    std::string listed(names.data(), static_cast<size_t>(n));
    EXPECT_NE(listed.find(std::string("color\0", 6)), std::string::npos);
    EXPECT_NE(listed.find(std::string("empty\0", 6)), std::string::npos);
    EXPECT_EQ(listed.find("user."), std::string::npos);
    errno = 0;
    EXPECT_EQ(os_xattr_list(file_.c_str(), names.data(), 3), -1);
    EXPECT_EQ(errno, ERANGE);

    EXPECT_EQ(os_xattr_del(file_.c_str(), "color"), 0);
    EXPECT_EQ(os_xattr_get(file_.c_str(), "color", nullptr, 0), -1);
    EXPECT_EQ(os_xattr_del(file_.c_str(), "color"), -1);
}

TEST_F(xattr_file, InfoTextHasOneLinePerAttribute)
{
    EXPECT_EQ(os_get_file_xattr_info(file_.c_str()), nullptr);
    os_xattr_set(file_.c_str(), "a", "12345", 5, 0);
    os_xattr_set(file_.c_str(), "b", "", 0, 0);
    char *text = os_get_file_xattr_info(file_.c_str());
    ASSERT_NE(text, nullptr);
    std::string s = text;
    os_free(text);
    EXPECT_TRUE(s == "a\tX\t5\nb\tX\t0\n" || s == "b\tX\t0\na\tX\t5\n") << s;
    EXPECT_EQ(os_get_file_xattr_info(path("missing").c_str()), nullptr);
}

TEST_F(xattr_file, FailedAllocationGivesTheErrorValue)
{
    os_xattr_set(file_.c_str(), "a", "12345", 5, 0);
    os_xattr_set(file_.c_str(), "b", "", 0, 0);
    std::vector<char> names(64);
    struct result {
        int64_t got = 0;
        int64_t listed = 0;
        char *info = nullptr;
        int eno = 0;
    };
    std::vector<result> runs;
    runs.reserve(1000);
    const long n = new_fail::sweep([&] {
        result r;
        errno = 0;
        r.got = os_xattr_get(file_.c_str(), "a", nullptr, 0);
        r.listed = os_xattr_list(file_.c_str(), names.data(), names.size());
        r.info = os_get_file_xattr_info(file_.c_str());
        r.eno = errno;
        if (runs.size() < runs.capacity())
            runs.push_back(r);
    });
    ASSERT_GT(n, 1) << "the calls allocate";
    for (size_t i = 0; i < runs.size(); i++) {
        const result &r = runs[i];
        const bool failed = r.got == -1 || r.listed == -1 || r.info == nullptr;
        if (failed)
            EXPECT_EQ(r.eno, ENOMEM) << "run " << i;
        else
            EXPECT_EQ(r.got, 5);
        os_free(r.info);
    }
    EXPECT_NE(runs.back().info, nullptr);
}

TEST_F(xattr_file, ReadOnlyObjectReadsTheWholeValueInPieces)
{
    os_xattr_set(file_.c_str(), "doc", "0123456789", 10, 0);
    std::string list = list_of(file_, "doc");
    os_file_ctx *ctx = os_file_open(list.c_str(), OS_PF_RDONLY | OS_PF_NAMED);
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    EXPECT_STREQ(ctx->ops->name, "xattr");
    EXPECT_EQ(memcmp(os_file_get_path(ctx), list.data(), list.size()), 0) << "the whole list is recorded";
    EXPECT_EQ(os_file_size(ctx), 10);

    char buf[4];
    std::string got;
    int64_t n;
    while ((n = os_file_read(ctx, buf, sizeof(buf))) > 0)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(os_file_offset(ctx), 10);
    EXPECT_EQ(os_file_pread(ctx, buf, 4, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(os_file_pread(ctx, buf, 4, 100), 0);

    os_file_info info = {};
    ASSERT_TRUE(os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_EQ(info.type, OS_FILE_TYPE_FILE);
    EXPECT_EQ(info.size, 10u);
    EXPECT_EQ(info.offset, 100u);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_FALSE(os_file_ioctl(ctx, OS_FILE_SET_MODE, nullptr, 0));
    EXPECT_FALSE(os_file_fsync(ctx));
    EXPECT_FALSE(os_file_ftruncate(ctx, 0));
    EXPECT_EQ(os_file_seek(ctx, 0, 0), -1);
    EXPECT_TRUE(os_file_close(ctx));
}

TEST_F(xattr_file, WriteReplacesTheWholeAttribute)
{
    std::string list = list_of(file_, "w");
    os_file_ctx *ctx = os_file_open(list.c_str(), OS_PF_RDWR | OS_PF_NAMED);
    ASSERT_NE(ctx, nullptr) << "a missing attribute opens for writing";
    EXPECT_EQ(os_file_size(ctx), 0);
    char buf[4];
    EXPECT_EQ(os_file_read(ctx, buf, sizeof(buf)), 0);

    EXPECT_EQ(os_file_write(ctx, "", 0), 0);
    EXPECT_EQ(os_xattr_get(file_.c_str(), "w", nullptr, 0), -1) << "an empty write touches nothing";
    EXPECT_EQ(os_file_write(ctx, "ab", 2), 2);
    EXPECT_EQ(os_file_pwrit(ctx, "c", 1, 50), 1);
    EXPECT_EQ(value("w"), "c");
    EXPECT_EQ(os_file_size(ctx), 0) << "the loaded value does not change";
    log_capture cap;
    EXPECT_EQ(os_file_write(ctx, nullptr, 3), -1);
    EXPECT_TRUE(cap.has("expr[h && buf]: assert failed\n"));
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_EQ(read_file(file_), "body");
}

TEST_F(xattr_file, MissingAttributeFailsReadOnlyOpen)
{
    std::string list = list_of(file_, "absent");
    errno = 0;
    EXPECT_EQ(os_file_open(list.c_str(), OS_PF_RDONLY | OS_PF_NAMED), nullptr);
    EXPECT_EQ(errno, ENODATA);
    list = list_of(path("nofile"), "absent");
    errno = 0;
    EXPECT_EQ(os_file_open(list.c_str(), OS_PF_RDONLY | OS_PF_NAMED), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(xattr_file, DeleteOnCloseRemovesTheAttributeNotTheFile)
{
    os_xattr_set(file_.c_str(), "tmp", "v", 1, 0);
    std::string list = list_of(file_, "tmp");
    os_file_ctx *ctx = os_file_open(list.c_str(), OS_PF_RDONLY | OS_PF_NAMED);
    ASSERT_NE(ctx, nullptr);
    os_file_set_delete_on_close(ctx, true);
    EXPECT_TRUE(os_file_close(ctx));
    EXPECT_TRUE(exists(file_));
    EXPECT_EQ(read_file(file_), "body");
    EXPECT_EQ(os_xattr_get(file_.c_str(), "tmp", nullptr, 0), -1);
}
