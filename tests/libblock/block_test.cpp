#include "libblock/block.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../libpal/os_file_fixture.h"
#include "../libpal/str_log_capture.h"
#include "../support/on_leave.h"
#include "sync_seam.h"

#include "libpal/os/os_file.h"
#include "libpal/string/url.h"
#include "libqdcli/client.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

size_t open_fd_count()
{
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) n++;
        closedir(d);
    }
    return n;
}

// A file of size bytes where byte i holds i * 7 mod 251, so any window
// shows where it reads from.
std::string pattern(size_t size, size_t from = 0)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++) s[i] = static_cast<char>(((from + i) * 7) % 251);
    return s;
}

struct dev_closer {
    void operator()(bd_dev *d) const { bd_close(d); }
};
using dev_ptr = std::unique_ptr<bd_dev, dev_closer>;

class BlockDev : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        unsetenv("QD_ENV_CONF_DIR");
        qd_conf_set_path(dir_.c_str());
        bd_init();
        image_ = make_file("disk.img", pattern(kMiB));
    }
    dev_ptr open(const std::string &name, uint64_t flags = OS_PF_RDONLY)
    {
        err_.assign(VERR_MSG_SIZE, '\0');
        return dev_ptr(bd_open(name.c_str(), flags, err_.data()));
    }
    std::string err() const { return err_.c_str(); }
    std::string image_;
    std::string err_;
};

TEST_F(BlockDev, PlainFileOpensWholeThroughTheFileDriver)
{
    dev_ptr d = open(image_);
    ASSERT_TRUE(d) << err();
    EXPECT_STREQ(bd_drv_name(d.get()), "file");
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kMiB));
    EXPECT_EQ(d->sector_size, 512u);
    EXPECT_EQ(d->vol_start, 0u);
    EXPECT_EQ(d->vol_size, kMiB);
    EXPECT_STREQ(d->name, image_.c_str());
    std::string buf(4096, '\0');
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 4096, 8192), 4096);
    EXPECT_EQ(buf, pattern(4096, 8192));
    EXPECT_STREQ(bd_drv_name_by_name(image_.c_str()), "file");
    EXPECT_EQ(bd_drv_type_by_name(image_.c_str()), 1u);
}

TEST_F(BlockDev, EveryNameGetsTheClientTimeoutsUnlessItNamesThem)
{
    log_capture logs;
    dev_ptr d = open(image_, OS_PF_RDONLY | BD_OPEN_PROBE);
    ASSERT_TRUE(d) << err();
    EXPECT_STREQ(bd_drv_name(d.get()), "file") << "no plug-in takes a plain path";
    EXPECT_TRUE(logs.has(image_ + "?connect_timeout=6&read_timeout=15&write_timeout=8]"));
    EXPECT_TRUE(logs.has("flag=0x8001 "));

    make_file("qd_client.ini", "[conf]\nread_timeout=3\nconnect_timeout=4\n");
    logs.clear();
    d = open(image_ + "?connect_timeout=9");
    ASSERT_TRUE(d) << err();
    EXPECT_TRUE(logs.has(image_ + "?connect_timeout=9&read_timeout=3&write_timeout=8]"));
}

TEST_F(BlockDev, CipheredIoMustBeAlignedToWholeUnits)
{
    dev_ptr d = open(image_);
    ASSERT_TRUE(d) << err();
    log_capture logs;
    struct {
        uint32_t len;
        uint64_t offset;
        const char *text;
    } rows[] = {
        {100, 0, "len=100 err: must 512 alignment"},
        {512, 100, "offset=100 err: must 512 alignment"},
        {512, BD_OFFSET_CUR, "offset=-1 err: must 512 alignment"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(bd_crypt_check(d.get(), row.len, row.offset), -1);
        EXPECT_EQ(bd_errno(d.get()), -2);
        EXPECT_STREQ(bd_errstr(d.get()), row.text);
        EXPECT_TRUE(logs.has(row.text));
    }
    EXPECT_EQ(bd_crypt_check(d.get(), 4096, 1024), 0);
}

TEST_F(BlockDev, SectorOffsetAndSectorSizeSetTheWindow)
{
    struct {
        const char *query;
        uint32_t sector;
        uint64_t start;
    } rows[] = {
        {"?sector_off=8", 512, 4096},
        {"?sector_size=4096&sector_off=8", 4096, 32768},
        {"?sector_size=1024", 1024, 0},
        {"?sector_off=0", 512, 0},
    };
    for (const auto &row : rows) {
        dev_ptr d = open(image_ + row.query);
        ASSERT_TRUE(d) << row.query << ": " << err();
        EXPECT_EQ(d->sector_size, row.sector) << row.query;
        EXPECT_EQ(d->vol_start, row.start) << row.query;
        EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kMiB - row.start)) << row.query;
        std::string buf(512, '\0');
        EXPECT_EQ(bd_pread(d.get(), buf.data(), 512, 0), 512);
        EXPECT_EQ(buf, pattern(512, row.start)) << row.query;
        EXPECT_EQ(bd_tell(d.get()), 0) << "positioned at the window's start";
    }
}

TEST_F(BlockDev, WritesLandInsideTheWindow)
{
    dev_ptr d = open(image_ + "?sector_off=2", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    std::string data(512, 'w');
    EXPECT_EQ(bd_pwrite(d.get(), data.data(), 512, 512), 512);
    EXPECT_EQ(bd_sync(d.get()), 0);
    std::string file = read_file(image_);
    EXPECT_EQ(file.substr(1536, 512), data);
    EXPECT_EQ(file.substr(1024, 512), pattern(512, 1024));
    // The current-position forms follow seek and tell inside the window.
    EXPECT_EQ(bd_seek(d.get(), 2048), 0);
    EXPECT_EQ(bd_tell(d.get()), 2048);
    std::string buf(100, '\0');
    EXPECT_EQ(bd_read(d.get(), buf.data(), 100), 100);
    EXPECT_EQ(buf, pattern(100, 1024 + 2048));
}

TEST_F(BlockDev, RequestsCrossingTheEndAreRefusedBeforeAnyIo)
{
    dev_ptr d = open(image_ + "?sector_off=8", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    const uint64_t size = kMiB - 4096;
    std::string buf(4096, 'x');
    struct {
        uint32_t len;
        uint64_t offset;
    } rows[] = {
        {4096, size - 4095}, {1, size}, {4096, UINT64_MAX - 100}, {UINT32_MAX, 0}, {2, UINT64_MAX - 1},
    };
    for (const auto &row : rows) {
        std::vector<char> big(1);
        void *p = row.len <= buf.size() ? buf.data() : big.data();
        EXPECT_EQ(bd_pread(d.get(), p, row.len, row.offset), -1) << row.offset;
        EXPECT_EQ(bd_errno(d.get()), -2);
        EXPECT_EQ(bd_pwrite(d.get(), p, row.len, row.offset), -1) << row.offset;
        EXPECT_EQ(bd_errno(d.get()), -152);
        EXPECT_NE(std::string(bd_errstr(d.get())).find("beyond the end"), std::string::npos);
    }
    EXPECT_EQ(read_file(image_), pattern(kMiB)) << "nothing was written";
    // Exactly up to the end is fine.
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 4096, size - 4096), 4096);
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 0, size), 0);
}

