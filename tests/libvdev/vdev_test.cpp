#include "libvdev/vdev.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"
#include "../libpal/str_log_capture.h"

#include "jsonfilter/json_filter.h"
#include "libblock/block.h"
#include "libpal/os/os_file.h"
#include "libqdcli/client.h"

namespace {

struct file_closer {
    void operator()(os_file_ctx *f) const { os_file_close(f); }
};
using file_ptr = std::unique_ptr<os_file_ctx, file_closer>;

std::vector<std::string> names()
{
    std::vector<std::string> out;
    for (int i = 0; const char *n = vdev_name_at(i); i++)
        out.emplace_back(n);
    return out;
}

// Each test loads its own description; the registry is emptied after it.
class Vdev : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        vdev_init(nullptr);
    }
    void TearDown() override
    {
        vdev_exit();
        temp_dir_test::TearDown();
    }
    int load(const std::string &json) { return vdev_init_form_file(make_file("vdev.json", json).c_str()); }
};

TEST_F(Vdev, EveryKindLoadsWithItsFields)
{
    std::string backing = make_file("backing.img", std::string(8192, 'f'));
    ASSERT_EQ(load(R"({"ver": "1", "dev": [)"
                   R"({"name": "/vdev/zero", "type": "zero", "size": "1G"},)"
                   R"({"name": "/vdev/z4k", "type": "zero", "size": 8192, "sector_bytes": "4096", "info": "four"},)"
                   R"({"name": "/vdev/rand", "type": "random", "size": "1M"},)"
                   R"({"name": "/vdev/bad", "type": "bad_zero", "size": "1M", "bad_sector_ranges": ["100-8", "300-1"]},)"
                   R"({"name": ")" + backing + R"(", "type": "file", "sector_bytes": 1024,)"
                   R"( "args": "read_random_delay_max_second=2"}]})"),
              0);
    EXPECT_EQ(names(), (std::vector<std::string>{"/vdev/zero", "/vdev/z4k", "/vdev/rand", "/vdev/bad", backing}));
    const vdev_info *z = vdev_find("/vdev/zero");
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->size, 1ull << 30);
    EXPECT_EQ(z->sector_bytes, 512u);
    EXPECT_STREQ(z->ops->name, "zero");
    const vdev_info *z4k = vdev_find("/vdev/z4k");
    ASSERT_NE(z4k, nullptr);
    EXPECT_EQ(z4k->sector_bytes, 4096u);
    EXPECT_STREQ(z4k->info, "four");
    const vdev_info *bad = vdev_find("/vdev/bad");
    ASSERT_NE(bad, nullptr);
    ASSERT_EQ(bad->bad_count, 2u);
    EXPECT_EQ(bad->bad[0].offset, 100);
    EXPECT_EQ(bad->bad[0].size, 8);
    EXPECT_EQ(bad->bad[1].offset, 300);
    const vdev_info *f = vdev_find(backing.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, 8192u);
    ASSERT_NE(f->args, nullptr);
    EXPECT_EQ(f->args->read_random_delay_max_second, 2);
    EXPECT_EQ(vdev_name_at(5), nullptr);
    EXPECT_EQ(vdev_name_at(-1), nullptr);
    EXPECT_EQ(vdev_find("/vdev/none"), nullptr);
    EXPECT_EQ(vdev_hook_match("/vdev/none"), nullptr);
    EXPECT_EQ(vdev_hook_match("//vdev///zero"), z->ops);
}

