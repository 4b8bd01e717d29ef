// Files held by an O_PATH descriptor, judged on that descriptor, then opened
// again for use through it: the file driver's exports and the plug-in
// loader's shared objects. On Linux the one way to open a held descriptor
// again is its /proc/self/fd link, and only a procfs there keeps the promise
// that what opens is what was judged: any other file system mounted on /proc
// could link that name to anything.
#pragma once

#include <sys/stat.h>

#include <cstddef>

// The reason a reopen is refused when /proc is not a procfs.
constexpr const char *BD_HELD_NEEDS_PROC = "reopening the checked file needs /proc mounted";

// Writes into out (size bytes) "/proc/self/fd/N", the name that opens fd's
// object again. 0, or -1 (out empty) when /proc is missing or is not procfs.
int bd_held_reopen_path(int fd, char *out, size_t size);
// Whether fd holds the object that seen describes (its device and inode).
bool bd_held_same(int fd, const struct stat &seen);
