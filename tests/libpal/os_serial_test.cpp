#include "libpal/os/posix/os_serial.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "str_log_capture.h"
#include "tool_files.h"

namespace {

uint64_t now_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// A pseudo-terminal pair: the serial port is the slave, the test plays the
// device on the master.
class SerialPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, name_, nullptr, nullptr), 0);
        close(slave);
    }
    void TearDown() override { close(master_); }
    int master_ = -1;
    char name_[256] = {};
};

}  // namespace

TEST_F(SerialPty, OpensAtListedSpeedsOnly)
{
    for (int speed : {38400, 19200, 9600, 4800, 2400, 1200, 300}) {
        const int fd = os_serial_open(name_, speed);
        EXPECT_GT(fd, 0) << speed;
        os_serial_close(fd);
    }
    log_capture logs;
    EXPECT_EQ(os_serial_open(name_, 57600), 0);
    EXPECT_TRUE(logs.has("BaudRate=57600 invaild\n"));
}

TEST_F(SerialPty, ReadsWritesAndTimesOut)
{
    const int fd = os_serial_open(name_, 9600);
    ASSERT_GT(fd, 0);
    char buf[16] = {};
    uint64_t t0 = now_ms();
    EXPECT_EQ(os_serial_read(fd, buf, sizeof(buf), 500), 0);
    const uint64_t idle = now_ms() - t0;
    EXPECT_GE(idle, 450u);
    EXPECT_LT(idle, 3000u);

    ASSERT_EQ(write(master_, "abc", 3), 3);
    EXPECT_EQ(os_serial_read(fd, buf, 3, 500), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // A device that stops mid-message does not hold the reader for ever.
    ASSERT_EQ(write(master_, "de", 2), 2);
    t0 = now_ms();
    EXPECT_EQ(os_serial_read(fd, buf, 8, 300), 2);
    EXPECT_LT(now_ms() - t0, 3000u);

    EXPECT_EQ(os_serial_write(fd, "xyz", 3), 3);
    char got[3] = {};
    size_t n = 0;
    while (n < 3) {
        const ssize_t r = read(master_, got + n, 3 - n);
        ASSERT_GT(r, 0);
        n += static_cast<size_t>(r);
    }
    EXPECT_EQ(std::string(got, 3), "xyz") << "raw mode: bytes pass unchanged";
    EXPECT_EQ(os_serial_close(fd), 0);
}

TEST(Serial, RefusesMissingDevicesAndNonTerminals)
{
    const tool_dir dir;
    const std::string missing = dir.path() + "/missing/tty";
    log_capture logs;
    EXPECT_EQ(os_serial_open(missing.c_str(), 9600), 0);
    EXPECT_TRUE(logs.has("open " + missing + " error: "));
    EXPECT_EQ(os_serial_open("/dev/null", 9600), 0);
    EXPECT_TRUE(logs.has("tcgetattr error: "));
}