// A bad device ends loading there: those before it stay, none after it is
// registered even when valid. A "file" device whose file is missing is only
// skipped.
TEST_F(Vdev, BadDevicesStopTheLoadingWithTheirReason)
{
    const std::string good = R"({"name": "/vdev/a", "type": "zero", "size": "4096"})";
    const std::string after = R"({"name": "/vdev/c", "type": "zero", "size": "4096"})";
    struct row {
        std::string device;
        std::string message;
    } rows[] = {
        {R"({"name": "/vdev/a", "type": "zero", "size": 1})", "add [/vdev/a] error: name exists"},
        {R"({"name": "//vdev//a", "type": "zero", "size": 1})", "add [//vdev//a] error: name exists"},
        {R"({"name": "/vdev/b", "size": 1})", "get [$.dev[1].type] error: Cannot be null"},
        {R"({"name": "/vdev/b", "type": "floppy", "size": 1})", "get [$.dev[1].type] error: Invalid type"},
        {R"({"name": "/vdev/b", "type": "Zero", "size": 1})", "get [$.dev[1].type] error: Invalid type"},
        {R"({"name": "/vdev/b", "type": "zero"})", "get [$.dev[1].size] error: Cannot be null"},
        {R"({"name": "/vdev/b", "type": "zero", "size": 0})", "get [$.dev[1].size] error: size = 0"},
        {R"({"name": "/vdev/b", "type": "zero", "size": "lots"})", "get [$.dev[1].size] error: size = 0"},
        {R"({"name": "/vdev/b", "type": "zero", "size": "99999999999999999999999"})", "error: size = 0"},
        {R"({"name": "/vdev/b", "type": "zero", "size": 1, "sector_bytes": 0})", "Invalid sector_bytes [0]"},
        {R"({"name": "/vdev/b", "type": "zero", "size": 1, "sector_bytes": 520})", "Invalid sector_bytes [520]"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 1, "bad_sector_ranges": ["7"]})", "Invalid range [7]"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 1, "bad_sector_ranges": ["-1-3"]})",
         "Invalid range [-1-3]"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 1, "bad_sector_ranges": ["5-0"]})", "Invalid range [5-0]"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 1, "bad_sector_ranges": ["9223372036854775807-2"]})",
         "Invalid range"},
        {R"({"name": "", "type": "zero", "size": 1})", "get [$.dev[1].name] error: Cannot be null"},
        {R"({"type": "zero", "size": 1})", "get [$.dev[1].name] error: Cannot be null"},
        // Keys it does not know, values of another JSON type, ranges past the end.
        {R"({"name": "/vdev/b", "type": "zero", "sise": 1})", "get [$.dev[1]] error: unknown key [sise]"},
        {R"({"name": "/vdev/b", "type": "zero", "size": 1, "bad_sectors": ["1-1"]})",
         "get [$.dev[1]] error: unknown key [bad_sectors]"},
        {R"({"name": 5, "type": "zero", "size": 1})", "get [$.dev[1].name] error: a number, takes a string"},
        {R"({"name": "/vdev/b", "type": ["zero"], "size": 1})", "get [$.dev[1].type] error: an array, takes a string"},
        {R"({"name": "/vdev/b", "type": "zero", "size": true})",
         "get [$.dev[1].size] error: true, false or null, takes a string or a number"},
        {R"({"name": "/vdev/b", "type": "zero", "size": {"mb": 1}})",
         "get [$.dev[1].size] error: an object, takes a string or a number"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 4096, "bad_sector_ranges": "1-1"})",
         "get [$.dev[1].bad_sector_ranges] error: a string, takes an array"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": 4096, "bad_sector_ranges": ["7-2"]})",
         "get [$.dev[1].bad_sector_ranges[0]] error: range [7-2] past the device's end (8 sectors)"},
        {R"({"name": "/vdev/b", "type": "bad_zero", "size": "1M", "sector_bytes": 4096,)"
         R"( "bad_sector_ranges": ["0-1", "255-2"]})",
         "get [$.dev[1].bad_sector_ranges[1]] error: range [255-2] past the device's end (256 sectors)"},
        {R"("/vdev/b")", "get [$.dev[1]] error: not an object"},
    };
    for (const row &r : rows) {
        log_capture log;
        ASSERT_EQ(load(R"({"dev": [)" + good + "," + r.device + "," + after + "]}"), 0) << r.device;
        EXPECT_EQ(names(), std::vector<std::string>{"/vdev/a"}) << r.device;
        bool on_err_line = false;
        for (const auto &l : log.all())
            on_err_line |= l.level == LOG2_ERR && l.text.find(r.message) != std::string::npos;
        EXPECT_TRUE(on_err_line) << r.message;
        vdev_exit();
    }
    log_capture log;
    ASSERT_EQ(load(R"({"dev": [)" + good + R"(, {"name": ")" + path("missing.img") + R"(", "type": "file"},)" +
                   after + "]}"),
              0);
    EXPECT_EQ(names(), (std::vector<std::string>{"/vdev/a", "/vdev/c"}));
    EXPECT_TRUE(log.has("open [" + path("missing.img") + "] error:"));
}

