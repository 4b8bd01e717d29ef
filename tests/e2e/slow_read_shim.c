/* Preloaded into the daemon by the stop-during-open test: a read of a file
 * whose path holds "slow-medium" takes 5 s, the way a failing disk does, so
 * that a stop arrives while a session is inside the block layer's open. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int is_slow(int fd)
{
    char link[64], path[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';
    return strstr(path, "slow-medium") != NULL;
}

ssize_t pread(int fd, void *buf, size_t len, off_t off)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (is_slow(fd))
        sleep(5);
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
    if (fd > 2 && is_slow(fd))
        sleep(5);
    return real(fd, buf, len);
}
