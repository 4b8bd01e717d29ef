// OS helpers written once for the whole system: directory creation. Paths are
// copied into 4096 bytes and normalised before use; calls return 0 or -1 with
// errno.
#pragma once

#include <cstdint>

// 0 when path is a directory already; -1 with EACCES when it exists and is
// something else; else mkdir's result.
int os_mkdir_mode(const char *path, uint32_t mode);
int os_mkdir(const char *path);  // mode 0755
// Creates every missing directory of path, its last component included. A
// directory that another process creates meanwhile counts as made.
int os_mkdirs(const char *path);
// os_mkdirs of everything before the path's last separator; -1 without one.
int os_mkdirs_parent(const char *path);
