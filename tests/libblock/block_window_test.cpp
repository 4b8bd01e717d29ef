// Volumes of tables written by sfdisk (an MBR and a GPT), named with a cipher
// or an offset beside "vol_idx": the window is the volume, from the offset to
// the volume's end; a write of the whole window leaves the table and every
// byte outside the volume as they were; a cipher's units are numbered from
// the window's start, checked against the independent XTS computation. Also:
// a cipher export's WRITE_ZEROES allocates nothing per request.
#define NEW_FAIL_DEFINE
#include "../libpal/new_fail.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../libpal/os_file_fixture.h"
#include "../support/on_leave.h"
#include "libblock/block.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_file.h"
#include "libpal/string/url.h"
#include "libpart/libpart.h"
#include "libqdcli/client.h"
#include "xts_reference.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kImageSize = 5 * kMiB;  // the volumes, and a GPT's backup after them
constexpr uint64_t kSector = 512;
const std::string kKey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

struct dev_closer {
    void operator()(bd_dev *d) const { bd_close(d); }
};
using dev_ptr = std::unique_ptr<bd_dev, dev_closer>;

// The two volumes every table below holds, in sectors: sizes differ, so a
// window sized by the wrong volume shows.
struct volume {
    uint64_t start, count;
};
constexpr volume kVolumes[] = {{2048, 4096}, {6144, 2048}};

struct table_case {
    const char *name;
    const char *script;  // sfdisk's input
};
const table_case kTables[] = {
    {"mbr", "label: dos\nstart=2048, size=4096, type=83\nstart=6144, size=2048, type=83\n"},
    {"gpt", "label: gpt\nstart=2048, size=4096\nstart=6144, size=2048\n"},
};

std::string random_bytes(size_t n, uint32_t seed)
{
    std::mt19937_64 gen(seed);
    std::string s(n + 8, '\0');
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = gen();
        memcpy(s.data() + i, &v, sizeof(v));
    }
    s.resize(n);
    return s;
}

bool have_sfdisk()
{
    return system("command -v sfdisk >/dev/null 2>&1") == 0;
}

class VolumeWindow : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        if (!have_sfdisk())
            GTEST_SKIP() << "sfdisk is not installed (make test installs fdisk)";
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        bd_init();
        libpart_init();
    }
    // A medium of random bytes with the table sfdisk writes on it; its bytes.
    std::string table_image(const table_case &t)
    {
        const std::string img = make_file(std::string(t.name) + ".img", random_bytes(kImageSize, 47));
        const std::string cmd = "printf '" + std::string(t.script) + "' | sfdisk -q '" + img + "' >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        return read_file(img);
    }
    dev_ptr open(const std::string &name, uint64_t flags = OS_PF_RDWR)
    {
        err_.assign(VERR_MSG_SIZE, '\0');
        return dev_ptr(bd_open(name.c_str(), flags, err_.data()));
    }
    std::string err() const { return err_.c_str(); }
    std::string err_;
};

// Writes data over the whole window, a MiB at a time; then reads it back.
void write_window(bd_dev *d, const std::string &data)
{
    for (uint64_t at = 0; at < data.size(); at += kMiB) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kMiB, data.size() - at));
        std::string piece = data.substr(at, n);  // a cipher works in place
        ASSERT_EQ(bd_pwrite(d, piece.data(), n, at), n) << bd_errstr(d);
    }
    std::string back(data.size(), '\0');
    for (uint64_t at = 0; at < data.size(); at += kMiB) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kMiB, data.size() - at));
        ASSERT_EQ(bd_pread(d, back.data() + at, n, at), n) << bd_errstr(d);
    }
    EXPECT_TRUE(back == data) << "the window does not read back what was written";
}