TEST_F(BlockDev, ReadOnlyOpensRefuseWritesAndSaySo)
{
    // "readonly" among the words of flags wins, wherever it stands.
    for (auto [name, flags] : {std::pair{image_, OS_PF_RDONLY}, std::pair{image_ + "?flags=rw", OS_PF_RDONLY},
                               std::pair{image_ + "?flags=rw,rw,readonly", OS_PF_RDWR},
                               std::pair{image_ + "?flags=readonly,rw", BD_OPEN_NBD | BD_OPEN_RDWR},
                               std::pair{image_ + "?flags=readonly-sync.rw", BD_OPEN_NBD | BD_OPEN_RDWR},
                               std::pair{image_ + "?flags=ReadOnly,RW", BD_OPEN_NBD | BD_OPEN_RDWR},
                               std::pair{image_ + "?flags=readonly", BD_OPEN_NBD | BD_OPEN_RDWR},
                               std::pair{image_, BD_OPEN_NBD | BD_OPEN_RDONLY}}) {
        dev_ptr d = open(name, flags);
        ASSERT_TRUE(d) << name << ": " << err();
        EXPECT_TRUE(bd_is_readonly(d.get())) << name;
        std::string data(512, 'w');
        EXPECT_EQ(bd_pwrite(d.get(), data.data(), 512, 0), -1) << name;
        EXPECT_EQ(bd_errno(d.get()), -38) << name;
        EXPECT_EQ(bd_pwrite_zeroes(d.get(), 512, 0), -1) << name;
        EXPECT_EQ(bd_errno(d.get()), -38) << name;
    }
    EXPECT_EQ(read_file(image_), pattern(kMiB));
    dev_ptr d = open(image_, BD_OPEN_NBD | BD_OPEN_RDWR);
    ASSERT_TRUE(d) << err();
    EXPECT_FALSE(bd_is_readonly(d.get()));
}

TEST_F(BlockDev, OnlyRegularFilesAndBlockDevicesAreOpened)
{
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string sock_path = path("sock");
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    std::string to_fifo = path("to_fifo");
    ASSERT_EQ(symlink(fifo.c_str(), to_fifo.c_str()), 0);
    size_t fds = open_fd_count();
    // "/dev/null" and "/dev/zero" are built-in devices; "/dev/full" is a real
    // character device opened through the local table.
    for (const std::string &name : {fifo, sock_path, to_fifo, std::string("/dev/null"), std::string("/dev/zero"),
                                    std::string("/dev/full"), fifo + "?flags=readonly"}) {
        for (uint64_t flags : {BD_OPEN_NBD | BD_OPEN_RDWR, uint64_t{OS_PF_RDONLY}}) {
            dev_ptr d = open(name, flags);
            EXPECT_FALSE(d) << name;
            std::string path_only = name.substr(0, name.find('?'));
            EXPECT_EQ(err(), "not a regular file or block device: " + path_only) << name;
        }
    }
    EXPECT_EQ(open_fd_count(), fds) << "nothing left open";
    // Nothing holds the FIFO open: a writer finds no reader.
    EXPECT_EQ(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ENXIO);
    close(sock);

    std::string to_image = path("to_image");
    ASSERT_EQ(symlink(image_.c_str(), to_image.c_str()), 0);
    dev_ptr d = open(to_image, BD_OPEN_NBD | BD_OPEN_RDWR);
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kMiB));
}