// Loading still stops at the first bad device, but one err line says so:
// the bad entry, its reason, and every entry after it that was left out,
// by name where it has one. A name holding a control byte is bad: read as
// a C string, "/vdev/\u0000x" would be served as "/vdev/".
TEST_F(Vdev, AStopNamesTheBadEntryAndWhatItLeftOut)
{
    const auto zero = [](const std::string &name) {
        return R"({"name": ")" + name + R"(", "type": "zero", "size": 4096})";
    };
    const std::string bad_range = R"({"name": "/vdev/bad", "type": "bad_zero", "size": 4096, "bad_sector_ranges": ["x"]})";
    const struct row {
        std::vector<std::string> devices;
        std::vector<std::string> served;
        std::string message;
    } rows[] = {
        {{bad_range, zero("/vdev/ok1"), zero("/vdev/ok2")},
         {},
         "get [$.dev[0].bad_sector_ranges[0]] error: Invalid range [x]; $.dev[0] [/vdev/bad] was not loaded, nor "
         "were the 2 entries after it: $.dev[1] [/vdev/ok1], $.dev[2] [/vdev/ok2]"},
        {{zero("/vdev/ok1"), bad_range, zero("/vdev/ok2"), R"({"name": "/vdev/unk", "type": "floppy", "size": 1})",
          zero("/vdev/ok4")},
         {"/vdev/ok1"},
         "get [$.dev[1].bad_sector_ranges[0]] error: Invalid range [x]; $.dev[1] [/vdev/bad] was not loaded, nor "
         "were the 3 entries after it: $.dev[2] [/vdev/ok2], $.dev[3] [/vdev/unk], $.dev[4] [/vdev/ok4]"},
        {{zero("/vdev/ok1"), zero("/vdev/ok2"), bad_range},
         {"/vdev/ok1", "/vdev/ok2"},
         "get [$.dev[2].bad_sector_ranges[0]] error: Invalid range [x]; $.dev[2] [/vdev/bad] was not loaded, and no "
         "entry follows it"},
        {{zero("/vdev/ok1"), zero(R"(/vdev/\u0000x)"), zero("/vdev/ok2")},
         {"/vdev/ok1"},
         "get [$.dev[1].name] error: a control byte in the name \"/vdev/\\u0000x\"; $.dev[1] [/vdev/] was not "
         "loaded, nor was the entry after it: $.dev[2] [/vdev/ok2]"},
        {{zero(R"(/vdev/a\nb)"), zero("/vdev/ok2")},
         {},
         "get [$.dev[0].name] error: a control byte in the name \"/vdev/a\\nb\"; $.dev[0] [/vdev/a\\x0ab] was "
         "not loaded, nor was the entry after it: $.dev[1] [/vdev/ok2]"},
        {{zero("/vdev/ok1"), zero(R"(/vdev/\u001b[2Jx)"), R"({"type": "zero", "size": 1})", R"("text")"},
         {"/vdev/ok1"},
         "get [$.dev[1].name] error: a control byte in the name \"/vdev/\\u001b[2Jx\"; $.dev[1] "
         "[/vdev/\\x1b[2Jx] was not loaded, nor were the 2 entries after it: $.dev[2] [no name], $.dev[3] [no name]"},
    };
    for (const row &r : rows) {
        std::string json = R"({"dev": [)";
        for (size_t i = 0; i < r.devices.size(); i++) json += (i == 0 ? "" : ", ") + r.devices[i];
        log_capture log;
        ASSERT_EQ(load(json + "]}"), 0) << json;
        EXPECT_EQ(names(), r.served) << json;
        EXPECT_EQ(vdev_find("/vdev/"), nullptr);
        int on_err_line = 0;
        for (const auto &l : log.all())
            on_err_line += l.level == LOG2_ERR && l.text.find(r.message) != std::string::npos ? 1 : 0;
        EXPECT_EQ(on_err_line, 1) << r.message;
        vdev_exit();
    }
}

