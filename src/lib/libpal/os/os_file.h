// File objects: every device, disk image, exported file and stream is opened
// as an os_file_ctx that binds a handle to an operation table chosen by the
// path (open hooks, then the built-in devices under "/dev/", else local files).
// Dispatchers pass the handle to the table's slots; an empty slot is a soft
// assertion and an error result, never a crash. Opens return nullptr with errno.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// Portable open flags. Access: the first of RDONLY, WRONLY, RDWR that is set
// wins; none set means read-only.
constexpr uint64_t OS_PF_RDONLY = 1;
constexpr uint64_t OS_PF_WRONLY = 2;
constexpr uint64_t OS_PF_RDWR   = 4;
constexpr uint64_t OS_PF_CREAT  = 8;
constexpr uint64_t OS_PF_APPEND = 16;
constexpr uint64_t OS_PF_TRUNC  = 32;
constexpr uint64_t OS_PF_DIRECT = 64;       // accepted, not applied
constexpr uint64_t OS_PF_VSS    = 0x10000;  // accepted, not applied
// The path is a named-object list: path, type, name, each NUL-terminated,
// ended by an empty string.
constexpr uint64_t OS_PF_NAMED = 0x80000;

// Control codes of os_file_ioctl.
enum : uint32_t {
    OS_FILE_GET_INFO          = 0,   // os_file_info (160 bytes)
    OS_FILE_GET_ERR_CLASS     = 1,   // uint64_t out
    OS_FILE_GET_STAT          = 2,   // os_file_stat_info (128 bytes)
    OS_FILE_SET_TIMES         = 3,   // os_file_times (48 bytes)
    OS_FILE_LOCK              = 4,   // os_file_lock_info (24 bytes)
    OS_FILE_SET_READ_TIMEOUT  = 5,   // uint32_t milliseconds (4)
    OS_FILE_SET_WRITE_TIMEOUT = 6,   // uint32_t milliseconds (4)
    OS_FILE_SET_MODE          = 9,   // permission bits passed as the pointer value
    OS_FILE_SET_OWNER         = 10,  // os_file_owner (8)
};

// Type codes of os_file_info.
enum : uint32_t {
    OS_FILE_TYPE_DIR     = 1,
    OS_FILE_TYPE_FILE    = 2,  // regular file or non-block special file
    OS_FILE_TYPE_BUILTIN = 3,
    OS_FILE_TYPE_BLOCK   = 5,
};

struct os_file_info {
    uint32_t type;
    uint64_t size;
    uint64_t offset;
    uint32_t block_size;
    char name[128];  // device description, empty when none is known
};
static_assert(sizeof(os_file_info) == 160);

struct os_file_time {
    uint64_t sec;
    uint32_t nsec;
};

struct os_file_times {
    os_file_time atime;  // applied when sec != 0
    os_file_time mtime;  // applied when sec != 0
    os_file_time ctime;  // never applied
};
static_assert(sizeof(os_file_times) == 48);

// type: low four bits 1 a shared lock, else exclusive; +16 do not wait;
// 3 unlocks the range.
struct os_file_lock_info {
    uint32_t type;
    uint64_t offset;
    uint64_t length;
};
static_assert(sizeof(os_file_lock_info) == 24);

struct os_file_owner {
    uint32_t uid;
    uint32_t gid;
};

struct os_file_ops {
    const char *name = nullptr;
    uint64_t (*init)(const char *path, uint64_t flags) = nullptr;
    uint64_t (*open_disp)(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                          uint32_t attributes) = nullptr;
    uint64_t (*open_posix)(const char *path, uint32_t sysflags, uint32_t mode) = nullptr;
    uint64_t (*open_named)(const char *path, const char *type, const char *name, uint64_t flags) = nullptr;
    bool (*exit)(uint64_t h) = nullptr;
    int64_t (*read)(uint64_t h, void *buf, size_t count) = nullptr;
    int64_t (*writ)(uint64_t h, const void *buf, size_t count) = nullptr;
    int64_t (*pread)(uint64_t h, void *buf, size_t count, uint64_t offset) = nullptr;
    int64_t (*pwrit)(uint64_t h, const void *buf, size_t count, uint64_t offset) = nullptr;
    int64_t (*readv)(uint64_t h, const iovec *list, int count) = nullptr;
    int64_t (*writv)(uint64_t h, const iovec *list, int count) = nullptr;
    int64_t (*preadv)(uint64_t h, const iovec *list, int count, uint64_t offset) = nullptr;
    int64_t (*pwritv)(uint64_t h, const iovec *list, int count, uint64_t offset) = nullptr;
    bool (*sync)(uint64_t h) = nullptr;
    bool (*truncate)(uint64_t h, uint64_t length) = nullptr;
    // whence 0 from the start, 1 from the current position, 2 from the end.
    int64_t (*seek)(uint64_t h, int64_t offset, int whence) = nullptr;
    int64_t (*offset)(uint64_t h) = nullptr;
    int64_t (*size)(uint64_t h) = nullptr;
    bool (*ioctl)(uint64_t h, uint32_t code, void *arg, uint64_t arg_size) = nullptr;
};