TEST_F(BlockDev, WriteZeroesClearsOnlyItsRangeInsideTheWindow)
{
    dev_ptr d = open(image_ + "?sector_off=8", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    const uint64_t size = kMiB - 4096;
    struct {
        uint64_t len;
        uint64_t offset;
    } rows[] = {{10000, 1000}, {4096, 0}, {512, size - 512}, {1, 70000}};
    std::string want = pattern(kMiB);
    for (const auto &row : rows) {
        EXPECT_EQ(bd_pwrite_zeroes(d.get(), row.len, row.offset), static_cast<int64_t>(row.len)) << row.offset;
        want.replace(4096 + row.offset, row.len, row.len, '\0');
    }
    EXPECT_EQ(read_file(image_), want);

    struct {
        uint64_t len;
        uint64_t offset;
        int code;
    } refused[] = {
        {513, size - 512, -152}, {1, size, -152}, {UINT64_MAX, 1, -152}, {512, UINT64_MAX - 10, -152},
        {512, BD_OFFSET_CUR, -2},
    };
    for (const auto &row : refused) {
        EXPECT_EQ(bd_pwrite_zeroes(d.get(), row.len, row.offset), -1) << row.offset;
        EXPECT_EQ(bd_errno(d.get()), row.code) << row.offset;
    }
    EXPECT_EQ(bd_pwrite_zeroes(d.get(), 0, size), 0);
    EXPECT_EQ(read_file(image_), want) << "nothing written by a refused request";
}

TEST_F(BlockDev, WriteZeroesOnACipherExportStoresEncryptedZeros)
{
    std::string image = make_file("enc.img", pattern(4 * kMiB));
    dev_ptr d = open(image + "?alg=aes&key=0123456789abcdef" + std::string(48, '0') + "&sector_off=8", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    // Longer than one scratch piece, and not a whole number of them.
    const uint64_t len = kMiB + 3 * 512;
    const uint64_t at = 1024;
    ASSERT_EQ(bd_pwrite_zeroes(d.get(), len, at), static_cast<int64_t>(len));
    std::string back(len + 1024, 'x');
    ASSERT_EQ(bd_pread(d.get(), back.data(), static_cast<uint32_t>(back.size()), 0),
              static_cast<int64_t>(back.size()));
    EXPECT_EQ(back.substr(at, len), std::string(len, '\0')) << "reads back as zeros";
    std::string file = read_file(image);
    EXPECT_EQ(file.substr(0, 4096 + at), pattern(4096 + at)) << "nothing before the range";
    EXPECT_EQ(file.substr(4096 + at + len), pattern(4 * kMiB - 4096 - at - len, 4096 + at + len));
    std::string stored = file.substr(4096 + at, len);
    EXPECT_EQ(stored.find(std::string(512, '\0')), std::string::npos) << "the medium holds ciphertext";

    // Whole data units only, checked before anything is written.
    for (auto [n, off] : {std::pair<uint64_t, uint64_t>{100, 0}, {512, 100}}) {
        EXPECT_EQ(bd_pwrite_zeroes(d.get(), n, off), -1);
        EXPECT_EQ(bd_errno(d.get()), -2);
    }
    EXPECT_EQ(read_file(image), file);
}

TEST_F(BlockDev, BadNamesAreRefusedAndOpenNothing)
{
    std::string dir = dir_ + "/sub";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    struct {
        std::string name;
        const char *text;
    } rows[] = {
        {"/" + std::string(9000, 'a'), "name too long"},
        {image_ + "?vol_idx=-1", "invalid vol_idx=[-1] (0 to 1024)"},
        {image_ + "?vol_idx=x1", "invalid vol_idx=[x1] (0 to 1024)"},
        {image_ + "?vol_idx=2", "vol_idx=2: volume lookup is not in this build"},
        {image_ + "?sector_off=99999999999999999999", "invalid sector_off=[99999999999999999999]"},
        {image_ + "?sector_off=-1", "invalid sector_off=[-1]"},
        {image_ + "?sector_off=2048", "dev_offset=1048576 >= 1048576"},
        {image_ + "?sector_off=9223372036854775807", "sector_off=9223372036854775807 is too large"},
        {image_ + "?sector_size=abc", "invalid sector_size=[abc]"},
        {image_ + "?sector_size=520", "invalid sector_size=[520] (512, 1024, 2048 or 4096)"},
        {image_ + "?alg=des", "Unsupported encryption algorithm: des"},
        {image_ + "?alg=aes&key=" + std::string(62, 'z') + "zz", "invalid encryption key: (not hexadecimal)"},
        {image_ + "?alg=aes&key=" + std::string(130, '1'),
         "invalid encryption key: 130 digits, alg=aes takes exactly 64 (32 bytes)"},
        // A parameter neither the block layer nor the file driver takes.
        {image_ + "?algo=aes", "unknown parameter [algo]: neither the block layer nor the driver \"file\" takes it"},
        {image_ + "?algo=aes&key=" + std::string(64, '0'), "a key is given without alg"},
        {image_ + "?volidx=2", "unknown parameter [volidx]"},
        {image_ + "?sector_off=1&Alg=aes", "unknown parameter [Alg]"},
        {image_ + "?%61lg=aes", "unknown parameter [%61lg]"},
        // The query readers stop at an item without "=": what follows it
        // (here the cipher) would go unread.
        {image_ + "?readonly&alg=aes&key=" + std::string(64, '0'), "parameter [readonly] has no value"},
        {image_ + "?vol_idx&alg=aes&key=" + std::string(64, '0'), "parameter [vol_idx] has no value"},
        {dir, "Is a directory"},
        {dir_ + "/missing.img", "No such file or directory"},
    };
    size_t fds = open_fd_count();
    for (const auto &row : rows) {
        dev_ptr d = open(row.name, OS_PF_RDWR);
        EXPECT_FALSE(d) << row.name.substr(0, 200);
        EXPECT_NE(err().find(row.text), std::string::npos) << row.name.substr(0, 200) << " -> " << err();
    }
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_EQ(read_file(image_), pattern(kMiB));
}

// A name that would store clear text under a key, or widen what it asked to
// be read-only, is refused before the file is opened; every refusal is
// checked on a writable open, with a write tried on whatever opened.
TEST_F(BlockDev, NamesThatWouldStoreClearTextOrWidenAccessAreRefused)
{
    const std::string key(64, 'a');
    const std::string key2(64, 'b');
    struct {
        std::string query;
        const char *text;
    } rows[] = {
        {"?key=" + key, "a key is given without alg"},
        {"?key=", "a key is given without alg"},
        {"?flags=rw&key=" + key, "a key is given without alg"},
        {"?alg=&key=" + key, "empty alg="},
        {"?alg=", "empty alg="},
        {"?alg= &key=" + key, "empty alg="},
        {"?alg=&alg=aes&key=" + key, "parameter [alg] is named more than once"},
        {"?alg=aes&alg=aes&key=" + key, "parameter [alg] is named more than once"},
        {"?alg=aes&key=" + key + "&key=" + key2, "parameter [key] is named more than once"},
        {"?flags=rw&flags=readonly", "parameter [flags] is named more than once"},
        {"?flags=readonly&flags=rw", "parameter [flags] is named more than once"},
        {"?sector_off=0&sector_off=8", "parameter [sector_off] is named more than once"},
        {"?vol_idx=0& vol_idx=0", "parameter [vol_idx] is named more than once"},
        {"?sector_size=512&read_timeout=3&sector_size=4096", "parameter [sector_size] is named more than once"},
        {"?read_timeout=3&read_timeout=4", "parameter [read_timeout] is named more than once"},
    };
    for (const auto &row : rows) {
        dev_ptr d = open(image_ + row.query, BD_OPEN_NBD | BD_OPEN_RDWR);
        if (d) {
            std::string data(512, 'w');
            bd_pwrite(d.get(), data.data(), 512, 0);
        }
        EXPECT_FALSE(d) << row.query;
        EXPECT_NE(err().find(row.text), std::string::npos) << row.query << " -> " << err();
        EXPECT_EQ(err().find(key), std::string::npos) << err();
        EXPECT_EQ(err().find(key2), std::string::npos) << err();
    }
    EXPECT_TRUE(read_file(image_) == pattern(kMiB)) << "the file was written";
}

TEST_F(BlockDev, KeysReachNoLogLineAndNoErrorText)
{
    log_capture logs;
    const std::string secrets[] = {"5ec2e75ec2e7" + std::string(52, '0'), "5ec2e7zz5ec2e7" + std::string(50, '0'),
                                   "5ec2e75ec2e7"};
    for (const auto &key : secrets) {
        dev_ptr d = open(image_ + "?alg=aes&key=" + key + "&sector_off=2048");
        EXPECT_FALSE(d);
        EXPECT_EQ(err().find(key), std::string::npos) << err();
        dev_ptr plain = open(image_ + "?key=" + key);
        EXPECT_FALSE(plain);
        EXPECT_EQ(err().find(key), std::string::npos) << err();
    }
    ASSERT_FALSE(logs.all().empty());
    for (const auto &line : logs.all())
        for (const auto &key : secrets) EXPECT_EQ(line.text.find(key), std::string::npos) << line.text;
}

// Spellings of "key" that the readers refuse still carry the key the client
// meant: the refusal is logged with the name, and no sink may show the key.
TEST_F(BlockDev, KeysHoweverSpeltReachNoLogLine)
{
    const std::string key = "5ec2e7" + std::string(58, 'a');
    const std::string queries[] = {
        "?alg=aes&KEY=" + key,       "?alg=aes&Key=" + key,       "?alg=aes&%20key=" + key,
        "?alg=aes&key%3D" + key,     "?key%3D" + key,             "?alg=aes&key=" + key + "&bogus=1",
        "?bogus=1&alg=aes&key=" + key, "?alg=aes&+KEY+=" + key,
    };
    // Half the key is as good as the whole to anyone who reads the log.
    const std::string half = key.substr(0, 32);
    for (const std::string &q : queries) {
        log_capture logs;
        const std::string name = image_ + q;
        dev_ptr d = open(name);
        EXPECT_FALSE(d) << q;
        EXPECT_EQ(err().find(half), std::string::npos) << err();
        // The name as the server logs it beside the refusal.
        char safe[URL_BUF_SIZE];
        EXPECT_EQ(std::string(url_safe_fmt(name.c_str(), safe)).find(half), std::string::npos) << safe;
        for (const auto &line : logs.all()) EXPECT_EQ(line.text.find(half), std::string::npos) << line.text;
    }
}

TEST_F(BlockDev, ControlsAndDeviceInformation)
{
    dev_ptr d = open(image_ + "?sector_off=8", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    bd_dev_info info{};
    ASSERT_EQ(bd_ioctl(d.get(), GET_DEV_INFO, &info, sizeof(info)), 0);
    EXPECT_EQ(info.dev_type, 2u);
    EXPECT_EQ(info.size_type, BLOCK_SIZE_EXTENSIBLE);
    EXPECT_STREQ(info.size_type_name, "extensible size type");
    EXPECT_STREQ(info.type_name, "file");
    EXPECT_EQ(info.vol_start, 4096u);
    EXPECT_EQ(info.size, kMiB - 4096);
    EXPECT_EQ(info.sector_size, 512u);

    uint64_t u64 = 0;
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_MAX_NAME, &u64, sizeof(u64)), 0);
    EXPECT_EQ(u64, 4095u);
    uint32_t u32 = 1;
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_ZERO_ID, &u32, sizeof(u32)), 0);
    EXPECT_EQ(u32, 0u);
    bd_volume vol{};
    EXPECT_EQ(bd_volume_get(d.get(), &vol), 0);
    EXPECT_EQ(vol.start, 4096u);
    EXPECT_EQ(vol.size, kMiB - 4096);
    std::array<char, 4096> name{};
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_NAME, name.data(), name.size()), 0);
    EXPECT_EQ(std::string(name.data()), image_ + "?sector_off=8");
    bd_zero_rec rec{};
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_ZERO_GET, &rec, sizeof(rec)), -1);
    EXPECT_STREQ(bd_errstr(d.get()), "Not supported.");
    verr copy{};
    EXPECT_EQ(bd_error_copy(d.get(), &copy), 0);
    EXPECT_EQ(copy.code, -37);
    EXPECT_EQ(bd_ioctl(d.get(), BD_IOCTL_NOT_IMPLEMENTED, nullptr, 0), -1);
    EXPECT_EQ(bd_load_plugins("a.so"), 0);  // a missing plug-in loads nothing
    EXPECT_EQ(bd_load_conf_plugins("zorv.ini"), -1);

    // Truncate sets the underlying file's length, not the window's.
    EXPECT_EQ(bd_truncate(d.get(), 2 * kMiB), 0);
    EXPECT_EQ(read_file(image_).size(), 2 * kMiB);
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(kMiB - 4096)) << "the window stays as opened";
}

