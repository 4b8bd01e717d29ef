// Encrypted exports end to end through the block layer: what a write leaves
// on the medium is XTS-AES-256 of the independent computation, units counted
// from the export's first byte (not the file's), and a read gives the
// plaintext back; on both AES paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cipher_paths.h"
#include "libblock/block.h"
#include "libpal/os/os_file.h"
#include "libqdcli/client.h"
#include "xts_reference.h"

namespace {

struct dev_closer {
    void operator()(bd_dev *d) const { bd_close(d); }
};
using dev_ptr = std::unique_ptr<bd_dev, dev_closer>;

std::vector<uint8_t> file_bytes(const std::string &path, uint64_t at, size_t len)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(at));
    std::vector<uint8_t> v(len);
    f.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(len));
    return v;
}

class BlockCrypt : public CipherPath {
protected:
    void SetUp() override
    {
        CipherPath::SetUp();
        if (IsSkipped())
            return;
        char tmpl[] = "/tmp/block_crypt_XXXXXX";
        dir_ = mkdtemp(tmpl);
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        bd_init();
        image_ = dir_ + "/disk.img";
        std::ofstream(image_, std::ios::binary) << std::string(1 << 16, '\xEE');
    }
    void TearDown() override
    {
        if (!dir_.empty())
            (void)system(("rm -rf '" + dir_ + "'").c_str());
        CipherPath::TearDown();
    }
    std::string dir_, image_;
};

// Writes of 512 bytes at 0 and 4096 bytes at byte 1024 (units 2 to 9) under
// the all-zero key, a key of one non-zero byte and a key of 32 different
// bytes; the window starts at sector 8 in the last row, and its units still
// count from its own first byte.
TEST_P(BlockCrypt, MediumHoldsIndependentXtsAndReadsBack)
{
    const std::string zero_key(64, '0');
    const std::string one_byte_key = "5a" + std::string(62, '0');
    const std::string full_key = "00112233445566778899aabbccddeeff102132435465768798a9bacbdcedfe0f";
    const struct { std::string query; std::string key; uint64_t window; } rows[] = {
        {"?alg=aes&key=" + zero_key, zero_key, 0},
        {"?alg=aes&key=" + one_byte_key, one_byte_key, 0},
        {"?alg=aes&key=" + full_key, full_key, 0},
        {"?alg=aes&key=" + one_byte_key + "&sector_off=8", one_byte_key, 4096},
    };
    const struct { uint64_t offset; size_t len; } writes[] = {{0, 512}, {1024, 4096}};
    xts_reference ref;
    std::vector<std::vector<uint8_t>> on_medium;
    for (const auto &r : rows) {
        char err[4096] = "";
        dev_ptr d(bd_open((image_ + r.query).c_str(), OS_PF_RDWR, err));
        ASSERT_TRUE(d) << err;
        ASSERT_NE(d->cipher, nullptr);
        for (const auto &w : writes) {
            const auto plain = pattern(w.len, static_cast<uint32_t>(w.offset + r.window));
            auto buf = plain;
            ASSERT_EQ(bd_pwrite(d.get(), buf.data(), static_cast<uint32_t>(buf.size()), w.offset),
                      static_cast<int64_t>(w.len));
            std::vector<uint8_t> back(w.len);
            ASSERT_EQ(bd_pread(d.get(), back.data(), static_cast<uint32_t>(back.size()), w.offset),
                      static_cast<int64_t>(w.len));
            EXPECT_EQ(back, plain) << r.query;
            ref.add("enc", r.key, static_cast<int64_t>(w.offset), plain);
            on_medium.push_back(file_bytes(image_, r.window + w.offset, w.len));
        }
    }
    const auto want = ref.run();
    ASSERT_EQ(want.size(), on_medium.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(on_medium[i], want[i]) << rows[i / 2].query << " write " << i % 2;
}

TEST_P(BlockCrypt, UnalignedRequestsAreRefusedAndWriteNothing)
{
    char err[4096] = "";
    dev_ptr d(bd_open((image_ + "?alg=aes&key=01" + std::string(62, '0')).c_str(), OS_PF_RDWR, err));
    ASSERT_TRUE(d) << err;
    std::vector<uint8_t> buf(1024, 0x42);
    EXPECT_EQ(bd_pwrite(d.get(), buf.data(), 100, 0), -1);
    EXPECT_EQ(bd_pwrite(d.get(), buf.data(), 512, 100), -1);
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 512, 100), -1);
    EXPECT_EQ(file_bytes(image_, 0, 1024), std::vector<uint8_t>(1024, 0xEE));
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockCrypt, testing::ValuesIn(k_cipher_paths), cipher_path_test_name);

}  // namespace
