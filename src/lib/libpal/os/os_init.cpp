// OS helpers: directory creation.
#include "libpal/os/os_init.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

namespace {


bool is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int os_mkdir_mode(const char *path, uint32_t mode)
{
    std::array<char, PL_MAX_PATH> buf;
    path_normalize_buf(path, buf.data(), buf.size());
    struct stat st;
    if (stat(buf.data(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        errno = EACCES;
        return -1;
    }
    if (mkdir(buf.data(), static_cast<mode_t>(mode)) == 0)
        return 0;
    // Another process may have made it between the check and the call.
    if (errno == EEXIST && is_dir(buf.data()))
        return 0;
    return -1;
}

int os_mkdir(const char *path)
{
    return os_mkdir_mode(path, 0755);
}

int os_mkdirs(const char *path)
{
    std::array<char, PL_MAX_PATH> buf;
    path_normalize_buf(path, buf.data(), buf.size());
    char *p = buf.data();
    size_t len = strlen(p);
    for (size_t i = 1; i < len; i++) {
        if (p[i] != '/' && p[i] != '\\')
            continue;
        char sep = p[i];
        p[i] = '\0';
        if (access(p, F_OK) != 0 && os_mkdir(p) != 0) {
            p[i] = sep;
            return -1;
        }
        p[i] = sep;
    }
    return os_mkdir(p);
}

int os_mkdirs_parent(const char *path)
{
    std::array<char, PL_MAX_PATH> buf;
    path_normalize_buf(path, buf.data(), buf.size());
    char *cut = strrchr(buf.data(), '/');
    char *back = strrchr(buf.data(), '\\');
    if (back > cut)
        cut = back;
    if (!cut)
        return -1;
    *cut = '\0';
    return os_mkdirs(buf.data());
}
