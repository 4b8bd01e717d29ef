// Path-based file-system operations: stat records in the portable form,
// times, links, permissions and owners, creation from an entry record,
// removal (plain paths and named-object lists), moves and copies, whole-file
// reads and saves, existence and free-space checks, and the path forms. Every
// call copies its path into 4096 bytes with the strict bounded copy and
// normalises it first (an over-long path fails with ENAMETOOLONG); results
// are the system call's (0 or -1 with errno) unless said otherwise.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "libpal/os/os_file.h"

// Type codes of os_file_stat_info.
enum : uint32_t {
    OS_STAT_TYPE_DIR     = 1,
    OS_STAT_TYPE_FILE    = 2,
    OS_STAT_TYPE_LINK    = 0x102,  // the link flag 0x100 with 2
    OS_STAT_TYPE_NO_MODE = 0x800,  // a record without a mode of its own
};

struct os_file_stat_info {
    uint32_t type;
    uint32_t mode;  // the system's mode bits (file type and permissions)
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    os_file_time atime;
    os_file_time mtime;
    os_file_time ctime;
    uint64_t nlink;
    uint64_t dev;
    uint64_t rdev;
    uint64_t ino;
    uint64_t blksize;
    uint64_t blocks;
};
static_assert(sizeof(os_file_stat_info) <= 128);

void os_stat_to_info(const struct stat *st, os_file_stat_info *info);

int os_remove(const char *path);
// list: a named-object list. A single path is removed; type "X" deletes the
// attribute named by the third string; other types fail with "Not supported.".
int os_remove_named(const char *list);

// -1 when stat fails, 0 for a directory, 1 for anything else.
int os_file_exist(const char *path);

// The system form of a path; on a normalised path a bounded copy. Returns out.
char *os_path_to_sys(const char *path, char *out, size_t size);

// The normalised copy of path in out (4096 bytes). false with out empty and
// errno ENAMETOOLONG (EINVAL without a path) when it does not fit.
bool os_path_prepare(const char *path, char *out);

// Path wrappers.
int os_access(const char *path, int mode);
// The stream is close-on-exec; nullptr with errno.
FILE *os_fopen(const char *path, const char *mode);
FILE *os_fopen2(const char *path, const char *mode);
int os_chdir(const char *path);
// out holds 4096 bytes; returned, emptied when realpath fails.
char *os_realpath(const char *path, char *out);
int os_truncate(const char *path, uint64_t length);
// The access and modification times of times, nanoseconds included; relative
// paths from the working directory. os_lutimes sets a final link's own times.
int os_utimes(const char *path, const os_file_times *times);
int os_lutimes(const char *path, const os_file_times *times);
// stat (lstat when stat fails, so a dangling link still answers) or lstat.
int os_stat(const char *path, os_file_stat_info *info);
int os_lstat(const char *path, os_file_stat_info *info);
int os_mknod(const char *path, uint32_t mode, uint64_t device);
int os_mkfifo(const char *path, uint32_t mode);
// A link at link_path pointing to target (normalised too).
int os_symlink(const char *link_path, const char *target);
// A hard link at new_path.
int os_link(const char *new_path, const char *existing_path);
int os_chmod(const char *path, uint32_t mode);
// -1 with ENOTSUP: Linux links have no mode of their own.
int os_lchmod(const char *path, uint32_t mode);
int os_chown(const char *path, uint32_t uid, uint32_t gid);
int os_lchown(const char *path, uint32_t uid, uint32_t gid);
// The previous mask; both 16-bit.
uint32_t os_umask(uint32_t mask);

// Removal.
int os_remove_list(const char *list);
// os_remove when plain, else os_remove_named.
int os_remove2(const char *path, bool plain);
// The flag is not used.
int os_remove_file(const char *path, uint32_t flag);
int os_remove_file2(const char *path, uint8_t flag);
// A file, or else a directory.
int os_file_remove_any(const char *path);