TEST_F(BlockDev, ReadBytesServesAnyRange)
{
    dev_ptr d = open(image_ + "?sector_size=4096&sector_off=1");
    ASSERT_TRUE(d) << err();
    std::string buf(5000, '\0');
    EXPECT_EQ(bd_read_bytes(d.get(), buf.data(), 5000, 4000), 5000);
    EXPECT_EQ(buf, pattern(5000, 4096 + 4000));
    EXPECT_EQ(bd_read_bytes(d.get(), buf.data(), 10, kMiB - 4096 - 10), 10);
    EXPECT_EQ(buf.substr(0, 10), pattern(10, kMiB - 10));
    EXPECT_EQ(bd_read_bytes(d.get(), buf.data(), 11, kMiB - 4096 - 10), -1);
}

TEST_F(BlockDev, EmptyFileFollowsItsGrowth)
{
    std::string empty = make_file("empty.img", "");
    dev_ptr d = open(empty, OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(bd_size(d.get()), 0);
    make_file("empty.img", std::string(8192, 'e'));
    EXPECT_EQ(bd_size(d.get()), 8192);
    // A write beyond the file's size is refused; growth is tested and undone.
    EXPECT_EQ(bd_extend_test(d.get(), 8192, 4096), 0);
    EXPECT_EQ(read_file(empty).size(), 8192u);
    EXPECT_EQ(bd_extend_test(d.get(), 0, 4096), 0);
}

TEST_F(BlockDev, ExtendTestNeverCutsAMediumBehindTheWindow)
{
    bd_volume vol{4096, 8192};
    bd_set_vol_finder([](const char *, int, bd_volume *out, char *) {
        *out = {4096, 8192};
        return 0;
    });
    dev_ptr d = open(image_ + "?vol_idx=1", OS_PF_RDWR);
    bd_set_vol_finder(nullptr);
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(vol.size));
    EXPECT_EQ(bd_extend_test(d.get(), 8192, 512), 1);
    EXPECT_EQ(read_file(image_), pattern(kMiB));
}

