// Directory listings: one entry at a time with its lstat fields, filtered by a
// "|"-separated wildcard pattern, optionally with symbolic-link targets and the
// entry's extended-attribute listing. Used by the old-file pruning and the
// hashing tools. A listing and its entry belong to one thread.
#pragma once

#include <dirent.h>

#include <cstdint>

#include "libpal/os/os_path.h"

// Listing flags.
enum : uint32_t {
    OS_DIR_LINK_TEXT  = 1,  // a link's target as read
    OS_DIR_LINK_PATH  = 2,  // a link's target as a path (relative ones joined to the link's directory)
    OS_DIR_XATTR_INFO = 4,  // attach the entry's extended-attribute listing
};

// The stat fields mean what they mean in os_file_stat_info, except type: 1
// directory, 2 other, plus 0x100 for a symbolic link (whose 1 or 2 then
// describes the target).
struct os_dir_entry : os_file_stat_info {
    char name[512];
    char link[4096];
    const char *xattr;  // owned by the listing; nullptr without flag 4 or attributes
};

struct os_dir {
    DIR *dir;
    uint32_t flags;
    int fd;  // the directory, read-only, held open with the listing
    char *pattern;
    os_dir_entry entry;
    char *xattr_text;
    char *path;
    uint64_t index;  // system entries read since the start, filtered or not
};

// nullptr with errno when path cannot be opened as a directory. The path is
// resolved once when it is a symbolic link. Requires: os_dir_close.
os_dir *os_dir_open(const char *path, const char *pattern, uint32_t flags);
os_dir *os_dir_open_all(const char *path);                       // flags 2, no pattern
os_dir *os_dir_open_match(const char *path, const char *pattern);  // flags 2
// The next entry (valid until the next read or the close), or nullptr: errno
// 0 at the end of the directory, else the error.
os_dir_entry *os_dir_read(os_dir *dir);
// Moves to the index-th system entry. 0, or -1 when a backward seek cannot
// reopen the directory (the listing stays where it was).
int os_dir_seek(os_dir *dir, uint64_t index);
uint64_t os_dir_tell(const os_dir *dir);
const char *os_dir_path(const os_dir *dir);
int os_dir_close(os_dir *dir);
