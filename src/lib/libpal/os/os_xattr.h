// Extended attributes and open-flag conversions. A named-object list of type
// "X" opens one user attribute of a file as a file object (the "xattr" table):
// read-only opens load the value, writes replace the whole attribute. The
// path-level calls work in the user namespace on the path itself, never
// following a final symbolic link. The conversions turn the flags text of
// export parameters, Windows-style and posix-style flags into portable or
// system open flags.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/os/os_file.h"

// The program's own posix-style open flags (os_file_open_posix).
constexpr uint32_t OS_O_RDONLY    = 0;
constexpr uint32_t OS_O_WRONLY    = 1;
constexpr uint32_t OS_O_RDWR      = 2;
constexpr uint32_t OS_O_ACCMODE   = 3;  // access 3 counts as read-only
constexpr uint32_t OS_O_CREAT     = 4;
constexpr uint32_t OS_O_APPEND    = 8;
constexpr uint32_t OS_O_TRUNC     = 0x10;
constexpr uint32_t OS_O_DIRECT    = 0x20;
constexpr uint32_t OS_O_EXCL      = 0x40;
constexpr uint32_t OS_O_NOFOLLOW  = 0x80;
constexpr uint32_t OS_O_NONBLOCK  = 0x100;
constexpr uint32_t OS_O_SYNC      = 0x200;
constexpr uint32_t OS_O_DIRECTORY = 0x800;
constexpr uint32_t OS_O_CLOEXEC   = 0x1000;

// Windows-style access bits and creation dispositions (os_file_open_win).
constexpr uint32_t OS_GENERIC_READ    = 0x80000000;
constexpr uint32_t OS_GENERIC_WRITE   = 0x40000000;
constexpr uint32_t OS_GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t OS_CREATE_NEW        = 1;
constexpr uint32_t OS_CREATE_ALWAYS     = 2;
constexpr uint32_t OS_OPEN_EXISTING     = 3;
constexpr uint32_t OS_OPEN_ALWAYS       = 4;
constexpr uint32_t OS_TRUNCATE_EXISTING = 5;

extern const os_file_ops g_os_xattr_ops;

// Slots of the "xattr" table; the handle is an os_xattr_file record.
uint64_t os_xattr_file_open(const char *path, const char *type, const char *name, uint64_t flags);
bool os_xattr_file_exit(uint64_t h);
int64_t os_xattr_file_read(uint64_t h, void *buf, size_t count);
int64_t os_xattr_file_writ(uint64_t h, const void *buf, size_t count);
int64_t os_xattr_file_pread(uint64_t h, void *buf, size_t count, uint64_t offset);
int64_t os_xattr_file_pwrit(uint64_t h, const void *buf, size_t count, uint64_t offset);
bool os_xattr_file_sync(uint64_t h);
bool os_xattr_file_truncate(uint64_t h, uint64_t length);
int64_t os_xattr_file_seek(uint64_t h, int64_t offset, int whence);
int64_t os_xattr_file_offset(uint64_t h);
int64_t os_xattr_file_size(uint64_t h);
bool os_xattr_file_ioctl(uint64_t h, uint32_t code, void *arg, uint64_t arg_size);

// Attribute calls on paths answer -1 (nullptr) with ENOMEM when memory runs out.
// The value's length; its size when buf is nullptr or size 0; -1 (ERANGE when
// the value does not fit in buf).
int64_t os_xattr_get(const char *path, const char *name, void *buf, size_t size) noexcept;
// Bytes written or -1; flags is not used.
int64_t os_xattr_set(const char *path, const char *name, const void *data, size_t size, int flags) noexcept;
int os_xattr_del(const char *path, const char *name) noexcept;
// The user attribute names, each NUL-terminated, without the namespace prefix:
// bytes stored, or the size needed when buf is nullptr; -1 (ERANGE when the
// list does not fit).
int64_t os_xattr_list(const char *path, char *buf, size_t size) noexcept;
// One line "name\tX\tsize\n" per attribute, or nullptr when there is none.
// Requires: the caller frees the text with os_free.
char *os_get_file_xattr_info(const char *path) noexcept;

// Flags text of export parameters: words "rw", "readonly", "direct", "vss",
// "sync" (any case) separated by ",", "." or "-". Splits text in place.
uint64_t os_sflag2pf(char *text);
uint64_t os_winflag2pf(uint32_t access, uint32_t disposition);
uint64_t os_oflag2pf(uint32_t oflags);
int os_oflag2sysflag(uint32_t oflags);
uint32_t os_sysflag2oflag(int sysflags);
