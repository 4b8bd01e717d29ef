// Serial ports: a terminal device opened raw at one of the supported speeds
// (38400, 19200, 9600, 4800, 2400, 1200, 300), read with a time-out, written
// whole. A port is its plain descriptor; the connection layer keeps it as a
// type 5 connection's handle.
#pragma once

#include <cstddef>
#include <cstdint>

// The open descriptor, or 0 (logged) when the device does not open, is no
// terminal or the speed is not supported.
int os_serial_open(const char *path, int speed);
// Waits up to timeout_ms for the first byte, then reads on while bytes keep
// coming within timeout_ms of each other, up to len. The count read, 0 when
// nothing came, -1 on a failed wait.
int64_t os_serial_read(int fd, void *buf, size_t len, int timeout_ms);
// The length once every byte is written, -1 on an error.
int64_t os_serial_write(int fd, const void *buf, size_t len);
int os_serial_close(int fd);