TEST_F(VolumeWindow, AVolumeWithACipherOrAnOffsetNeverReachesPastItself)
{
    struct {
        std::string query;
        int vol;          // 1-based
        uint64_t off;     // sectors into the volume
        bool cipher;
        const char *refused;  // the open's text, or nullptr
    } rows[] = {
        {"?vol_idx=1", 1, 0, false, nullptr},
        {"?vol_idx=1&alg=aes&key=" + kKey, 1, 0, true, nullptr},
        {"?vol_idx=2&alg=aes&key=" + kKey, 2, 0, true, nullptr},
        {"?alg=aes&vol_idx=2& key=" + kKey, 2, 0, true, nullptr},
        {"?vol_idx=1&sector_off=8", 1, 8, false, nullptr},
        {"?vol_idx=2&sector_off=8", 2, 8, false, nullptr},
        {"?sector_off=8&vol_idx=2&alg=aes&key=" + kKey, 2, 8, true, nullptr},
        {"?vol_idx=2&sector_off=2047", 2, 2047, false, nullptr},
        {"?vol_idx=1&sector_off=4096", 1, 4096, false,
         "sector_off=4096 (2097152 bytes) is at or past the end of vol_idx=1 (2097152 bytes)"},
        {"?vol_idx=2&sector_off=2048&alg=aes&key=" + kKey, 2, 2048, true,
         "sector_off=2048 (1048576 bytes) is at or past the end of vol_idx=2 (1048576 bytes)"},
    };
    // A cipher window's first and last pieces are checked: its start numbers
    // the units, and its end shows the size the numbering ran to.
    constexpr uint64_t kPiece = 64 << 10;
    xts_reference xts;
    struct pending {
        std::string what;
        std::string stored;
        size_t job;
    };
    std::vector<pending> encrypted;
    for (const table_case &t : kTables) {
        const std::string pristine = table_image(t);
        ASSERT_EQ(pristine.size(), kImageSize);
        const std::string img = path(std::string(t.name) + ".img");
        for (const auto &row : rows) {
            const std::string what = std::string(t.name) + row.query.substr(0, 40);
            SCOPED_TRACE(what);
            make_file(std::string(t.name) + ".img", pristine);
            const volume &v = kVolumes[row.vol - 1];
            const uint64_t start = (v.start + row.off) * kSector;
            const uint64_t size = v.count * kSector - std::min(row.off * kSector, v.count * kSector);
            std::string data;
            {
                dev_ptr d = open(img + row.query);
                if (row.refused != nullptr) {
                    EXPECT_FALSE(d);
                    EXPECT_EQ(err(), row.refused);
                    continue;
                }
                ASSERT_TRUE(d) << err();
                EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(size));
                data = random_bytes(size, static_cast<uint32_t>(row.vol * 100 + row.off));
                write_window(d.get(), data);
            }
            const std::string stored = read_file(img);
            ASSERT_EQ(stored.size(), kImageSize);
            const std::string_view now(stored);
            const std::string_view was(pristine);
            EXPECT_TRUE(now.substr(0, start) == was.substr(0, start)) << "bytes before the window changed";
            EXPECT_TRUE(now.substr(start + size) == was.substr(start + size)) << "bytes after the window changed";
            if (!row.cipher) {
                EXPECT_TRUE(now.substr(start, size) == data) << "the window holds other bytes";
                continue;
            }
            for (uint64_t at : {uint64_t{0}, size - std::min(size, kPiece)}) {
                const std::string_view plain = std::string_view(data).substr(at, kPiece);
                encrypted.push_back({what + " at " + std::to_string(at), std::string(now.substr(start + at, plain.size())),
                                     xts.add("enc", kKey, static_cast<int64_t>(at),
                                             std::vector<uint8_t>(plain.begin(), plain.end()))});
            }
        }
    }
    const auto want = xts.run();
    for (const pending &p : encrypted) {
        const std::vector<uint8_t> &w = want[p.job];
        EXPECT_TRUE(std::string(w.begin(), w.end()) == p.stored)
            << p.what << ": the volume is not XTS numbered from the window's start";
    }
}

// The name the lookup opens: the medium, with every parameter that works
// inside the window left out, however the readers would read it.
TEST(VolumeLookupName, KeepsNothingThatWorksInsideTheWindow)
{
    struct {
        std::string url;
        const char *want;
    } rows[] = {
        {"/d.img?vol_idx=1&alg=aes&key=" + kKey, "/d.img?"},
        {"/d.img?sector_size=4096&vol_idx=2&sector_off=8&read_timeout=3", "/d.img?sector_size=4096&read_timeout=3"},
        {"/d.img?vol_idx=2& alg=aes& key =" + kKey + "&sector_off =1", "/d.img?"},
        {"tcp://h:1/d.img?testplug=x&&vol_idx=1&flags=rw", "tcp://h:1/d.img?testplug=x&flags=rw"},
        {"/d.img", "/d.img"},
    };
    for (const auto &row : rows) {
        std::vector<char> out(URL_BUF_SIZE, 'x');
        verr err{};
        ASSERT_EQ(bd_open_args_medium_name(row.url.c_str(), out.data(), &err), 0) << verr_msg(&err);
        EXPECT_STREQ(out.data(), row.want) << row.url;
    }
}