// Files that are no description register nothing.
TEST_F(Vdev, BadDescriptionFilesRegisterNothing)
{
    std::string huge = make_file("huge.json", "");
    ASSERT_EQ(truncate(huge.c_str(), 100 << 20), 0);
    for (const std::string &p : {make_file("text.json", "dev: zero"), make_file("empty.json", ""),
                                 make_file("trailing.json", R"({"dev": []} {"dev": []})"),
                                 make_file("deep.json", std::string(100, '[') + std::string(100, ']')), huge,
                                 path("missing.json")}) {
        EXPECT_EQ(vdev_init_form_file(p.c_str()), -1) << p;
        EXPECT_TRUE(names().empty()) << p;
    }
    EXPECT_EQ(vdev_init_form_file(nullptr), -1);
    // Valid JSON of another shape is refused with the entry and the reason.
    struct row {
        std::string json;
        std::string message;
    } rows[] = {
        {R"({"dev": "x"})", "get [$.dev] error: a string, takes an array"},
        {R"({"dev": {"name": "/vdev/a"}})", "get [$.dev] error: an object, takes an array"},
        {R"({"ver": "1", "devs": [{"name": "/vdev/a", "type": "zero", "size": 1}]})", "get [$] error: unknown key [devs]"},
        {R"([1, 2])", "get [$] error: not an object"},
    };
    for (const row &r : rows) {
        log_capture log;
        EXPECT_EQ(load(r.json), -1) << r.json;
        EXPECT_TRUE(log.has(r.message)) << r.message;
        EXPECT_TRUE(log.has("not a description of virtual devices")) << r.json;
        EXPECT_TRUE(names().empty());
    }
}

