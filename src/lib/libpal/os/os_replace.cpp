// Whole-file replacement: exclusive temporary beside the target -> content
// -> fsync -> rename -> fsync of the directory. Only once the directory is
// synced does the new name survive a crash.
#include "libpal/os/os_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "libpal/basic/verr.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

namespace {

using path_buf = std::array<char, PL_MAX_PATH>;

// Closes stream; false when it or any earlier write failed (errno kept).
bool close_ok(FILE *stream, bool ok)
{
    int e = errno;
    if (fclose(stream) != 0 && ok) {
        ok = false;
        e = errno;
    }
    errno = e;
    return ok;
}

// Runs write on fd through a stream and closes it: true when all went out.
bool write_fd(int fd, os_replace_proc write, void *arg, bool sync)
{
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) {
        errno_keeper keep;
        close(fd);
        return false;
    }
    bool ok = write(f, arg);
    if (sync)
        ok = ok && fflush(f) == 0 && fsync(fileno(f)) == 0;
    return close_ok(f, ok);
}

// Written where it stands: a device, a FIFO or a dangling link.
int write_in_place(const char *path, os_replace_proc write, void *arg)
{
    // Without waiting: a FIFO nobody reads fails with ENXIO instead of
    // blocking the caller for good.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        errno_keeper keep;
        close(fd);
        return -1;
    }
    return write_fd(fd, write, arg, false) ? 0 : -1;
}

// A new, unused name next to target for the replacement file; the descriptor
// is opened exclusively. -1 when no name could be made.
int open_temp_beside(const char *target, mode_t mode, char *tmp)
{
    static std::atomic<uint32_t> counter{0};
    path_buf dir;
    path_buf base;
    str_safecopy(dir.data(), dir.size(), target);
    str_safecopy(base.data(), base.size(), path_basename(dir.data()));
    path_dir_with_sep(dir.data());
    for (int attempt = 0; attempt < 64; attempt++) {
        // The base name is cut so the temporary name stays within NAME_MAX.
        int n = str_sprintf_s(tmp, PL_MAX_PATH, "%s.%.200s.%d.%u", dir.data(), base.data(), static_cast<int>(getpid()),
                              counter.fetch_add(1, std::memory_order_relaxed));
        if (n < 0 || n >= PL_MAX_PATH) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The replacement keeps the old file's permissions and, where allowed, owner.
bool take_over_attributes(int fd, const struct stat &old)
{
    if (fchmod(fd, old.st_mode & 07777) != 0)
        return false;
    if (fchown(fd, old.st_uid, old.st_gid) != 0)
        errno = 0;
    return true;
}

// Makes a rename in target's directory durable. A file system that cannot
// sync a directory (EINVAL) has nothing more to make durable.
bool sync_dir_of(const char *target)
{
    path_buf dir;
    str_safecopy(dir.data(), dir.size(), target);
    path_dir_with_sep(dir.data());
    int dfd = open(dir[0] != '\0' ? dir.data() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return false;
    bool ok = fsync(dfd) == 0 || errno == EINVAL;
    errno_keeper keep;
    close(dfd);
    return ok;
}

}  // namespace

int os_file_replace(const char *path, uint32_t new_mode, os_replace_proc write, void *arg)
{
    if (path == nullptr || write == nullptr) {
        errno = EINVAL;
        return -1;
    }
    path_buf target;
    str_safecopy(target.data(), target.size(), path);
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    struct stat lst;
    bool in_place = exists ? !S_ISREG(st.st_mode) : lstat(path, &lst) == 0 || errno != ENOENT;
    // A link to a regular file: its target is the file replaced.
    if (exists && !in_place && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode) && !realpath(path, target.data()))
        in_place = true;
    if (in_place)
        return write_in_place(path, write, arg);

    path_buf tmp;
    int fd = open_temp_beside(target.data(), exists ? 0600 : static_cast<mode_t>(new_mode & 07777), tmp.data());
    if (fd < 0)
        return -1;
    if (exists && !take_over_attributes(fd, st)) {
        errno_keeper keep;
        close(fd);
        unlink(tmp.data());
        return -1;
    }
    if (!write_fd(fd, write, arg, true) || rename(tmp.data(), target.data()) != 0) {
        errno_keeper keep;
        unlink(tmp.data());
        return -1;
    }
    return sync_dir_of(target.data()) ? 0 : -1;
}
