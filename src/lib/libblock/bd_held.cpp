// The reopen of held descriptors through procfs.
#include "libblock/bd_held.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include "libpal/string/str_safe.h"

int bd_held_reopen_path(int fd, char *out, size_t size)
{
    out[0] = '\0';
    // Whoever could mount another file system on /proc between this look and
    // the open may already open anything: the look keeps out a /proc that is
    // simply not there, or a tmpfs left in its place.
    struct statfs fs{};
    if (statfs("/proc/self/fd", &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)
        return -1;
    str_sprintf_s2(out, size, "/proc/self/fd/%d", fd);
    return 0;
}

bool bd_held_same(int fd, const struct stat &seen)
{
    struct stat now{};
    return fstat(fd, &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
           (now.st_mode & S_IFMT) == (seen.st_mode & S_IFMT);
}
