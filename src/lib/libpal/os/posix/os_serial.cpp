// Serial ports: open raw at a listed speed; reads wait with poll, so any
// descriptor number works.
#include "libpal/os/posix/os_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

struct speed_row {
    int speed;
    speed_t code;
};

constexpr std::array<speed_row, 7> k_speeds = {{
    {38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800}, {2400, B2400}, {1200, B1200}, {300, B300},
}};

// 1 readable, 0 nothing within ms, -1 a failed wait (logged).
int wait_readable(int fd, int ms)
{
    pollfd pfd = {fd, POLLIN, 0};
    int r = 0;
    do {
        r = poll(&pfd, 1, ms < 0 ? -1 : ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "select error: ");
        return -1;
    }
    return r > 0 ? 1 : 0;
}

// 8 data bits, no parity, one stop bit, no echo or line editing: the bytes
// pass as they are, and a read returns as soon as one byte is there.
bool serial_set_parity(int fd, termios *tio)
{
    cfmakeraw(tio);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~(CSTOPB | PARENB | CSIZE);
    tio->c_cflag |= CS8;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, tio) == 0;
}

}  // namespace

int os_serial_open(const char *path, int speed)
{
    PL_ASSERT_RET(path!=NULL, 0);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "open %s error: ", path);
        return 0;
    }
    if (fcntl(fd, F_SETFL, 0) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "fcntl %s error: ", path);
        close(fd);
        return 0;
    }
    termios tio = {};
    if (tcgetattr(fd, &tio) != 0) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "tcgetattr error: ");
        close(fd);
        return 0;
    }
    const speed_row *row = nullptr;
    for (const speed_row &r : k_speeds) {
        if (r.speed == speed)
            row = &r;
    }
    if (row == nullptr) {
        ZLOG_ERR("BaudRate=%d invaild\n", speed);
        close(fd);
        return 0;
    }
    cfsetispeed(&tio, row->code);
    cfsetospeed(&tio, row->code);
    if (!serial_set_parity(fd, &tio)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "tcsetattr error: ");
        close(fd);
        return 0;
    }
    return fd;
}

// A peer that stops mid-message must not hold the reader for ever: after the
// first byte, each further wait is bounded by the same time-out.
int64_t os_serial_read(int fd, void *buf, size_t len, int timeout_ms)
{
    PL_ASSERT_RET(fd >= 0 && buf, -1);
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        const int w = wait_readable(fd, timeout_ms);
        if (w < 0)
            return done == 0 ? -1 : static_cast<int64_t>(done);
        if (w == 0)
            break;
        const ssize_t r = read(fd, p + done, len - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t os_serial_write(int fd, const void *buf, size_t len)
{
    PL_ASSERT_RET(fd >= 0 && buf, -1);
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t r = write(fd, p + done, len - done);
        if (r >= 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            sleep(1);
            continue;
        }
        return -1;
    }
    return static_cast<int64_t>(len);
}

int os_serial_close(int fd)
{
    return close(fd);
}
