// Symbolic-link reading.
#include "libpal/os/os_readlink.h"

#include <unistd.h>

#include <array>
#include <cerrno>

#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

namespace {

// The normalised copy of path; false with ENAMETOOLONG when it does not fit.
bool normalized(const char *path, std::array<char, PL_MAX_PATH> &out)
{
    out[0] = '\0';
    if (!path || str_safecopy(out.data(), out.size(), path) != 0) {
        errno = path ? ENAMETOOLONG : EINVAL;
        return false;
    }
    path_normalize(out.data());
    return true;
}

}  // namespace

ssize_t os_readlink(const char *path, char *buf, size_t size)
{
    std::array<char, PL_MAX_PATH> p;
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (!normalized(path, p))
        return -1;
    ssize_t n = readlink(p.data(), buf, size);
    if (n < 0)
        return n;
    // readlink does not terminate; a text that fills the buffer is cut.
    if (static_cast<size_t>(n) >= size)
        n = static_cast<ssize_t>(size - 1);
    buf[n] = '\0';
    return n;
}

int os_readlink_abs(const char *path, char *buf, size_t size)
{
    std::array<char, PL_MAX_PATH> p;
    std::array<char, PL_MAX_PATH> text;
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    if (!normalized(path, p))
        return -1;
    ssize_t n = readlink(p.data(), text.data(), text.size());
    if (n < 0)
        return -1;
    // A target that fills the whole buffer may have been cut: refuse it rather
    // than name some other file.
    if (static_cast<size_t>(n) >= text.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    text[static_cast<size_t>(n)] = '\0';
    if (text[0] == '/') {
        if (str_safecopy(buf, size, text.data()) != 0) {
            buf[0] = '\0';
            errno = ENAMETOOLONG;
            return -1;
        }
        return 0;
    }
    path_dir_with_sep(p.data());
    // A link named without a directory lies in the working directory, and so
    // does its relative target.
    if (p[0] == '\0')
        str_safecopy(buf, size, text.data());
    else
        path_build2(buf, size, p.data(), text.data());
    if (buf[0] == '\0') {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}
