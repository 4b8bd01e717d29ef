// Durable whole-file replacement, the one way the platform's savers and the
// configuration's save put new content into a file: written beside it,
// synced, renamed over it and the rename synced with the directory, so a
// failed write or a crash leaves the old content or the new, never half.
// Returns 0, or -1 with errno set.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes the whole content into f; false when a write failed (errno set).
using os_replace_proc = bool (*)(FILE *f, void *arg);

// Replaces the file at path (a system path) with what write puts into f.
// A regular file keeps its permissions and, where allowed, its owner; a new
// file gets new_mode less the umask. Through a link the file it names is
// replaced and the link kept. Anything else (a device, a FIFO, a dangling
// link) is written in place, without waiting for a FIFO reader.
int os_file_replace(const char *path, uint32_t new_mode, os_replace_proc write, void *arg);
