// Volume information: the mount point that holds a path, the volume's sizes
// and file-system name, and the portable statvfs record. Used by the free-space
// check of the path calls and by the device lister.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_vol_info {
    uint32_t status;    // 0
    uint32_t reserved;  // always 255
    uint64_t avail;     // bytes available to unprivileged users
    uint64_t free;      // free bytes
    uint64_t total;     // bytes of the whole volume
    char fs_type[16];   // os_fs_type of the file-system type number
};

// The eleven fields of the system's statvfs record, in the system's order.
struct os_statvfs_info {
    uint64_t bsize;
    uint64_t frsize;
    uint64_t blocks;
    uint64_t bfree;
    uint64_t bavail;
    uint64_t files;
    uint64_t ffree;
    uint64_t favail;
    uint64_t fsid;
    uint64_t flag;
    uint64_t namemax;
};

// uname's system name, node name, release, version and machine, each followed
// by a blank (cut to size). 0, or -1 when uname fails.
int os_get_info(char *out, size_t size);
// The machine name, "x86" for i386 to i686; "unkown" while uname fails. The
// text is filled on the first successful call and shared.
const char *os_get_arch();
// The OS name text, which nothing on this platform fills: "unkown linux".
const char *os_get_os_name();
// statvfs of the normalised path in the portable record. 0, or -1 with errno.
int os_statvfs(const char *path, os_statvfs_info *out);

// The used share of the volume in percent, (total - avail) / total * 100; 0
// for a total of 0. An avail above the total is first lowered to the total
// in the record.
double os_usage_percent(os_vol_info *info);

// The mount point of the path's nearest existing ancestor. out holds 4096
// bytes. 0, or -1 with errno.
int os_mount_point(const char *path, char *out);
// 0, or -1 with errno when the volume cannot be asked.
int os_get_vol_info(const char *path, os_vol_info *out);
// The name of a file-system type number as statfs reports it; "UNKOWN" for a
// number not in the table.
const char *os_fs_type(uint64_t type);