TEST_F(BlockDev, VolumeFinderSetsTheWindow)
{
    static std::string seen_name;
    static int seen_index;
    bd_set_vol_finder([](const char *name, int index, bd_volume *out, char *err) {
        seen_name = name;
        seen_index = index;
        if (index > 2) {
            snprintf(err, 4096, "vol_idx=%d valid values: 1-%d", index, 2);
            return -1;
        }
        *out = {65536, 3 * kMiB};  // runs past the medium's end: cut there
        return 0;
    });
    dev_ptr d = open(image_ + "?vol_idx=2&sector_off=8");
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(seen_index, 2);
    // The finder reads the medium as stored: no window, offset or cipher.
    EXPECT_EQ(seen_name.rfind(image_ + "?", 0), 0u) << seen_name;
    for (const char *param : {"vol_idx", "sector_off", "alg", "key"})
        EXPECT_FALSE(url_has_query(seen_name.c_str(), param)) << seen_name;
    EXPECT_EQ(d->vol_start, 65536u + 4096u);
    EXPECT_EQ(d->vol_size, kMiB - 65536 - 4096);
    std::string buf(512, '\0');
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 512, 0), 512);
    EXPECT_EQ(buf, pattern(512, 65536 + 4096));

    EXPECT_FALSE(open(image_ + "?vol_idx=3"));
    EXPECT_EQ(err(), "vol_idx=3 valid values: 1-2");
    bd_set_vol_finder([](const char *, int, bd_volume *out, char *) {
        *out = {2 * kMiB, kMiB};
        return 0;
    });
    EXPECT_FALSE(open(image_ + "?vol_idx=1"));
    EXPECT_EQ(err(), "volume size error [start=2097152 size=1048576]");
    bd_set_vol_finder(nullptr);
}

TEST_F(BlockDev, SessionNamesResolveThroughTheClientConfiguration)
{
    make_file("qd_client.ini", "[session/localhost]\nprot=loc\n");
    dev_ptr d = open("///localhost" + image_ + "?sector_off=1");
    ASSERT_TRUE(d) << err();
    EXPECT_EQ(d->vol_start, 512u);
    EXPECT_FALSE(open("///nobody" + image_));
    EXPECT_EQ(err(), "'nobody' does not exist");
}

TEST_F(BlockDev, ZeroPairNeedsAnIdentityBothSidesShare)
{
    dev_ptr a = open(image_);
    dev_ptr b = open(image_, OS_PF_RDWR);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(bd_zero_pair(a.get(), b.get(), nullptr), 0);
    EXPECT_EQ(a->zero_read, 0);
    EXPECT_EQ(b->zero_write, 0);
    EXPECT_EQ(bd_zero_pair_clear(a.get(), b.get()), 0);
}

TEST_F(BlockDev, OpticalImagesAreKnownByTheirVolumeDescriptor)
{
    auto image = [&](const char *name, std::string magic) {
        std::string data(40960, '\0');
        data.replace(32768, magic.size(), magic);
        return make_file(name, data);
    };
    EXPECT_EQ(bd_is_optical_image(image("cd.iso", std::string("\x01" "CD001\x01", 7)).c_str()), 1);
    EXPECT_EQ(bd_is_optical_image(image("udf.img", std::string("\0BEA01\x01", 7)).c_str()), 1);
    EXPECT_EQ(bd_is_optical_image(image("no.img", "CD001").c_str()), 0);
    EXPECT_EQ(bd_is_optical_image(make_file("short.img", std::string(1000, '\0')).c_str()), 0);
    EXPECT_EQ(bd_is_optical_image((dir_ + "/missing").c_str()), 0);
}

// 60 more hexadecimal digits: with "0102" in front, a whole key.
#define KEY_TAIL "000000000000000000000000000000000000000000000000000000000000"

TEST(BlockOpenArgs, ParseReadsTheNameAsTheOpenWill)
{
    struct {
        const char *url;
        uint64_t flags;
        uint32_t sector_size;
        int32_t vol_idx;
        int64_t sector_off;
        bool readonly;
        const char *alg;
    } rows[] = {
        {"/d.img", BD_OPEN_NBD | BD_OPEN_RDWR, 512, 0, 0, false, ""},
        {"/d.img", BD_OPEN_NBD | BD_OPEN_RDONLY, 512, 0, 0, true, ""},
        {"/d.img", 0, 512, 0, 0, true, ""},
        {"/d.img?read_timeout=3", OS_PF_WRONLY, 0, 0, 0, false, ""},
        {"/d.img?sector_size=4096&vol_idx=2&sector_off=+8", OS_PF_RDWR, 4096, 2, 8, false, ""},
        {"/d.img?flags=readonly", BD_OPEN_NBD | BD_OPEN_RDWR, 0, 0, 0, true, ""},
        {"/d.img?flags=rw", BD_OPEN_NBD | BD_OPEN_RDONLY, 0, 0, 0, true, ""},
        {"/d.img?flags=rw", 0, 0, 0, 0, false, ""},
        {"/d.img?flags=readonly,rw", BD_OPEN_NBD | BD_OPEN_RDWR, 0, 0, 0, true, ""},
        {"/d.img?flags=rw.vss-readonly,rw", OS_PF_RDWR, 0, 0, 0, true, ""},
        {"/d.img?flags=sync,READONLY,rw", OS_PF_RDWR, 0, 0, 0, true, ""},
        {"/d.img?alg=aes&key=0102" KEY_TAIL, OS_PF_RDWR, 0, 0, 0, false, "aes"},
        {"tcp://host:1/d.img?sector_off=3", OS_PF_RDWR, 0, 0, 3, false, ""},
    };
    for (const auto &row : rows) {
        bd_open_args a{};
        verr err{};
        ASSERT_EQ(bd_open_args_parse(row.url, row.flags, &a, &err), 0) << row.url << ": " << verr_msg(&err);
        EXPECT_EQ(a.sector_size, row.sector_size) << row.url;
        EXPECT_EQ(a.vol_idx, row.vol_idx) << row.url;
        EXPECT_EQ(a.sector_off, row.sector_off) << row.url;
        EXPECT_EQ(a.readonly != 0, row.readonly) << row.url;
        EXPECT_STREQ(a.alg, row.alg) << row.url;
        EXPECT_EQ((a.flags & row.flags), row.flags) << "the caller's flags are kept: " << row.url;
        std::array<uint8_t, 64> key{};
        if (std::string(row.url).find("alg=aes&key=0102") != std::string::npos)
            key[0] = 1, key[1] = 2;
        EXPECT_EQ(memcmp(a.key, key.data(), key.size()), 0) << row.url;
        bd_open_args_wipe(&a);
        EXPECT_EQ(a.alg[0], '\0');
    }
}

