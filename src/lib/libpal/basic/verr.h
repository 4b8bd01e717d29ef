// Error codes: negative codes from one table of 258 fixed English messages
// (0 is success, 203 a warning), the maps between codes and errno values, the
// texts of errno values, and the error record verr that objects able to fail
// embed to keep their last error.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

struct verr_msg_row {
    const char *msg;
    int32_t code;
};
// Ends with a row whose msg is nullptr.
extern const verr_msg_row g_verrmsg_table[];

constexpr size_t VERR_MSG_SIZE = 4096;

struct verr {
    const char *file;  // not owned
    const char *func;  // not owned
    uint32_t line;
    int32_t code;
    char msg[VERR_MSG_SIZE];
};

// "Invalid error code" for a code not in the table.
const char *verr2str(int code);
// errno -> code; -1 (with a warning) for an unmapped errno.
int os_verr_get(int eno);
// code -> errno; 1 (with a warning) for an unmapped code.
int verr_2_posix(int code);
void os_set_errno_verr(int code);

// "ok" for 0; buf is filled and returned. Every caller passes 4096 bytes.
char *os_strerror(int eno, char *buf, size_t size);
const char *os_errno_str();
const char *os_errno_text(int eno);

void verr_set(verr *rec, const char *file, int line, const char *func, int code, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));
void verr_set_os(verr *rec, const char *file, int line, const char *func, int code, const char *extra,
                 const char *fmt, ...) __attribute__((format(printf, 7, 8)));
// The message, or the table text of the code when the message is empty.
const char *verr_msg(const verr *rec);
void verr_copy(verr *dst, const verr *src);

// Restores the caller's errno when it goes out of scope, for code that must
// report a failure without disturbing the errno its caller will read.
class errno_keeper {
public:
    errno_keeper() : saved_(errno) {}
    ~errno_keeper() { errno = saved_; }
    errno_keeper(const errno_keeper &) = delete;
    errno_keeper &operator=(const errno_keeper &) = delete;
    int value() const { return saved_; }

private:
    int saved_;
};
