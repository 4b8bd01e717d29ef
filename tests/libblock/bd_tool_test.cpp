// The block layer's tools over open exports: a volume or offset export hashes
// and counts only its own bytes (checked against sha256sum of the bytes cut
// out with dd), a cipher export hashes its clear text, and the executor
// writes inside the window only, through the cipher.
#include "libblock/bd_tool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "../libpal/tool_files.h"
#include "libpart/libpart.h"
#include "libqdcli/client.h"

namespace {

constexpr uint64_t k_mib = 1u << 20;
// Partition 2 of the image: sectors 4096 to 12287 (2 MiB to 6 MiB).
constexpr uint64_t k_p2_start = 4096 * 512;
constexpr uint64_t k_p2_size = 8192 * 512;
const char *const k_key = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

struct dev_deleter {
    void operator()(bd_dev *d) const { bd_close(d); }
};
using dev_ptr = std::unique_ptr<bd_dev, dev_deleter>;

class BdTool : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.path().c_str());
        bd_init();
        libpart_init();
        bytes_ = random_bytes(8 * k_mib, 2026);
        img_ = dir_.write("disk.img", bytes_);
    }
    // The other tests of this binary run without a volume finder.
    void TearDown() override { bd_set_vol_finder(nullptr); }
    dev_ptr open(const std::string &name, uint64_t flags = BD_OPEN_RDONLY)
    {
        char err[4096] = "";
        dev_ptr d(bd_open(name.c_str(), flags, err));
        EXPECT_TRUE(d) << name << ": " << err;
        return d;
    }
    // The image with an MBR of two partitions written by sfdisk.
    bool partition()
    {
        const std::string cmd = "printf 'label: dos\\nstart=2048, size=2048, type=83\\n"
                                "start=4096, size=8192, type=83\\n' | sfdisk -q '" + img_ + "' >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0)
            return false;
        FILE *f = fopen(img_.c_str(), "rb");
        if (f == nullptr || fread(bytes_.data(), 1, 512, f) != 512) {
            if (f != nullptr)
                fclose(f);
            return false;
        }
        fclose(f);
        return true;
    }
    // SHA-256 of the whole window through the tool.
    static std::string window_sha256(bd_dev *d, uint8_t use_pool = 0)
    {
        bd_hash_req req{};
        req.param.flags = FILE_HASH_SHA256 | FILE_HASH_PSHA256;
        req.param.block_size = 65536;
        req.param.use_pool = use_pool;
        if (bd_hash_open(d, &req) != 0)
            return std::string("open: ") + bd_errstr(d);
        const bd_range_req range{0, static_cast<uint64_t>(bd_size(d))};
        if (bd_hash_cal(d, &range) != 0)
            return std::string("cal: ") + bd_errstr(d);
        std::array<uint8_t, 32> digest{};
        const bd_hash_digest_req get{FILE_HASH_SHA256, digest.data(), digest.size()};
        if (bd_hash_digest(d, &get) != 0)
            return std::string("digest: ") + bd_errstr(d);
        return hex_of(digest.data(), digest.size());
    }
    std::string dd_sha256(const std::string &dd_args)
    {
        const std::string out =
            command_out("dd if='" + img_ + "' bs=512 " + dd_args + " status=none | sha256sum 2>/dev/null");
        return out.substr(0, 64);
    }
    tool_dir dir_;
    std::vector<uint8_t> bytes_;
    std::string img_;
};

TEST_F(BdTool, VolumeExportHashesOnlyItsPartition)
{
    if (!partition())
        GTEST_SKIP() << "sfdisk is not installed (make test installs fdisk)";
    dev_ptr d = open(img_ + "?vol_idx=2");
    ASSERT_TRUE(d);
    ASSERT_EQ(bd_size(d.get()), static_cast<int64_t>(k_p2_size));
    const std::string want = dd_sha256("skip=4096 count=8192");
    ASSERT_EQ(want.size(), 64u);
    EXPECT_EQ(window_sha256(d.get()), want);

    // Per-block SHA-256 over the pool agrees with the single-thread run.
    std::array<uint8_t, 32> thread_mode{}, pool_mode{};
    const bd_hash_digest_req get{FILE_HASH_PSHA256, thread_mode.data(), 32};
    ASSERT_EQ(bd_hash_digest(d.get(), &get), 0);
    EXPECT_EQ(window_sha256(d.get(), 1), want);  // whole-range SHA-256 keeps one thread
    const bd_hash_digest_req get2{FILE_HASH_PSHA256, pool_mode.data(), 32};
    ASSERT_EQ(bd_hash_digest(d.get(), &get2), 0);
    EXPECT_EQ(thread_mode, pool_mode);

    // The byte count of the window, against a count of the same bytes here.
    bd_bcount_req count{};
    count.param.block_size = 65536;
    count.param.use_pool = 1;
    ASSERT_EQ(bd_bcount_open(d.get(), &count), 0) << bd_errstr(d.get());
    const bd_range_req range{0, k_p2_size};
    ASSERT_EQ(bd_bcount_cal(d.get(), &range), 0) << bd_errstr(d.get());
    std::array<uint64_t, 256> want_counts{};
    for (uint64_t i = k_p2_start; i < k_p2_start + k_p2_size; i++)
        want_counts[bytes_[i]]++;
    EXPECT_TRUE(std::equal(want_counts.begin(), want_counts.end(), d->bcount->counters));

    const bd_range_req past{k_p2_size - 100, 1000};
    EXPECT_EQ(bd_bcount_cal(d.get(), &past), -1) << "a range past the window";
}