TEST(BlockOpenArgs, TheFirstBadParameterGivesTheText)
{
    struct {
        const char *url;
        const char *text;
    } rows[] = {
        // The algorithm is judged before its key, and both before the rest.
        {"/d.img?alg=des&key=zz&sector_off=-1", "Unsupported encryption algorithm: des"},
        {"/d.img?alg=aesx", "Unsupported encryption algorithm: aesx"},
        {"/d.img?sector_off=-1&alg=aes&key=zz" KEY_TAIL "00", "invalid encryption key: (not hexadecimal)"},
        {"/d.img?vol_idx=x&sector_size=y", "invalid sector_size=[y] (512, 1024, 2048 or 4096)"},
        {"/d.img?vol_idx=-3", "invalid vol_idx=[-3] (0 to 1024)"},
        {"/d.img?vol_idx=99999999999", "invalid vol_idx=[99999999999] (0 to 1024)"},
        // A cipher's key is exactly 64 hexadecimal digits, never padded or cut.
        {"/d.img?alg=aes", "invalid encryption key: no key given"},
        {"/d.img?alg=aes&key=", "invalid encryption key: the key is empty"},
        {"/d.img?alg=aes&key=00", "invalid encryption key: 2 digits, alg=aes takes exactly 64 (32 bytes)"},
        {"/d.img?alg=aes&key=01" KEY_TAIL, "invalid encryption key: 62 digits, alg=aes takes exactly 64 (32 bytes)"},
        {"/d.img?alg=aes&key=0102" KEY_TAIL "0102" KEY_TAIL,
         "invalid encryption key: 128 digits, alg=aes takes exactly 64 (32 bytes)"},
        // Numbers outside their ranges, and words "flags" does not know.
        {"/d.img?sector_size=0", "invalid sector_size=[0] (512, 1024, 2048 or 4096)"},
        {"/d.img?sector_size=1", "invalid sector_size=[1] (512, 1024, 2048 or 4096)"},
        {"/d.img?sector_size=2147483648", "invalid sector_size=[2147483648] (512, 1024, 2048 or 4096)"},
        {"/d.img?vol_idx=1025", "invalid vol_idx=[1025] (0 to 1024)"},
        {"/d.img?sector_off=1.5", "invalid sector_off=[1.5] (0 or more sectors)"},
        {"/d.img?read_timeout=99999999999", "invalid read_timeout=[99999999999] (1 to 600 seconds)"},
        {"/d.img?write_timeout=-5", "invalid write_timeout=[-5] (1 to 600 seconds)"},
        {"/d.img?connect_timeout=abc", "invalid connect_timeout=[abc] (1 to 600 seconds)"},
        {"/d.img?read_timeout=0", "invalid read_timeout=[0] (1 to 600 seconds)"},
        {"/d.img?flags=readonyl", "invalid flags=[readonyl]: [readonyl] is not one of rw, readonly, direct, vss, sync"},
        {"/d.img?flags=rw,ro", "invalid flags=[rw,ro]: [ro] is not one of rw, readonly, direct, vss, sync"},
        {"/d.img?flags=readonly,Direct", "invalid flags=[readonly,Direct]: direct is not served (requests go "
                                         "through the page cache; sync makes each write durable before its reply)"},
        // A key with no cipher would be stored in clear; the readers see only
        // the first of a repeated name.
        {"/d.img?key=0102" KEY_TAIL, "a key is given without alg: the data would be stored in clear (use alg=aes)"},
        {"tcp://host:1/d.img?alg=&sector_off=3", "empty alg=: name the cipher (aes), or leave alg and key out"},
        {"/d.img?alg=&alg=aes&key=0102" KEY_TAIL, "parameter [alg] is named more than once"},
        {"/d.img?flags=rw&flags=readonly", "parameter [flags] is named more than once"},
        {"/d.img?sector_off=-1&sector_off=1", "parameter [sector_off] is named more than once"},
    };
    for (const auto &row : rows) {
        bd_open_args a{};
        verr err{};
        EXPECT_EQ(bd_open_args_parse(row.url, OS_PF_RDWR, &a, &err), -1) << row.url;
        EXPECT_EQ(err.code, -2) << row.url;
        EXPECT_STREQ(verr_msg(&err), row.text) << row.url;
        bd_open_args_wipe(&a);
    }
}

