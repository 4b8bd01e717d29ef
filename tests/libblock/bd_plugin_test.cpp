#include "libblock/bd_plugin.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"
#include "../libpal/str_log_capture.h"
#include "proc_namespace.h"

#include "libpal/os/os_file.h"
#include "libqdcli/client.h"

// The seam between a plug-in's judgement and its load: armed, the next
// dlopen first renames substitute over path, as another user with write
// access to the directory could at that moment.
namespace load_seam {
std::mutex lock;
std::string path, substitute;
bool armed = false;
}  // namespace load_seam

extern "C" void *dlopen(const char *file, int mode) noexcept
{
    using dlopen_fn = void *(*)(const char *, int);
    static const auto real = reinterpret_cast<dlopen_fn>(dlsym(RTLD_NEXT, "dlopen"));
    {
        std::lock_guard<std::mutex> hold(load_seam::lock);
        if (std::exchange(load_seam::armed, false))
            rename(load_seam::substitute.c_str(), load_seam::path.c_str());
    }
    return real(file, mode);
}

namespace {

constexpr size_t kSize = 64 * 1024;

std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++) s[i] = static_cast<char>((i * 13) % 251);
    return s;
}

struct dev_closer {
    void operator()(bd_dev *d) const { bd_close(d); }
};
using dev_ptr = std::unique_ptr<bd_dev, dev_closer>;

struct drv_freer {
    void operator()(bd_drv *d) const { libplugin_free(d); }
};
using drv_ptr = std::unique_ptr<bd_drv, drv_freer>;

// How many reads and writes reached the plug-in so far.
int plugin_calls()
{
    void *lib = dlopen(TESTPLUG_FULL_SO, RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr)
        return -1;
    auto *calls = reinterpret_cast<int (*)()>(dlsym(lib, "testplug_calls"));
    int n = calls != nullptr ? calls() : -1;
    dlclose(lib);
    return n;
}