struct os_file_ctx {
    uint64_t handle;  // never 0 in a live object
    const os_file_ops *ops;
    char *path;  // as the caller passed it; the whole list for a named object
    uint8_t delete_on_close;
};

// A hook claims paths for its table: match returns the table or nullptr.
struct os_file_hook {
    const char *name;
    const os_file_ops *(*match)(const char *path);
};

// Opening and closing. Requires: the caller frees the object with os_file_close.
os_file_ctx *os_file_open(const char *path, uint64_t flags);
// Windows-style access bits and creation disposition; security is ignored.
os_file_ctx *os_file_open_win(const char *path, uint32_t access, uint32_t share, void *security,
                              uint32_t disposition, uint32_t attributes);
// flags: the posix-style set of os_xattr.h (OS_O_*).
os_file_ctx *os_file_open_posix(const char *path, uint32_t flags, uint32_t mode);
// The exit slot's result; the object is released (unless the table has no exit).
bool os_file_close(os_file_ctx *ctx);
bool os_file_info_by_path(const char *path, os_file_info *info);

// Dispatchers: the slot's result, or -1 (false) after a soft assertion when
// the table leaves the slot empty.
int64_t os_file_read(os_file_ctx *ctx, void *buf, size_t count);
int64_t os_file_write(os_file_ctx *ctx, const void *buf, size_t count);
int64_t os_file_pread(os_file_ctx *ctx, void *buf, size_t count, uint64_t offset);
int64_t os_file_pwrit(os_file_ctx *ctx, const void *buf, size_t count, uint64_t offset);
int64_t os_file_readv(os_file_ctx *ctx, const iovec *list, int count);
int64_t os_file_writv(os_file_ctx *ctx, const iovec *list, int count);
int64_t os_file_preadv(os_file_ctx *ctx, const iovec *list, int count, uint64_t offset);
int64_t os_file_pwritv(os_file_ctx *ctx, const iovec *list, int count, uint64_t offset);
bool os_file_fsync(os_file_ctx *ctx);
bool os_file_ftruncate(os_file_ctx *ctx, uint64_t length);
int64_t os_file_seek(os_file_ctx *ctx, int64_t offset, int whence);
int64_t os_file_offset(os_file_ctx *ctx);
int64_t os_file_size(os_file_ctx *ctx);
// ctx may be nullptr (false, nothing logged). OS_FILE_GET_INFO also fills the
// name with the device description of the recorded path.
bool os_file_ioctl(os_file_ctx *ctx, uint32_t code, void *arg, uint64_t arg_size);

// Control wrappers.
struct os_file_stat_info;
bool os_file_stat(os_file_ctx *ctx, os_file_stat_info *info);
bool os_file_set_times(os_file_ctx *ctx, const os_file_times *times);
bool os_file_lock(os_file_ctx *ctx, uint32_t type, uint64_t offset, uint64_t length);
bool os_file_chmod(os_file_ctx *ctx, uint32_t mode);
bool os_file_chown(os_file_ctx *ctx, uint32_t uid, uint32_t gid);
// ms outside 1000..600000 is corrected with a warning, never refused.
bool os_file_read_write_timeout(os_file_ctx *ctx, int is_read, int ms);
bool os_file_read_timeout(os_file_ctx *ctx, int ms);
bool os_file_write_timeout(os_file_ctx *ctx, int ms);

// Registry and accessors.
// 0, or -1 when all four slots are taken. Requires: called during start-up,
// before other threads open files.
int os_file_hook_register(const os_file_hook *hook);
// The system descriptor (local files only), -1 when the handle is 0.
int os_file_fileno(const os_file_ctx *ctx);
bool os_file_set_delete_on_close(os_file_ctx *ctx, bool flag);
const char *os_file_get_path(const os_file_ctx *ctx);
// kind 1: Windows error numbers, else errno values. 0 none, 1 medium error,
// 2 device gone, 3 other.
int os_file_error_class(int kind, int error);
// 0 a plain path, 1 "S", 2 "A", 3 "X", -1 another type or a list that cannot be split.
int os_file_named_type(const char *list);

// Path preparation and table choice (shared with the path functions).
// Requires: out holds 4096 bytes. An over-long path leaves out empty.
char *os_file_path_normalize(const char *path, char *out);
const os_file_ops *os_file_get_ops(const char *path);