TEST(BlockHelpers, SectorSizesTypesAndWindowFit)
{
    for (uint32_t s : {512u, 1024u, 2048u, 4096u}) EXPECT_TRUE(bd_sector_size_valid(s));
    for (uint32_t s : {0u, 256u, 520u, 8192u}) EXPECT_FALSE(bd_sector_size_valid(s));
    EXPECT_EQ(bd_sector_size_by_index(1), 512u);
    EXPECT_EQ(bd_sector_size_by_index(4), 4096u);
    EXPECT_EQ(bd_sector_size_by_index(5), 0u);
    EXPECT_STREQ(bd_sector_sizes_text(), "512 1024 2048 4096");
    EXPECT_EQ(bd_size_type_of(5), BLOCK_SIZE_FIXED);
    EXPECT_EQ(bd_size_type_of(6), BLOCK_SIZE_FIXED);
    EXPECT_EQ(bd_size_type_of(2), BLOCK_SIZE_EXTENSIBLE);
    EXPECT_EQ(bd_size_type_of(3), BLOCK_SIZE_UNLIMITED);
    EXPECT_STREQ(bd_size_type_name(0), "error size type");
    EXPECT_STREQ(bd_size_type_name(BLOCK_SIZE_UNLIMITED), "unlimited size type");
    EXPECT_EQ(bd_vol_size_fit(100, 100, 5), 0u);
    EXPECT_EQ(bd_vol_size_fit(100, 90, 5), 5u);
    EXPECT_EQ(bd_vol_size_fit(100, 90, 50), 10u);
}

}  // namespace

namespace {

// The next sync of path fails. The file stays held open for the rest of the
// process, so that no later file of this binary gets its inode (which the
// block layer then remembers).
void arm_failed_sync(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    sync_seam::dev.store(st.st_dev);
    sync_seam::ino.store(st.st_ino);
}

size_t err_lines_naming(const log_capture &log, const std::string &piece)
{
    size_t n = 0;
    for (const auto &l : log.all())
        n += l.level == LOG2_ERR && l.text.find(piece) != std::string::npos ? 1 : 0;
    return n;
}

}  // namespace

TEST_F(BlockDev, AFailedSyncFailsEveryLaterSyncOfTheSameMedium)
{
    struct first_failure {
        const char *what;
        int (*sync)(bd_dev *);
    };
    for (const first_failure &first : {first_failure{"sync", bd_sync}, first_failure{"data sync", bd_datasync}}) {
        SCOPED_TRACE(first.what);
        const std::string name = std::string(first.what[0] == 's' ? "s" : "d") + "-lost.img";
        const std::string lost = make_file(name, std::string(64 * 1024, 'x'));
        const std::string link_path = path("link-" + name);
        ASSERT_EQ(link(lost.c_str(), link_path.c_str()), 0);
        const std::string other = make_file("other-" + name, std::string(64 * 1024, 'y'));
        dev_ptr failing = open(lost, OS_PF_RDWR);
        dev_ptr opened_before = open(lost, OS_PF_RDWR);
        dev_ptr unrelated = open(other, OS_PF_RDWR);
        ASSERT_TRUE(failing && opened_before && unrelated);
        arm_failed_sync(lost);
        const on_leave disarm{[] { sync_seam::ino.store(0); }};
        log_capture log;
        EXPECT_EQ(first.sync(failing.get()), -1);
        EXPECT_EQ(bd_errno(failing.get()), -250);

        struct later {
            const char *what;
            std::function<int()> sync;
        };
        dev_ptr by_link;
        dev_ptr window;
        const later rows[] = {
            {"the same device's sync", [&] { return bd_sync(failing.get()); }},
            {"the same device's data sync", [&] { return bd_datasync(failing.get()); }},
            {"a device opened before the failure", [&] { return bd_sync(opened_before.get()); }},
            {"a device opened after it by another path",
             [&] {
                 by_link = open(link_path, OS_PF_RDWR);
                 return by_link ? bd_datasync(by_link.get()) : 0;
             }},
            {"a window of the medium",
             [&] {
                 window = open(lost + "?sector_off=8", OS_PF_RDWR);
                 return window ? bd_sync(window.get()) : 0;
             }},
        };
        for (const later &row : rows) {
            SCOPED_TRACE(row.what);
            EXPECT_EQ(row.sync(), -1);
        }
        for (bd_dev *d : {failing.get(), opened_before.get(), by_link.get(), window.get()}) {
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(bd_errno(d), -250) << bd_errstr(d);
            EXPECT_TRUE(bd_sync_lost(d));
        }
        EXPECT_EQ(bd_sync(unrelated.get()), 0) << bd_errstr(unrelated.get());
        EXPECT_FALSE(bd_sync_lost(unrelated.get()));
        EXPECT_EQ(err_lines_naming(log, name), 1u);
        EXPECT_TRUE(log.has("Input/output error") || log.has("EIO"));
    }
}

TEST_F(BlockDev, AMediumOfAnotherGenerationIsANewMedium)
{
    const std::string file = make_file("generation.img", std::string(64 * 1024, 'g'));
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    sync_seam::born_dev.store(st.st_dev);
    sync_seam::born_sec.store(1000);
    sync_seam::born_ino.store(st.st_ino);
    const on_leave restore{[] {
        sync_seam::born_ino.store(0);
        sync_seam::ino.store(0);
    }};
    dev_ptr failing = open(file, OS_PF_RDWR);
    dev_ptr opened_before = open(file, OS_PF_RDWR);
    ASSERT_TRUE(failing && opened_before) << err();
    arm_failed_sync(file);
    EXPECT_EQ(bd_sync(failing.get()), -1);

    // Another file now has the inode number: its own generation.
    sync_seam::born_sec.store(2000);
    dev_ptr renewed = open(file, OS_PF_RDWR);
    ASSERT_TRUE(renewed) << err();
    EXPECT_EQ(bd_sync(renewed.get()), 0) << bd_errstr(renewed.get());
    EXPECT_EQ(bd_datasync(renewed.get()), 0) << bd_errstr(renewed.get());
    EXPECT_FALSE(bd_sync_lost(renewed.get()));
    // What was opened on the old medium keeps failing, and so does the old
    // medium opened again.
    EXPECT_EQ(bd_sync(opened_before.get()), -1);
    EXPECT_EQ(bd_datasync(failing.get()), -1);
    sync_seam::born_sec.store(1000);
    dev_ptr old_again = open(file, OS_PF_RDWR);
    ASSERT_TRUE(old_again) << err();
    EXPECT_EQ(bd_sync(old_again.get()), -1);
    EXPECT_TRUE(bd_sync_lost(old_again.get()));
}