TEST_F(Vdev, ZeroAndRandomDevicesReadThroughFileObjects)
{
    ASSERT_EQ(load(R"({"dev": [{"name": "/vdev/z", "type": "zero", "size": "1G", "info": "zero disk"},)"
                   R"({"name": "/vdev/r", "type": "random", "size": 4096}]})"),
              0);
    file_ptr z(os_file_open("/vdev//z", OS_PF_RDWR));
    ASSERT_TRUE(z);
    std::vector<char> buf(4096, 'x');
    EXPECT_EQ(os_file_pread(z.get(), buf.data(), buf.size(), 1 << 20), 4096);
    EXPECT_EQ(buf, std::vector<char>(4096, '\0'));
    EXPECT_EQ(os_file_pwrit(z.get(), buf.data(), 512, 0), 512);
    EXPECT_EQ(os_file_size(z.get()), 1ll << 30);
    EXPECT_EQ(os_file_pread(z.get(), buf.data(), buf.size(), (1ull << 30) - 100), 100);
    EXPECT_EQ(os_file_pread(z.get(), buf.data(), buf.size(), 1ull << 30), 0);
    EXPECT_EQ(os_file_seek(z.get(), 512, 0), 0);
    EXPECT_EQ(os_file_offset(z.get()), 0);
    EXPECT_TRUE(os_file_fsync(z.get()));
    os_file_info info{};
    ASSERT_TRUE(os_file_ioctl(z.get(), OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_EQ(info.type, OS_FILE_TYPE_BLOCK);
    EXPECT_EQ(info.size, 1ull << 30);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_FALSE(os_file_ioctl(z.get(), OS_FILE_GET_STAT, &info, sizeof(info)));
    EXPECT_FALSE(os_file_ftruncate(z.get(), 0));

    file_ptr r(os_file_open("/vdev/r", OS_PF_RDONLY));
    ASSERT_TRUE(r);
    std::vector<char> a(4096, 0), b(4096, 0);
    EXPECT_EQ(os_file_pread(r.get(), a.data(), a.size(), 0), 4096);
    EXPECT_EQ(os_file_read(r.get(), b.data(), b.size()), 4096);
    EXPECT_NE(a, b);
    EXPECT_NE(a, std::vector<char>(4096, 0));
}

// Sector size 512, bad sectors 100 to 107.
TEST_F(Vdev, BadSectorsFailWithEioExactlyWhereTheyAre)
{
    ASSERT_EQ(load(R"({"dev": [{"name": "/vdev/bad", "type": "bad_zero", "size": "1M",)"
                   R"( "bad_sector_ranges": ["100-8"]}]})"),
              0);
    file_ptr f(os_file_open("/vdev/bad", OS_PF_RDONLY));
    ASSERT_TRUE(f);
    struct row {
        uint64_t offset;
        size_t count;
        bool fails;
    } rows[] = {
        {200 * 512, 8 * 512, false}, {100 * 512, 512, true},  {99 * 512, 1024, true},
        {108 * 512, 512, false},     {99 * 512, 512, false},  {107 * 512, 512, true},
        {99 * 512 + 511, 2, true},   {107 * 512 + 511, 2, true}, {0, 100 * 512, false},
        {0, 100 * 512 + 1, true},    {108 * 512, 4096, false},
    };
    for (const row &r : rows) {
        std::vector<char> buf(r.count, 'k');
        errno = 0;
        int64_t n = os_file_pread(f.get(), buf.data(), buf.size(), r.offset);
        if (r.fails) {
            EXPECT_EQ(n, -1) << r.offset << "+" << r.count;
            EXPECT_EQ(errno, EIO);
            EXPECT_EQ(buf, std::vector<char>(r.count, 'k')) << "the buffer stays as it was";
        } else {
            EXPECT_EQ(n, static_cast<int64_t>(r.count)) << r.offset << "+" << r.count;
            EXPECT_EQ(buf, std::vector<char>(r.count, '\0'));
        }
    }
    std::vector<char> buf(512);
    EXPECT_EQ(os_file_seek(f.get(), 99 * 512, 0), 0);
    EXPECT_EQ(os_file_read(f.get(), buf.data(), 512), 512);
    EXPECT_EQ(os_file_offset(f.get()), 100 * 512);
    EXPECT_EQ(os_file_read(f.get(), buf.data(), 512), -1);
    EXPECT_EQ(os_file_offset(f.get()), 100 * 512);
    EXPECT_EQ(os_file_seek(f.get(), 4096, 1), 0);
    EXPECT_EQ(os_file_offset(f.get()), 100 * 512);
}

TEST_F(Vdev, FileDeviceWaitsOnlyOnSequentialReads)
{
    std::string backing = make_file("backing.img", std::string(4096, 'q'));
    ASSERT_EQ(load(R"({"dev": [{"name": ")" + backing + R"(", "type": "file", "sector_bytes": "2048",)"
                   R"( "info": "slow disk", "args": "read_random_delay_max_second=1"}]})"),
              0);
    file_ptr f(os_file_open(backing.c_str(), OS_PF_RDWR));
    ASSERT_TRUE(f);
    os_file_info info{};
    ASSERT_TRUE(os_file_ioctl(f.get(), OS_FILE_GET_INFO, &info, sizeof(info)));
    EXPECT_EQ(info.type, OS_FILE_TYPE_BLOCK);
    EXPECT_EQ(info.block_size, 2048u);
    EXPECT_EQ(info.size, 4096u);
    std::vector<char> buf(16);
    auto timed = [&](auto &&op) {
        auto t0 = std::chrono::steady_clock::now();
        op();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    // Waits of 0, 1, 0 seconds; positioned reads never wait.
    EXPECT_LT(timed([&] { EXPECT_EQ(os_file_read(f.get(), buf.data(), 16), 16); }), 0.5);
    EXPECT_GE(timed([&] { EXPECT_EQ(os_file_read(f.get(), buf.data(), 16), 16); }), 0.95);
    EXPECT_LT(timed([&] { EXPECT_EQ(os_file_pread(f.get(), buf.data(), 16, 0), 16); }), 0.5);
    EXPECT_LT(timed([&] { EXPECT_EQ(os_file_read(f.get(), buf.data(), 16), 16); }), 0.5);
    EXPECT_EQ(std::string(buf.data(), 16), std::string(16, 'q'));
    EXPECT_EQ(os_file_pwrit(f.get(), "abc", 3, 0), 3);
    EXPECT_TRUE(os_file_fsync(f.get()));
    EXPECT_EQ(read_file(backing).substr(0, 3), "abc");
}

// After vdev_exit the hook finds nothing: names open as local files again,
// while a device still open keeps working.
TEST_F(Vdev, ExitLeavesOpenDevicesWorkingAndNamesToLocalFiles)
{
    std::string name = path("zero_dev");
    ASSERT_EQ(load(R"({"dev": [{"name": ")" + name + R"(", "type": "zero", "size": 4096}]})"), 0);
    file_ptr open_dev(os_file_open(name.c_str(), OS_PF_RDONLY));
    ASSERT_TRUE(open_dev);
    vdev_exit();
    EXPECT_EQ(vdev_find(name.c_str()), nullptr);
    EXPECT_EQ(vdev_name_at(0), nullptr);
    std::vector<char> buf(512, 'x');
    EXPECT_EQ(os_file_pread(open_dev.get(), buf.data(), 512, 0), 512);
    EXPECT_EQ(buf, std::vector<char>(512, '\0'));
    errno = 0;
    EXPECT_FALSE(file_ptr(os_file_open(name.c_str(), OS_PF_RDONLY)));
    EXPECT_EQ(errno, ENOENT);
}

// The block layer's file driver serves a virtual device like a disk: its
// size, its sector size, and its bad sectors as the block layer's EIO code.
class VdevBlock : public Vdev {
protected:
    void SetUp() override
    {
        Vdev::SetUp();
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        bd_init();
    }
};

TEST_F(VdevBlock, BlockLayerServesVirtualDevices)
{
    ASSERT_EQ(load(R"({"dev": [{"name": "/vdev/bad", "type": "bad_zero", "size": "1M", "sector_bytes": 4096,)"
                   R"( "bad_sector_ranges": ["10-2"]}, {"name": "/vdev/zero", "type": "zero", "size": "64K"}]})"),
              0);
    std::vector<char> err(VERR_MSG_SIZE);
    // With a query the sector size is the medium's.
    bd_dev *d = bd_open("/vdev/bad?sector_off=0", BD_OPEN_NBD | BD_OPEN_RDWR, err.data());
    ASSERT_NE(d, nullptr) << err.data();
    EXPECT_EQ(bd_size(d), 1 << 20);
    EXPECT_EQ(d->sector_size, 4096u);
    std::vector<char> buf(8192, 'x');
    EXPECT_EQ(bd_pread(d, buf.data(), 8192, 0), 8192);
    EXPECT_EQ(bd_pread(d, buf.data(), 4096, 11 * 4096), -1);
    EXPECT_EQ(bd_errno(d), -250);
    EXPECT_EQ(bd_pread(d, buf.data(), 4096, 12 * 4096), 4096);
    EXPECT_EQ(bd_pwrite(d, buf.data(), 4096, 10 * 4096), 4096);
    EXPECT_EQ(bd_pwrite_zeroes(d, 8192, 0), 8192);
    EXPECT_EQ(bd_sync(d), 0);
    EXPECT_EQ(bd_datasync(d), 0);
    bd_close(d);

    // A built-in device is still no medium.
    d = bd_open("/dev/zero", BD_OPEN_NBD | BD_OPEN_RDWR, err.data());
    EXPECT_EQ(d, nullptr);
    EXPECT_STREQ(err.data(), "not a regular file or block device: /dev/zero");
}

}  // namespace