// The block layer releases its plug-ins in bd_exit, after every test of the
// program has run.
class block_exit_env : public ::testing::Environment {
public:
    void TearDown() override { bd_exit(); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new block_exit_env);

// The whole plug-in is registered once for the process (the block layer
// keeps its plug-ins until bd_exit); each test gets its own medium.
class Plugin : public temp_dir_test {
protected:
    static void SetUpTestSuite()
    {
        bd_init();
        bd_drv *drv = libplugin_init(TESTPLUG_FULL_SO);
        ASSERT_NE(drv, nullptr);
        ASSERT_EQ(bd_plugin_add(drv), 0);
    }
    void SetUp() override
    {
        temp_dir_test::SetUp();
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        image_ = make_file("disk.img", pattern(kSize));
    }
    dev_ptr open(const std::string &name, uint64_t flags = BD_OPEN_NBD | BD_OPEN_RDWR)
    {
        err_.assign(VERR_MSG_SIZE, '\0');
        return dev_ptr(bd_open(name.c_str(), flags, err_.data()));
    }
    std::string err() const { return err_.c_str(); }
    std::string image_;
    std::string err_;
};

TEST_F(Plugin, LoadedDriverTableDescribesThePlugin)
{
    log_capture log;
    drv_ptr drv(libplugin_init(TESTPLUG_FULL_SO));
    ASSERT_NE(drv, nullptr);
    EXPECT_EQ(drv->type, BD_DRV_TYPE_PLUGIN);
    EXPECT_STREQ(drv->name, "testplug");
    EXPECT_STREQ(drv->exts, "img|raw");
    EXPECT_EQ(drv->support_open, 1u);
    auto *p = static_cast<bd_plugin *>(drv->priv);
    EXPECT_EQ(p->kind, 0u);
    EXPECT_STREQ(p->path, TESTPLUG_FULL_SO);
    EXPECT_EQ(p->used, 0u);
    for (const char *line : {"plugin_name=[testplug]", "plugin_version=[1.0]", "exts=[img|raw]", "support_open=[1]"})
        EXPECT_TRUE(log.has(line)) << line;
}

// What cannot be loaded is refused with its reason on an err line (the
// loader's own for a file it cannot map, naming the file as configured), and
// nothing of it is registered or left running: a missing entry point is
// found before init.
TEST_F(Plugin, RefusedSharedObjectsRegisterNothing)
{
    std::string not_elf;
    for (int i = 0; i < 8; i++) not_elf += "not an ELF file\n";  // longer than an ELF header
    std::string text = make_file("not_a_library.so", not_elf);
    struct row {
        std::string path;
        std::string message;
    } rows[] = {
        {path("missing.so"),
         "plug-in [" + path("missing.so") + "] refused: cannot open [" + path("missing.so") +
             "]: No such file or directory"},
        {text, "os_dlopen2 [" + text + "] error: " + text + ": invalid ELF header"},
        {TESTPLUG_NO_PREAD_SO, "os_dlsym [" TESTPLUG_NO_PREAD_SO "] qd_disk_plug_pread failed: " TESTPLUG_NO_PREAD_SO
                               ": undefined symbol: qd_disk_plug_pread"},
        {TESTPLUG_INIT_FAILS_SO, "[" TESTPLUG_INIT_FAILS_SO "] qd_disk_plug_init failed: "},
    };
    for (const row &r : rows) {
        log_capture log;
        EXPECT_EQ(libplugin_init(r.path.c_str()), nullptr) << r.path;
        bool on_err_line = false;
        for (const auto &l : log.all())
            on_err_line |= l.level == LOG2_ERR && l.text.find(r.message) != std::string::npos;
        EXPECT_TRUE(on_err_line) << r.message;
        EXPECT_EQ(bd_load_plugins(r.path.c_str()), 0);
    }
    // The library that lacked an entry point ran no init and is unloaded.
    EXPECT_EQ(dlopen(TESTPLUG_NO_PREAD_SO, RTLD_LAZY | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(dlopen(TESTPLUG_INIT_FAILS_SO, RTLD_LAZY | RTLD_NOLOAD), nullptr);
    // The registered plug-in still takes its names; no other driver came in.
    EXPECT_STREQ(bd_drv_name_by_name("testplug://x"), "testplug");
    EXPECT_STREQ(bd_drv_name_by_name("other://x"), "file");
}

// A plug-in's code runs as soon as it loads: a FIFO, a directory, and for a
// daemon running as root a copy of a good plug-in that someone else owns or
// may write are refused with their reason, unopened by the loader. The FIFO
// row must not hang: a writer stands by so that a loader that did open it
// would get an end of file and a reason of its own, not this one.
TEST_F(Plugin, UnsafeFilesAreRefusedUnloaded)
{
    const std::string good = read_file(TESTPLUG_FULL_SO);
    ASSERT_FALSE(good.empty());
    const auto copy = [&](const std::string &name, mode_t mode, uid_t owner) {
        const std::string p = make_file(name, good);
        EXPECT_EQ(chmod(p.c_str(), mode), 0);
        if (owner != 0) {
            EXPECT_EQ(chown(p.c_str(), owner, owner), 0);
        }
        return p;
    };
    const std::string fifo = path("fifo.so");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = path("dir.so");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const bool root = geteuid() == 0;
    const struct row {
        std::string path;
        std::string reason;
        bool root_only;
    } rows[] = {
        {fifo, "not a regular file", false},
        {dir, "not a regular file", false},
        {root ? copy("open.so", 0666, 0) : "", "writable by group or others (mode 0666)", true},
        {root ? copy("group.so", 0775, 0) : "", "writable by group or others (mode 0775)", true},
        {root ? copy("other_user.so", 0755, 65534) : "", "owned by uid 65534, not by root", true},
    };
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done.load()) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (const row &r : rows) {
        if (r.root_only && !root) {
            std::cout << "[  SKIPPED ] " << r.reason << ": the owner and mode rules apply to a daemon running as root\n";
            continue;
        }
        log_capture log;
        EXPECT_EQ(libplugin_init(r.path.c_str()), nullptr) << r.path;
        EXPECT_TRUE(log.has("plug-in [" + r.path + "] refused: " + r.reason)) << r.path;
        EXPECT_EQ(dlopen(r.path.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr) << r.path << " is loaded";
    }
    done.store(true);
    writer.join();
    // The plug-in registered before still takes its names.
    EXPECT_STREQ(bd_drv_name_by_name("testplug://x"), "testplug");
}

// For a daemon running as root every directory on a plug-in's path is
// root's and writable by nobody else; a sticky one passes on only entries
// that are root's. Links are followed by hand, so the directory a link
// lives in is judged as well as its target's. Refusals name the directory.
TEST_F(Plugin, DirectoriesOnTheWayAreJudgedForARootDaemon)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the directory rules apply to a daemon running as root";
    const std::string good = read_file(TESTPLUG_FULL_SO);
    ASSERT_FALSE(good.empty());
    const auto dir = [&](const std::string &name, mode_t mode, uid_t owner) {
        const std::string p = path(name);
        EXPECT_EQ(mkdir(p.c_str(), 0700), 0) << p;
        EXPECT_EQ(chown(p.c_str(), owner, owner), 0) << p;
        EXPECT_EQ(chmod(p.c_str(), mode), 0) << p;
        return p;
    };
    const auto copy_in = [&](const std::string &d) {
        const std::string p = d + "/p.so";
        const std::string rel = p.substr(dir_.size() + 1);
        make_file(rel, good);
        EXPECT_EQ(chmod(p.c_str(), 0755), 0);
        return p;
    };
    const auto link = [](const std::string &target, const std::string &at, uid_t owner) {
        EXPECT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
        EXPECT_EQ(lchown(at.c_str(), owner, owner), 0) << at;
        return at;
    };
    const std::string open = dir("open", 0777, 0), group = dir("group", 0775, 0);
    const std::string theirs = dir("theirs", 0755, 65534), theirs_sub = dir("theirs/sub", 0755, 0);
    const std::string sticky = dir("sticky", 01777, 0), sticky_theirs = dir("sticky/theirs", 0755, 65534);
    const std::string sticky_ours = dir("sticky/ours", 0755, 0), safe = dir("safe", 0755, 0);
    const std::string safe_copy = copy_in(safe);
    const auto writable = [](const std::string &d, const char *mode) {
        return "directory [" + d + "] writable by group or others (mode " + mode + ")";
    };
    const struct row {
        std::string path;
        std::string refusal;  // "": it loads
    } rows[] = {
        {copy_in(open), writable(open, "0777")},
        {copy_in(group), writable(group, "0775")},
        {copy_in(theirs_sub), "directory [" + theirs + "] owned by uid 65534, not by root"},
        {copy_in(sticky_theirs),
         "[" + sticky_theirs + "] in sticky directory [" + sticky + "] owned by uid 65534, not by root"},
        {link(safe_copy, open + "/link.so", 0), writable(open, "0777")},
        {link(safe_copy, sticky + "/their_link.so", 65534),
         "[" + sticky + "/their_link.so] in sticky directory [" + sticky + "] owned by uid 65534, not by root"},
        {link(open + "/p.so", safe + "/to_open.so", 0), writable(open, "0777")},
        {copy_in(sticky_ours), ""},
        {link("../sticky/ours/p.so", safe + "/to_sticky.so", 0), ""},
    };
    for (const row &r : rows) {
        log_capture log;
        drv_ptr drv(libplugin_init(r.path.c_str()));
        if (r.refusal.empty()) {
            EXPECT_NE(drv, nullptr) << r.path;
            continue;
        }
        EXPECT_EQ(drv, nullptr) << r.path;
        EXPECT_TRUE(log.has("plug-in [" + r.path + "] refused: " + r.refusal)) << r.path;
    }
    // Nothing of a refused path was mapped: the copies behind them ran no code.
    for (const std::string &d : {open, group, theirs_sub, sticky_theirs})
        EXPECT_EQ(dlopen((d + "/p.so").c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr) << d;
    EXPECT_EQ(dlopen(safe_copy.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

// A file renamed into the judged name between the judgement and the load is
// not what loads: the descriptor that was judged is. The substitute here is
// the plug-in built without sync, so the loaded table tells them apart.
TEST_F(Plugin, WhatLoadsIsTheFileThatWasJudged)
{
    const std::string judged = make_file("judged.so", read_file(TESTPLUG_FULL_SO));
    const std::string substitute = make_file("substitute.so", read_file(TESTPLUG_NO_SYNC_SO));
    ASSERT_EQ(chmod(judged.c_str(), 0755), 0);
    ASSERT_EQ(chmod(substitute.c_str(), 0755), 0);
    {
        std::lock_guard<std::mutex> hold(load_seam::lock);
        load_seam::path = judged;
        load_seam::substitute = substitute;
        load_seam::armed = true;
    }
    drv_ptr drv(libplugin_init(judged.c_str()));
    EXPECT_FALSE(exists(substitute)) << "the seam did not run";
    ASSERT_NE(drv, nullptr);
    EXPECT_NE(static_cast<bd_plugin *>(drv->priv)->sync, nullptr) << "the substitute was loaded";
    EXPECT_EQ(dlopen(judged.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr) << "the substitute is mapped";
}

// Without procfs on /proc the judged descriptor cannot be loaded: the
// plug-in is refused, saying so, and a library that a tmpfs on /proc links
// in its place never loads. Each row runs in a mount namespace of its own.
class PluginWithoutProc : public temp_dir_test, public ::testing::WithParamInterface<bool> {
protected:
    // In the death test's child: the verdict on standard error, then the end.
    [[noreturn]] void load_in_namespace(bool planted)
    {
        const std::string judged = make_file("judged.so", read_file(TESTPLUG_FULL_SO));
        const std::string decoy = make_file("decoy.so", read_file(TESTPLUG_NO_SYNC_SO));
        chmod(judged.c_str(), 0755);
        chmod(decoy.c_str(), 0755);
        if (const std::string failed = proc_ns::enter(planted ? decoy : ""); !failed.empty()) {
            fprintf(stderr, "namespace: %s\n", failed.c_str());
            _exit(3);
        }
        log_capture log;
        bd_drv *drv = libplugin_init(judged.c_str());
        const bool said = log.has("plug-in [" + judged + "] refused: reopening the checked file needs /proc mounted");
        const bool decoy_loaded = dlopen(decoy.c_str(), RTLD_LAZY | RTLD_NOLOAD) != nullptr;
        fprintf(stderr, "verdict: %s; decoy loaded: %s\n",
                drv != nullptr ? "loaded" : said ? "refused, needs /proc" : "refused otherwise",
                decoy_loaded ? "yes" : "no");
        std::filesystem::remove_all(dir_);
        _exit(0);
    }
};

TEST_P(PluginWithoutProc, IsRefusedSayingSo)
{
    if (const std::string why = proc_ns::unavailable(); !why.empty())
        GTEST_SKIP() << why;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(load_in_namespace(GetParam()), ::testing::ExitedWithCode(0),
                "verdict: refused, needs /proc; decoy loaded: no\n");
}

INSTANTIATE_TEST_SUITE_P(Proc, PluginWithoutProc, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &row) {
                             return row.param ? "tmpfs_links_to_another_library" : "unmounted";
                         });

TEST_F(Plugin, WithoutSyncItLoadsAndSyncIsNotSupported)
{
    log_capture log;
    drv_ptr drv(libplugin_init(TESTPLUG_NO_SYNC_SO));
    ASSERT_NE(drv, nullptr);
    EXPECT_TRUE(log.has("os_dlsym qd_disk_plug_sync failed"));
    bd_dev dev{};
    bd_open_param param{0, BD_OPEN_RDWR, &dev, drv->priv, image_.c_str()};
    void *file = drv->open(("testplug://" + image_).c_str(), &param);
    ASSERT_NE(file, nullptr) << verr_msg(&dev.err);
    EXPECT_EQ(drv->ioctl(&dev, file, BD_IOCTL_SYNC, nullptr, 0), -1);
    EXPECT_EQ(dev.err.code, -37);
    EXPECT_STREQ(verr_msg(&dev.err), "Not supported.");
    drv->close(file);
}

TEST_F(Plugin, ServesReadsAndWritesThroughTheBlockLayer)
{
    dev_ptr d = open("testplug://" + image_);
    ASSERT_TRUE(d) << err();
    EXPECT_STREQ(bd_drv_name(d.get()), "testplug");
    EXPECT_EQ(bd_drv_type(d.get()), BD_DRV_TYPE_PLUGIN);
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kSize));
    std::string want = pattern(kSize);
    std::vector<char> buf(4096);
    ASSERT_EQ(bd_pread(d.get(), buf.data(), 4096, 8192), 4096);
    EXPECT_EQ(std::string(buf.data(), 4096), want.substr(8192, 4096));
    std::string data(4096, 'w');
    ASSERT_EQ(bd_pwrite(d.get(), data.data(), 4096, 4096), 4096);
    EXPECT_EQ(read_file(image_).substr(4096, 4096), data);
    EXPECT_EQ(bd_sync(d.get()), 0);

    bd_dev_info info{};
    ASSERT_EQ(bd_ioctl(d.get(), GET_DEV_INFO, &info, sizeof(info)), 0);
    EXPECT_STREQ(info.type_name, "testplug");
    EXPECT_EQ(info.size_type, BLOCK_SIZE_FIXED);
    EXPECT_EQ(info.sector_size, 512u);
    EXPECT_EQ(bd_truncate(d.get(), 10), -1);
    EXPECT_EQ(bd_errno(d.get()), -37);

    dev_ptr missing = open("testplug://" + path("missing.img"));
    EXPECT_FALSE(missing);
    EXPECT_NE(err().find("testplug: cannot open"), std::string::npos) << err();
}

// Reads (and a fixed-size object's writes) are cut at the object's end and
// never reach the plug-in at or past it.
// A plug-in's export names take the block layer's parameters and those the
// plug-in declares; any other refuses the open.
TEST_F(Plugin, NamesTakeTheParametersThePluginDeclares)
{
    struct row {
        std::string query;
        const char *refusal;  // nullptr: opens
    } rows[] = {
        {"?testplug_note=x", nullptr},
        {"?testplug_cache=1&sector_off=1", nullptr},
        {"?testplug_other=1", "unknown parameter [testplug_other]: neither the block layer nor the driver "
                              "\"testplug\" takes it"},
        {"?testplug=1", "unknown parameter [testplug]"},
    };
    for (const row &r : rows) {
        dev_ptr d = open("testplug://" + image_ + r.query);
        EXPECT_EQ(!d, r.refusal != nullptr) << r.query << ": " << err();
        if (r.refusal != nullptr) {
            EXPECT_NE(err().find(r.refusal), std::string::npos) << r.query << ": " << err();
        }
    }
}

TEST_F(Plugin, AccessesAreCutAtTheEnd)
{
    dev_ptr d = open("testplug://" + image_);
    ASSERT_TRUE(d) << err();
    bd_dev *dev = d.get();
    std::vector<char> buf(4096);
    EXPECT_EQ(dev->drv->read(dev, dev->handle, kSize - 1000, buf.data(), 4096), 1000);
    int before = plugin_calls();
    EXPECT_EQ(dev->drv->read(dev, dev->handle, kSize, buf.data(), 4096), 0);
    EXPECT_EQ(dev->drv->read(dev, dev->handle, kSize + 4096, buf.data(), 4096), 0);
    EXPECT_EQ(plugin_calls(), before);
    EXPECT_EQ(dev->drv->write(dev, dev->handle, kSize - 100, buf.data(), 4096), 100);
    {
        log_capture log;
        EXPECT_EQ(dev->drv->write(dev, dev->handle, kSize + 512, buf.data(), 512), 0);
        EXPECT_TRUE(log.has("roffset=" + std::to_string(kSize + 512) + " > fsize=" + std::to_string(kSize)));
    }
    EXPECT_EQ(plugin_calls(), before + 1);
    EXPECT_EQ(read_file(image_).size(), kSize);

    dev_ptr g = open("testplug-grow://" + image_);
    ASSERT_TRUE(g) << err();
    EXPECT_EQ(g->drv->write(g.get(), g->handle, kSize + 512, buf.data(), 512), 512);
    EXPECT_EQ(read_file(image_).size(), kSize + 1024);
    bd_dev_info info{};
    ASSERT_EQ(bd_ioctl(g.get(), GET_DEV_INFO, &info, sizeof(info)), 0);
    EXPECT_EQ(info.size_type, BLOCK_SIZE_EXTENSIBLE);
}

TEST_F(Plugin, OffsetsAreInsideTheWindow)
{
    dev_ptr d = open("testplug://" + image_ + "?sector_off=8");
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kSize - 4096));
    std::vector<char> buf(512);
    ASSERT_EQ(bd_pread(d.get(), buf.data(), 512, 0), 512);
    EXPECT_EQ(std::string(buf.data(), 512), pattern(kSize).substr(4096, 512));
    bd_volume vol{};
    ASSERT_EQ(bd_volume_get(d.get(), &vol), 0);
    EXPECT_EQ(vol.start, 4096u);
    EXPECT_EQ(vol.size, kSize - 4096);
    ASSERT_EQ(bd_seek(d.get(), 1024), 0);
    EXPECT_EQ(bd_tell(d.get()), 1024);
    ASSERT_EQ(bd_read(d.get(), buf.data(), 512), 512);
    EXPECT_EQ(std::string(buf.data(), 512), pattern(kSize).substr(4096 + 1024, 512));
    EXPECT_EQ(bd_tell(d.get()), 1536);
}

TEST_F(Plugin, UsePluginIsLoggedOncePerPlugin)
{
    drv_ptr drv(libplugin_init(TESTPLUG_FULL_SO));
    ASSERT_NE(drv, nullptr);
    log_capture log;
    std::string name = "testplug://" + image_;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(drv->probe(name.c_str(), 1, drv->priv), 0);
    EXPECT_NE(drv->probe("file:///x", 1, drv->priv), 0);
    int lines = 0;
    for (const auto &l : log.all())
        lines += l.text.find("use plugin [" TESTPLUG_FULL_SO "] [testplug]") != std::string::npos ? 1 : 0;
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(static_cast<bd_plugin *>(drv->priv)->used, 1u);
}

TEST_F(Plugin, ConfigurationSectionListsThePlugins)
{
    std::string ini = make_file("zorv.ini", std::string("[bd_plugins_load]\n0=") + TESTPLUG_NO_SYNC_SO + "\n1=" +
                                                path("missing.so") + "\n");
    log_capture log;
    EXPECT_EQ(bd_load_conf_plugins(ini.c_str()), 0);
    EXPECT_TRUE(log.has(std::string("bd_plug_list=[") + TESTPLUG_NO_SYNC_SO + "|" + path("missing.so") + "]"));
    EXPECT_TRUE(log.has("plug-in [" + path("missing.so") + "] refused: cannot open ["));
    EXPECT_NE(dlopen(TESTPLUG_NO_SYNC_SO, RTLD_LAZY | RTLD_NOLOAD), nullptr);

    std::string empty = make_file("empty.ini", "[zorv]\nnbd_server_port=1\n");
    log.clear();
    EXPECT_EQ(bd_load_conf_plugins(empty.c_str()), 0);
    EXPECT_TRUE(log.has("bd_plug_list=[]"));
    EXPECT_EQ(bd_load_conf_plugins(path("none.ini").c_str()), -1);
}

// An in-process record goes through the same common operations.
TEST_F(Plugin, InProcessRecordServesTheSameOperations)
{
    static std::string medium;
    medium = pattern(4096);
    static bd_drv table{};
    static comm_plugin_ops ops{};
    ops.kind = 1;
    ops.drv = &table;
    ops.open = [](const char *, uint32_t, uint64_t, verr *, const char *) -> void * { return &medium; };
    ops.close = [](void *) { return 0; };
    ops.size = [](void *) -> uint64_t { return medium.size(); };
    ops.sector_size = [](void *) -> uint32_t { return 512; };
    ops.read = [](void *, void *buf, uint32_t count, uint64_t pos) {
        memcpy(buf, medium.data() + pos, count);
        return static_cast<int>(count);
    };
    ops.write = [](void *, const void *, uint32_t, uint64_t) { return -1; };
    table = bd_drv{BD_DRV_TYPE_PLUGIN, &ops, "inproc", "", 0, nullptr, comm_plugin_open, comm_plugin_close,
                   comm_plugin_read, nullptr, comm_plugin_write, nullptr, comm_plugin_size, comm_plugin_ioctl, nullptr};
    bd_dev dev{};
    bd_open_param param{0, BD_OPEN_RDWR, &dev, &ops, "x"};
    void *file = comm_plugin_open("x", &param);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(dev.fsize, 4096u);
    std::vector<char> buf(1024);
    EXPECT_EQ(comm_plugin_read(&dev, file, 3584, buf.data(), 1024), 512);
    EXPECT_EQ(std::string(buf.data(), 512), medium.substr(3584));
    EXPECT_EQ(comm_plugin_write(&dev, file, 0, buf.data(), 512), -1);
    bd_drv_info info{};
    ASSERT_EQ(comm_plugin_ioctl(&dev, file, BD_IOCTL_DRV_INFO, &info, sizeof(info)), 0);
    EXPECT_STREQ(info.name, "bd_type=inproc");
    EXPECT_EQ(info.type, 6u);
    EXPECT_EQ(comm_plugin_ioctl(&dev, file, BD_IOCTL_SYNC, nullptr, 0), -1);
    EXPECT_EQ(comm_plugin_ioctl(&dev, file, 99, nullptr, 0), -1);
    EXPECT_EQ(dev.err.code, -37);
    EXPECT_EQ(comm_plugin_close(file), 0);
}

}  // namespace
