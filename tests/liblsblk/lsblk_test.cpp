#include "liblsblk/lsblk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_buf.h"

namespace {

struct listed_dev {
    std::string name;
    long long len = -1;
    int ssize = -1;
};

// The listing's lines, checked for their form and for consecutive indexes.
std::vector<listed_dev> parse(const std::string &text)
{
    std::vector<listed_dev> out;
    static const std::regex line(R"(dev\[(\d+)\]\.(\w+)=\[(.*)\])");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "every line ends with a line feed";
        if (end == std::string::npos) break;
        std::string l = text.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        if (m.empty()) continue;
        size_t index = std::stoul(m[1]);
        if (m[2] == "name") {
            EXPECT_EQ(index, out.size()) << l;
            out.push_back({m[3]});
        } else if (!out.empty()) {
            EXPECT_EQ(index, out.size() - 1) << l;
            if (m[2] == "len") out.back().len = std::stoll(m[3]);
            if (m[2] == "ssize") out.back().ssize = std::stoi(m[3]);
        }
    }
    return out;
}

std::string list_text()
{
    char *t = lsblk_list();
    EXPECT_NE(t, nullptr);
    std::string s = t != nullptr ? t : "";
    os_free(t);
    return s;
}

// Block-special nodes under /dev, reached without links, that report a size.
std::set<std::string> block_devices_here()
{
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator("/dev", ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (!it->is_block_file(ec) || it->is_symlink(ec)) continue;
        std::string p = it->path().string();
        int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        uint64_t size = 0;
        if (ioctl(fd, BLKGETSIZE64, &size) == 0 && size > 0) out.insert(p);
        close(fd);
    }
    return out;
}

std::string run(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof(buf), p) != nullptr) out += buf;
        if (pclose(p) != 0) out.clear();
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST(Lsblk, ListsTheBlockDevicesOfThisMachineOnce)
{
    // Other tests attach and detach loop devices meanwhile: a device is due
    // when both walks around the listing saw it, allowed when either did.
    std::set<std::string> before = block_devices_here();
    std::vector<listed_dev> devs = parse(list_text());
    std::set<std::string> after = block_devices_here();
    std::set<std::string> names;
    for (const auto &d : devs) {
        EXPECT_TRUE(names.insert(d.name).second) << d.name << " listed twice";
        struct stat st;
        ASSERT_EQ(lstat(d.name.c_str(), &st), 0) << d.name;
        EXPECT_TRUE(S_ISBLK(st.st_mode)) << d.name;
        EXPECT_GT(d.len, 0) << d.name;
        EXPECT_GE(d.ssize, 512) << d.name;
        EXPECT_NE(d.name.rfind("/dev/fd/", 0), 0u);
    }
    for (const auto &n : before) {
        if (after.count(n) != 0) {
            EXPECT_EQ(names.count(n), 1u) << n << " not listed";
        }
    }
    for (const auto &n : names) {
        EXPECT_TRUE(before.count(n) != 0 || after.count(n) != 0) << n << " listed but no disk";
    }
    if (before.empty() && after.empty()) {
        EXPECT_TRUE(devs.empty()) << "an empty list where there are none";
    }
}

class LsblkLoop : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "loop devices and device nodes need root";
        std::string backing = make_file("loop.img", "");
        ASSERT_EQ(truncate(backing.c_str(), 1 << 20), 0);
        loop_ = run("losetup --sector-size 4096 -f --show " + backing + " 2>/dev/null");
        if (loop_.empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
    }
    void TearDown() override
    {
        lsblk_filt_free();
        if (!loop_.empty()) run("losetup -d " + loop_);
        temp_dir_test::TearDown();
    }
    const listed_dev *find(const std::vector<listed_dev> &devs, const std::string &name)
    {
        for (const auto &d : devs)
            if (d.name == name) return &d;
        return nullptr;
    }
    std::string loop_;
};

TEST_F(LsblkLoop, AttachedLoopDeviceIsListedUnlessDropped)
{
    auto devs = parse(list_text());
    const listed_dev *d = find(devs, loop_);
    ASSERT_NE(d, nullptr) << loop_;
    EXPECT_EQ(d->len, 1 << 20);
    EXPECT_EQ(d->ssize, 4096);

    std::string upper = loop_;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(lsblk_filt_add(("/nothing|" + upper).c_str()), 0);
    EXPECT_EQ(find(parse(list_text()), loop_), nullptr);
    lsblk_filt_free();
    EXPECT_NE(find(parse(list_text()), loop_), nullptr);
}

TEST_F(LsblkLoop, DirectoryWalkOpensBlockNodesOnlyAndEachPathOnce)
{
    struct stat st;
    ASSERT_EQ(stat(loop_.c_str(), &st), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    std::string node = path("sub/disk");
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev), 0);
    ASSERT_EQ(symlink(loop_.c_str(), path("link").c_str()), 0);
    make_file("plain.img", std::string(4096, 'p'));
    ASSERT_EQ(mknod(path("null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);

    lsblk_state state{0, str_buf_new()};
    ASSERT_NE(state.sb, nullptr);
    EXPECT_EQ(lsblk_dir(&state, dir_.c_str()), 0);
    EXPECT_EQ(check_and_add(&state, node.c_str()), 0) << "listed already";
    EXPECT_EQ(check_and_add(&state, path("link").c_str()), 0) << "links are not followed";
    EXPECT_EQ(lsblk_dir(&state, path("missing").c_str()), -1);
    char *text = str_buf_detach_nonnull(state.sb);
    auto devs = parse(text);
    os_free(text);
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].name, node);
    EXPECT_EQ(devs[0].len, 1 << 20);
}

}  // namespace