TEST_F(BdTool, OffsetExportHashesFromItsOffset)
{
    dev_ptr d = open(img_ + "?sector_off=8");
    ASSERT_TRUE(d);
    EXPECT_EQ(window_sha256(d.get()), dd_sha256("skip=8"));
}

TEST_F(BdTool, CipherExportHashesTheClearText)
{
    const std::string aes = img_ + "?alg=aes&key=" + k_key;
    constexpr uint64_t len = 256 * 1024;
    {
        dev_ptr w = open(aes, BD_OPEN_RDWR);
        ASSERT_TRUE(w);
        // Every chunk goes through the cipher; the executor's buffer stays clear.
        ASSERT_EQ(bd_pwritex_init(w.get(), 0x5A, 4096), 0) << bd_errstr(w.get());
        ASSERT_EQ(bd_pwritex(w.get(), 0, len, 0), 0) << bd_errstr(w.get());
        EXPECT_EQ(w->pwx.buf[0], 0x5A);
    }
    const std::string clear = dir_.write("clear.bin", std::vector<uint8_t>(len, 0x5A));
    const std::string want = command_out("sha256sum '" + clear + "'").substr(0, 64);
    dev_ptr d = open(aes);
    ASSERT_TRUE(d);
    bd_hash_req req{};
    req.param.flags = FILE_HASH_SHA256;
    req.param.block_size = 4096;
    ASSERT_EQ(bd_hash_open(d.get(), &req), 0) << bd_errstr(d.get());
    const bd_range_req range{0, len};
    ASSERT_EQ(bd_hash_cal(d.get(), &range), 0) << bd_errstr(d.get());
    std::array<uint8_t, 32> digest{};
    const bd_hash_digest_req get{FILE_HASH_SHA256, digest.data(), 32};
    ASSERT_EQ(bd_hash_digest(d.get(), &get), 0);
    EXPECT_EQ(hex_of(digest.data(), 32), want);
    EXPECT_NE(dd_sha256("count=512"), want) << "the medium holds ciphertext";
}

TEST_F(BdTool, ExecutorWritesInsideTheWindowOnly)
{
    if (!partition())
        GTEST_SKIP() << "sfdisk is not installed (make test installs fdisk)";
    {
        dev_ptr d = open(img_ + "?vol_idx=2", BD_OPEN_RDWR);
        ASSERT_TRUE(d);
        ASSERT_EQ(bd_pwritex_init(d.get(), 0xEE, 4096), 0);
        EXPECT_EQ(bd_pwritex(d.get(), 0, 10000, 0), 0) << bd_errstr(d.get());
        EXPECT_EQ(bd_pwritex(d.get(), 0, 10000, k_p2_size - 100), -1) << "past the window's end";
    }
    std::vector<uint8_t> now(bytes_.size());
    FILE *f = fopen(img_.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fread(now.data(), 1, now.size(), f), now.size());
    fclose(f);
    EXPECT_EQ(std::vector<uint8_t>(now.begin() + k_p2_start, now.begin() + k_p2_start + 10000),
              std::vector<uint8_t>(10000, 0xEE));
    EXPECT_EQ(now[k_p2_start - 1], bytes_[k_p2_start - 1]);
    EXPECT_EQ(now[k_p2_start + 10000], bytes_[k_p2_start + 10000]);
    EXPECT_EQ(std::vector<uint8_t>(now.begin() + k_p2_start + k_p2_size, now.end()),
              std::vector<uint8_t>(bytes_.begin() + k_p2_start + k_p2_size, bytes_.end()));

    dev_ptr ro = open(img_);
    ASSERT_EQ(bd_pwritex_init(ro.get(), 1, 4096), 0);
    EXPECT_EQ(bd_pwritex(ro.get(), 0, 4096, 0), -1) << "a read-only export";
}

TEST_F(BdTool, CallsWithoutTheirJobFail)
{
    dev_ptr d = open(img_);
    ASSERT_TRUE(d);
    const bd_range_req range{0, 4096};
    EXPECT_EQ(bd_hash_cal(d.get(), &range), -1);
    EXPECT_EQ(bd_errno(d.get()), -2);
    EXPECT_EQ(bd_bcount_cal(d.get(), &range), -1);
    EXPECT_EQ(bd_pwritex(d.get(), 0, 4096, 0), -1);
    bd_hash_req req{};
    req.param.flags = 0x2000;
    req.param.block_size = 4096;
    EXPECT_EQ(bd_hash_open(d.get(), &req), -1);
    EXPECT_EQ(bd_errno(d.get()), -37);
    EXPECT_EQ(bd_pwritex_init(d.get(), 0, 0), -1) << "buffer size 0";
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_PWRITEX_INIT, nullptr, 0), -1);
    // A job left open is released with the device.
    req.param.flags = FILE_HASH_MD5;
    req.param.use_pool = 1;
    ASSERT_EQ(bd_hash_open(d.get(), &req), 0);
    ASSERT_EQ(bd_hash_cal(d.get(), &range), 0);
}

}  // namespace