// A table only the cipher could read is no table to the lookup, which reads
// the medium as stored: such a medium is one volume, the whole of it.
TEST_F(VolumeWindow, ATableReadableOnlyThroughTheCipherIsNoTable)
{
    const std::string pristine = table_image(kTables[0]);
    const std::string img = path("mbr.img");
    {
        dev_ptr whole = open(img + "?alg=aes&key=" + kKey);
        ASSERT_TRUE(whole) << err();
        write_window(whole.get(), pristine);
    }
    dev_ptr d = open(img + "?vol_idx=1&alg=aes&key=" + kKey);
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kImageSize));
    std::string first(kSector, '\0');
    ASSERT_EQ(bd_pread(d.get(), first.data(), kSector, 0), static_cast<int64_t>(kSector));
    EXPECT_TRUE(first == pristine.substr(0, kSector));
    EXPECT_FALSE(open(img + "?vol_idx=2&alg=aes&key=" + kKey));
    EXPECT_EQ(err(), "vol_idx=2 valid values: 1-1");
}

// Counts the allocations through the system's allocation hooks while it lives.
class counted_allocs {
public:
    counted_allocs() : m_(g_malloc_proc), r_(g_realloc_proc), f_(g_free_proc)
    {
        count() = 0;
        pl_malloc_init(counting_malloc, counting_realloc, f_);
    }
    ~counted_allocs() { pl_malloc_init(m_, r_, f_); }
    counted_allocs(const counted_allocs &) = delete;
    counted_allocs &operator=(const counted_allocs &) = delete;
    static std::atomic<int> &count()
    {
        static std::atomic<int> n{0};
        return n;
    }

private:
    static void *counting_malloc(size_t n)
    {
        count()++;
        return malloc(n);
    }
    static void *counting_realloc(void *p, size_t n)
    {
        count()++;
        return realloc(p, n);
    }
    pl_malloc_proc m_;
    pl_realloc_proc r_;
    pl_free_proc f_;
};

// The zeros of a cipher export are encrypted in a piece its device keeps: once
// the first zeroing has it, no request allocates, of any length, and the
// zeros read back.
TEST_F(VolumeWindow, CipherZeroesAllocateNothingPerRequest)
{
    table_image(kTables[0]);
    dev_ptr d = open(path("mbr.img") + "?vol_idx=1&alg=aes&key=" + kKey);
    ASSERT_TRUE(d) << err();
    ASSERT_EQ(bd_pwrite_zeroes(d.get(), kSector, 0), static_cast<int64_t>(kSector)) << bd_errstr(d.get());
    struct {
        uint64_t len, offset;
    } rows[] = {{kSector, 0}, {64 << 10, kSector}, {kMiB + kSector, 4096}, {kMiB, kMiB}};
    for (const auto &row : rows) {
        {
            const counted_allocs allocs;
            new_fail::hit = false;
            new_fail::countdown = 1;  // any operator new now fails, and says so
            const on_leave stop{[] { new_fail::countdown = 0; }};
            EXPECT_EQ(bd_pwrite_zeroes(d.get(), row.len, row.offset), static_cast<int64_t>(row.len))
                << row.len << " at " << row.offset << ": " << bd_errstr(d.get());
            EXPECT_FALSE(new_fail::hit.load()) << row.len << " at " << row.offset;
            EXPECT_EQ(counted_allocs::count().load(), 0) << row.len << " at " << row.offset;
        }
        std::string back(row.len, 'x');
        ASSERT_EQ(bd_pread(d.get(), back.data(), static_cast<uint32_t>(row.len), row.offset),
                  static_cast<int64_t>(row.len));
        EXPECT_TRUE(back == std::string(row.len, '\0')) << row.len << " at " << row.offset;
    }
}

}  // namespace
