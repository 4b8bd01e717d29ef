// Symbolic-link reading for the file-system walkers (directory listings, the
// stat of a link, path resolution). Paths are copied into 4096 bytes and
// normalised first.
#pragma once

#include <sys/types.h>

#include <cstddef>

// readlink's result; on success the text in buf is NUL-terminated (cut to
// size - 1 bytes when it fills the buffer).
ssize_t os_readlink(const char *path, char *buf, size_t size);
// The link's target as a path: an absolute text as read, a relative one joined
// to the link's own directory. 0, or -1 with errno (ENAMETOOLONG when the
// result does not fit in size).
int os_readlink_abs(const char *path, char *buf, size_t size);
