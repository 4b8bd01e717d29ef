// Path-based file-system operations: stat records in the portable form,
// removal (plain paths and named-object lists), existence checks and the
// system form of a path. Every call copies its path into 4096 bytes with the
// strict bounded copy and normalises it first; results are the system call's
// (0 or -1 with errno) unless said otherwise.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

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
