// Partition tables written by the system's own tools (sfdisk, sgdisk,
// parted): each partition is filled with a byte of its own; every volume the
// readers list has the start and size the tool reports, and the export
// "image?vol_idx=N" serves exactly its bytes; the next index is refused.
#include "libpart/libpart.h"

#include "libblock/block.h"
#include "libqdcli/client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../support/command_out.h"

namespace {

struct tool_case {
    const char   *name;
    const char   *tool;        // the program that must be installed
    uint64_t      size_mib;
    const char   *commands;    // "%s" is the image path
    std::set<int> not_volumes; // tool numbers the readers do not list (an extended partition)
    std::set<int> hold_table;  // volumes that hold the table itself: not filled
    const char   *type;
};

const tool_case k_cases[] = {
    {"sfdisk_mbr_logicals", "sfdisk", 16,
     "printf 'label: dos\\nstart=2048, size=2048, type=83\\nstart=4096, size=2048, type=82\\n"
     "start=6144, type=5\\nsize=1024, type=83\\nsize=1024, type=6\\nsize=2048, type=b\\n' | sfdisk -q %s",
     {3}, {}, "MBR"},
    {"sgdisk_gpt", "sgdisk", 8, "sgdisk -n 1:2048:4095 -c 1:alpha -n 2:4096:8191 -c 2:beta %s", {}, {}, "GPT"},
    {"parted_mac", "parted", 8, "parted -s %s mklabel mac mkpart p1 1MiB 3MiB mkpart p2 3MiB 6MiB", {}, {1},
     "APPLE"},
    {"parted_amiga", "parted", 8, "parted -s %s mklabel amiga mkpart p1 1MiB 3MiB mkpart p2 3MiB 6MiB", {}, {},
     "AMIGA"},
    {"parted_dvh", "parted", 8,
     "parted -s %s mklabel dvh mkpart primary 3MiB 4MiB mkpart primary 4MiB 6MiB", {}, {9}, "DVH"},
};

struct tool_volume {
    int      number;
    uint64_t start, size;  // bytes
};

bool have(const char *tool)
{
    const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// parted's machine-readable listing, "N:Ss:Es:Ls:...", in number order.
std::vector<tool_volume> parted_list(const std::string &img)
{
    std::vector<tool_volume> v;
    std::istringstream in(command_out("parted -s -m '" + img + "' unit s print 2>/dev/null"));
    std::string line;
    while (std::getline(in, line)) {
        int n = 0;
        unsigned long long s = 0, e = 0, l = 0;
        if (sscanf(line.c_str(), "%d:%llus:%llus:%llus:", &n, &s, &e, &l) == 4)
            v.push_back({n, s * 512, l * 512});
    }
    std::sort(v.begin(), v.end(), [](const auto &a, const auto &b) { return a.number < b.number; });
    return v;
}

// What the export "img?vol_idx=index" serves: its size and whether every
// byte is b; the open's error text when it fails.
struct served {
    bool        open;
    int64_t     size;
    bool        all_b;
    std::string err;
};

served serve(const std::string &img, int index, uint8_t b)
{
    char err[4096] = "";
    bd_dev *d = bd_open((img + "?vol_idx=" + std::to_string(index)).c_str(), 1, err);
    if (d == nullptr)
        return {false, -1, false, err};
    served s{true, bd_size(d), true, ""};
    std::vector<uint8_t> buf(1 << 20);
    for (int64_t at = 0; at < s.size; at += static_cast<int64_t>(buf.size())) {
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(buf.size(), s.size - at));
        if (bd_pread(d, buf.data(), n, static_cast<uint64_t>(at)) != n ||
            !std::all_of(buf.begin(), buf.begin() + n, [&](uint8_t x) { return x == b; }))
            s.all_b = false;
    }
    bd_close(d);
    return s;
}

class PartTools : public testing::TestWithParam<tool_case> {
protected:
    void SetUp() override
    {
        if (!have(GetParam().tool) || !have("parted"))
            GTEST_SKIP() << GetParam().tool << " is not installed (make test installs fdisk, gdisk, parted)";
        char tmpl[] = "/tmp/part_tools_XXXXXX";
        dir_ = mkdtemp(tmpl);
        img_ = dir_ + "/disk.img";
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        bd_init();
        libpart_init();
    }
    void TearDown() override
    {
        if (!dir_.empty())
            (void)system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_, img_;
};

TEST_P(PartTools, EveryVolumeHasItsOwnBytesAndSize)
{
    const tool_case &c = GetParam();
    const int fd = open(img_.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(c.size_mib << 20)), 0);
    std::string cmd = c.commands;
    cmd.replace(cmd.find("%s"), 2, img_);
    ASSERT_EQ(system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;

    std::vector<tool_volume> want;
    for (const auto &v : parted_list(img_))
        if (c.not_volumes.count(v.number) == 0)
            want.push_back(v);
    ASSERT_GE(want.size(), 2u);
    std::map<int, uint8_t> fill;
    for (size_t i = 0; i < want.size(); i++) {
        if (c.hold_table.count(want[i].number) != 0)
            continue;
        const uint8_t b = static_cast<uint8_t>(0x11 * (i + 1));
        fill[want[i].number] = b;
        const std::vector<uint8_t> bytes(want[i].size, b);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(want[i].start)),
                  static_cast<ssize_t>(bytes.size()));
    }

    close(fd);
    libpart_info info{};
    char err[4096] = "";
    ASSERT_EQ(libpart_get(img_.c_str(), &info, err), 0) << err;
    EXPECT_STREQ(info.type_name, c.type);
    // The readers list what the tool lists, in its order; an Apple map also
    // lists its free-space entries ("Extra"), which the tool leaves out.
    size_t next = 0;
    for (uint64_t i = 0; i < info.count; i++) {
        SCOPED_TRACE(testing::Message() << "vol_idx=" << i + 1);
        const uint64_t start = info.entries[i]->start * info.sector_size;
        const uint64_t size = info.entries[i]->count * info.sector_size;
        if (next == want.size() || start != want[next].start) {
            EXPECT_STREQ(info.entries[i]->desc, "Extra") << "at byte " << start;
            continue;
        }
        const tool_volume &w = want[next++];
        EXPECT_EQ(size, w.size) << "tool's number " << w.number;
        const auto f = fill.find(w.number);
        if (f == fill.end())
            continue;
        const served s = serve(img_, static_cast<int>(i + 1), f->second);
        ASSERT_TRUE(s.open) << s.err;
        EXPECT_EQ(static_cast<uint64_t>(s.size), w.size);
        EXPECT_TRUE(s.all_b);
    }
    EXPECT_EQ(next, want.size());
    const int past = static_cast<int>(info.count) + 1;
    const served s = serve(img_, past, 0);
    EXPECT_FALSE(s.open);
    EXPECT_EQ(s.err, "vol_idx=" + std::to_string(past) + " valid values: 1-" + std::to_string(info.count));
    libpart_free(&info);
}

// CTest names each case after the value printed here (in place of its bytes).
void PrintTo(const tool_case &c, std::ostream *os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Tools, PartTools, testing::ValuesIn(k_cases));

}  // namespace
