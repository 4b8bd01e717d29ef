#include "libpal/os/posix/os_dev_info.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "new_fail.h"
#include "os_file_fixture.h"

namespace {

using dev_desc = temp_dir_test;

std::string attr(const std::filesystem::path &file)
{
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

}  // namespace

TEST(DeviceDescription, MemoryDevicesAndOtherPaths)
{
    struct row {
        const char *path;
        const char *desc;
    } rows[] = {
        {"/dev/mem", "PhysicalMemory"}, {"/dev/pmem", "PhysicalMemory"}, {"/dev/ram", "PhysicalMemory"},
        {"/dev/pmem0", ""},             {"/dev/null", ""},               {"/zorv-none/disk", ""},
    };
    for (const row &r : rows) {
        char out[128];
        memset(out, '#', sizeof(out));
        EXPECT_EQ(os_dev_info(nullptr, out, sizeof(out), r.path), 0);
        EXPECT_STREQ(out, r.desc) << r.path;
    }
    char small[5];
    EXPECT_EQ(os_dev_info(nullptr, small, sizeof(small), "/dev/mem"), 0);
    EXPECT_STREQ(small, "") << "a description that does not fit is not cut";
}

TEST_F(dev_desc, PathsNeverReachAShell)
{
    const std::string marker = path("ran");
    const std::string names[] = {
        "a;touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`", "a|touch " + marker,
    };
    for (const std::string &name : names) {
        for (const std::string &p : {path(name), name}) {
            char out[128] = "x";
            EXPECT_EQ(os_dev_desc(out, sizeof(out), p.c_str()), 0);
            EXPECT_STREQ(out, "") << p;
        }
    }
    EXPECT_FALSE(exists(marker)) << "a device path was run as a command";
}

TEST(DeviceDescription, DiskModelAndSerialFromTheKernel)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto &dev : fs::directory_iterator("/sys/class/block", ec)) {
        const std::string model = attr(dev.path() / "device" / "model");
        const std::string node = "/dev/" + dev.path().filename().string();
        struct stat st;
        if (model.empty() || stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
            continue;
        const std::string serial = attr(dev.path() / "device" / "serial");
        char out[128];
        EXPECT_EQ(os_dev_info(nullptr, out, sizeof(out), node.c_str()), 0);
        EXPECT_EQ(std::string(out), serial.empty() ? model : model + "|" + serial) << node;
        return;
    }
    GTEST_SKIP() << "no disk here names a model";
}

TEST(DeviceDescription, FailedAllocationGivesAnEmptyTextAndTheErrorValue)
{
    std::string dev;
    for (const auto &e : std::filesystem::directory_iterator("/dev")) {
        struct stat st;
        if (stat(e.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
            dev = e.path().string();
            break;
        }
    }
    if (dev.empty())
        GTEST_SKIP() << "no block device here";
    char out[256];
    int failed = 0;
    int bad = 0;
    const long n = new_fail::sweep([&] {
        strcpy(out, "stale");
        const int rc = os_dev_desc(out, sizeof(out), dev.c_str());
        if (rc == -1)
            failed++;
        if (rc != 0 && (rc != -1 || out[0] != '\0'))
            bad++;
    });
    EXPECT_GT(n, 1) << dev;
    EXPECT_EQ(failed, n - 1);
    EXPECT_EQ(bad, 0);
}

TEST(DeviceDescription, NoAttributesAreKnown)
{
    char out[8] = "keep";
    EXPECT_EQ(os_dev_get_attr("/dev/null", "model", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "keep");
}
