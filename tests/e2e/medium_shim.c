/* Preloaded into the daemon by the cases that need a medium misbehaving the
 * way real ones do, chosen by its path:
 * - "slow-medium": every read takes 12 s, the way a failing disk does, so
 *   that a stop arrives while a session is inside the block layer's open
 *   (and one that waited for the read would take four times its 3 s);
 * - "fail-sync": the first fsync or fdatasync fails with EIO and every later
 *   one succeeds, as Linux reports a writeback error once and then drops
 *   the pages it could not write. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int path_holds(int fd, const char *piece)
{
    char link[64], path[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';
    return strstr(path, piece) != NULL;
}

ssize_t pread(int fd, void *buf, size_t len, off_t off)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (path_holds(fd, "slow-medium"))
        sleep(12);
    return real(fd, buf, len, off);
}

ssize_t pread64(int fd, void *buf, size_t len, off_t off)
{
    return pread(fd, buf, len, off);
}

ssize_t read(int fd, void *buf, size_t len)
{
    static ssize_t (*real)(int, void *, size_t);
    if (real == NULL)
        real = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (fd > 2 && path_holds(fd, "slow-medium"))
        sleep(12);
    return real(fd, buf, len);
}

static atomic_int sync_failed;

/* The real call by name, unless this is the one sync that fails. */
static int sync_or_fail(int fd, const char *name, int (**real)(int))
{
    if (*real == NULL)
        *real = (int (*)(int))dlsym(RTLD_NEXT, name);
    if (path_holds(fd, "fail-sync") && atomic_exchange(&sync_failed, 1) == 0) {
        errno = EIO;
        return -1;
    }
    return (*real)(fd);
}

int fsync(int fd)
{
    static int (*real)(int);
    return sync_or_fail(fd, "fsync", &real);
}

int fdatasync(int fd)
{
    static int (*real)(int);
    return sync_or_fail(fd, "fdatasync", &real);
}