// Attributes of os_file_entry.
enum : uint32_t {
    OS_ENTRY_KIND_MASK = 0x1FF,  // 1 a directory, anything else a file
    OS_ENTRY_DIR       = 1,
    OS_ENTRY_LINK      = 0x100,  // a link; low byte 1: to a directory
    OS_ENTRY_JUNCTION  = 0x200,  // refused
    OS_ENTRY_NO_OWNER  = 0x800,  // default mode and the given (or own) owner
};

// What os_create_file_or_dir creates at a path.
struct os_file_entry {
    const char *link;  // the target of a link
    uint32_t attributes;
    uint32_t mode;          // used without OS_ENTRY_NO_OWNER
    uint32_t default_mode;  // used with OS_ENTRY_NO_OWNER
    uint32_t uid;
    uint32_t gid;
    uint64_t atime;
    uint64_t mtime;
    uint64_t ctime;
};

// Creation from an entry; 0 or -1. A failed mode or owner change does not
// fail a creation.
int os_create_file_or_dir(const char *path, const os_file_entry *entry);
// list: a named-object list; type "X" writes an empty attribute.
int os_create_named(const char *list, const os_file_entry *entry);
// is_dir changes nothing on this platform; entry may be nullptr.
int os_create_link(const char *path, const char *target, bool is_dir, const os_file_entry *entry);
// Mode, owner, then times (0 nanoseconds): os_lutimes's result.
int os_set_entry_attr(const char *path, const os_file_entry *entry);
int os_file_set_entry_attr(os_file_ctx *file, const os_file_entry *entry);

// Whole files. Read results are heap blocks (free with os_free), nullptr when
// the file cannot be opened or read; *length counts an added NUL.
void *os_file_read_all(const char *path, size_t *length, bool add_nul);
void *os_file_load(const char *path, size_t *length);
char *os_file_load_str(const char *path);
// The text up to the first NUL of each 4096-byte chunk.
char *os_file_read_text(const char *path);
// Saves make the parent directories and replace a regular file only once the
// new content is wholly written and synced, so a failed save leaves the old
// content. 0 or -1 with errno.
int os_file_save_text(const char *path, const char *text);
int os_file_save(const char *path, const void *data, size_t size);
// A destination ending in a separator receives the source's base name.
int os_file_copy(const char *source, const char *destination);
// Positions the stream after a UTF-8 byte-order mark, else at 0: fseek's result.
int os_fskip_bom(FILE *stream);
// The number of items written (1 or 0).
size_t os_fwrite_bom(FILE *stream);

// Checks and moves.
// 0 when path is a file (nothing done), -1 with EACCES for a directory.
int os_file_create_empty(const char *path);
// Sets the access and modification times to the current second.
int os_file_touch(const char *path);
// Without overwrite an existing destination fails with EEXIST.
int os_move(const char *source, const char *destination, bool overwrite);
// Whether the file at path can grow to size bytes: the space is taken and given
// back. 0 or -1.
int os_file_save_space_check(const char *path, uint64_t size);
// 0 enough, 1 not enough (message of 4096 bytes written), -1 the volume
// could not be asked.
int os_check_free_space(const char *path, uint64_t need, char *message);

// Path forms.
char *os_path_from_sys(const char *path, char *out, size_t size);
// The target of the link at path as a path, else a copy of path. 0.
int os_link_resolve(const char *path, char *out, size_t size);
// The nearest existing ancestor of path (out holds 4096 bytes). 0.
int os_path_existing_parent(const char *path, char *out);

// Record conversions.
struct os_statvfs_info;
struct statvfs;
// With type flag OS_STAT_TYPE_NO_MODE the mode is a directory (type 1) or a
// regular file, permissions 0775.
void os_info_to_stat(const os_file_stat_info *info, struct stat *st);
void os_statvfs_from_info(const os_statvfs_info *info, struct statvfs *st);