// "flags=sync": each write and zeroing has its data synced before the call
// returns (so before the client's reply), whatever path it takes; without the
// word nothing is synced until asked. A sync that fails fails the write.
TEST_F(BlockDev, ASyncExportSyncsEveryWriteBeforeItReturns)
{
    const std::string file = make_file("sync.img", std::string(256 * 1024, 's'));
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    sync_seam::counted_dev.store(st.st_dev);
    sync_seam::counted_ino.store(st.st_ino);
    const on_leave stop_counting{[] { sync_seam::counted_ino.store(0); }};
    const std::string key = "&alg=aes&key=" + std::string(64, '5');
    struct {
        std::string query;
        int syncs;  // per call
    } names[] = {
        {"?flags=rw", 0},
        {"?flags=sync", 1},
        {"?flags=rw,SYNC" + key, 1},
        {"?sector_off=8&flags=sync", 1},
    };
    struct {
        const char *what;
        int64_t (*call)(bd_dev *);
    } calls[] = {
        {"write", [](bd_dev *d) { std::string b(4096, 'w'); return bd_pwrite(d, b.data(), 4096, 8192) - 4096; }},
        {"zeroes", [](bd_dev *d) { return bd_pwrite_zeroes(d, 65536, 16384) - 65536; }},
        {"write by its zero-transfer entry",
         [](bd_dev *d) { std::string b(512, 'z'); return bd_pwritez(d, b.data(), 512, nullptr, 0) - 512; }},
    };
    for (const auto &name : names) {
        dev_ptr d = open(file + name.query, OS_PF_RDWR);
        ASSERT_TRUE(d) << name.query << ": " << err();
        for (const auto &call : calls) {
            sync_seam::syncs.store(0);
            EXPECT_EQ(call.call(d.get()), 0) << name.query << " " << call.what << ": " << bd_errstr(d.get());
            EXPECT_EQ(sync_seam::syncs.load(), name.syncs) << name.query << " " << call.what;
        }
    }
    // The medium loses the write's data: the write is not acknowledged.
    dev_ptr d = open(file + "?flags=sync", OS_PF_RDWR);
    ASSERT_TRUE(d) << err();
    arm_failed_sync(file);
    std::string b(512, 'l');
    EXPECT_EQ(bd_pwrite(d.get(), b.data(), 512, 0), -1);
    EXPECT_EQ(bd_errno(d.get()), -250);
}

// A cipher works in whole 512-byte units: an export whose file ends inside
// one is served up to the last whole unit, all of it readable, and the open
// names the tail it leaves.
TEST_F(BlockDev, ACipherExportIsServedInWholeUnits)
{
    const std::string key = "?alg=aes&key=" + std::string(64, '7');
    for (size_t size : {size_t{700}, size_t{1048584}, size_t{1049576}}) {
        SCOPED_TRACE(size);
        const size_t whole = size - size % 512;
        const std::string file = make_file("enc-" + std::to_string(size) + ".img", pattern(size));
        log_capture log;
        dev_ptr d = open(file + key, OS_PF_RDWR);
        ASSERT_TRUE(d) << err();
        EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(whole));
        std::vector<uint8_t> buf(whole);
        EXPECT_EQ(bd_pread(d.get(), buf.data(), static_cast<uint32_t>(whole), 0), static_cast<int64_t>(whole));
        std::vector<uint8_t> unit(512);
        EXPECT_EQ(bd_pread(d.get(), unit.data(), 512, whole), -1) << "the tail is past the end";
        EXPECT_EQ(bd_pwrite(d.get(), unit.data(), 512, whole), -1);
        const std::string tail = "its last " + std::to_string(size - whole) + " bytes are not a whole 512-byte unit";
        size_t named = 0;
        for (const auto &l : log.all())
            named += l.level == LOG2_INFO && l.text.find(tail) != std::string::npos ? 1 : 0;
        EXPECT_EQ(named, 1u);
        EXPECT_FALSE(log.has(std::string(64, '7')));
        EXPECT_TRUE(read_file(file) == pattern(size)) << "nothing was written";
    }
}

// A link swapped between the image and what must never be opened (a FIFO;
// as root also a character device node of our own for /dev/full's device),
// while four threads open the image through it: each open serves the image
// or is refused, and the other target never sees an open.
TEST_F(BlockDev, ALinkSwappedDuringOpensNeverOpensWhatIsNotServed)
{
    std::vector<std::string> targets = {path("fifo")};
    ASSERT_EQ(mkfifo(targets[0].c_str(), 0600), 0);
    if (geteuid() == 0 && mknod(path("full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0)
        targets.push_back(path("full"));
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const std::string &t : targets) ASSERT_GE(inotify_add_watch(watch, t.c_str(), IN_OPEN), 0) << t;
    const std::string link_path = path("swapped");
    for (const std::string &target : targets) {
        SCOPED_TRACE(target);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            const std::string next = link_path + ".next";
            for (bool to_image = true; !stop.load(); to_image = !to_image) {
                unlink(next.c_str());
                if (symlink((to_image ? image_ : target).c_str(), next.c_str()) != 0 ||
                    rename(next.c_str(), link_path.c_str()) != 0)
                    break;
            }
        });
        std::atomic<int> served{0}, refused{0}, other{0};
        std::vector<std::thread> openers;
        for (int t = 0; t < 4; t++) {
            openers.emplace_back([&] {
                for (int i = 0; i < 1000; i++) {
                    std::vector<char> text(VERR_MSG_SIZE);
                    dev_ptr d(bd_open(link_path.c_str(), BD_OPEN_NBD | BD_OPEN_RDWR, text.data()));
                    if (d && bd_size(d.get()) == static_cast<int64_t>(kMiB))
                        served++;
                    else if (!d && std::string(text.data()).find("not a regular file or block device") == 0)
                        refused++;
                    else if (!d && std::string(text.data()).find("No such file") == std::string::npos)
                        other++;
                }
            });
        }
        for (auto &t : openers) t.join();
        stop.store(true);
        swapper.join();
        EXPECT_GT(served.load(), 0);
        EXPECT_GT(refused.load(), 0);
        EXPECT_EQ(other.load(), 0);
    }
    size_t opened = 0;
    std::array<char, 4096> events{};
    for (ssize_t n; (n = read(watch, events.data(), events.size())) > 0;)
        for (ssize_t at = 0; at < n; opened++)
            at += static_cast<ssize_t>(sizeof(inotify_event) + reinterpret_cast<inotify_event *>(&events[at])->len);
    EXPECT_EQ(opened, 0u) << "opens of a target";
    close(watch);
}
