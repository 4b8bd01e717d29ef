// Path-based file-system operations.
#include "libpal/os/os_path.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "libpal/basic/verr.h"
#include "libpal/os/os_xattr.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_safe.h"

namespace {


// Codes of the error table that the named-object calls leave in errno.
constexpr int kVerrInvalidParam = -2;
constexpr int kVerrNotSupported = -37;

os_file_time to_time(const timespec &ts)
{
    return {static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

}  // namespace

void os_stat_to_info(const struct stat *st, os_file_stat_info *info)
{
    if (S_ISDIR(st->st_mode))
        info->type = OS_STAT_TYPE_DIR;
    else if (S_ISLNK(st->st_mode))
        info->type = OS_STAT_TYPE_LINK;
    else
        info->type = OS_STAT_TYPE_FILE;
    info->mode = st->st_mode;
    info->uid = st->st_uid;
    info->gid = st->st_gid;
    info->size = static_cast<uint64_t>(st->st_size);
    info->atime = to_time(st->st_atim);
    info->mtime = to_time(st->st_mtim);
    info->ctime = to_time(st->st_ctim);
    info->nlink = st->st_nlink;
    info->dev = st->st_dev;
    info->rdev = st->st_rdev;
    info->ino = st->st_ino;
    info->blksize = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(st->st_blksize)));
    info->blocks = static_cast<uint64_t>(st->st_blocks);
}

int os_remove(const char *path)
{
    std::array<char, PL_MAX_PATH> buf;
    path_normalize_buf(path, buf.data(), buf.size());
    return remove(buf.data());
}

int os_remove_named(const char *list)
{
    const char *parts[3] = {};
    int n = list ? str_split_zz(list, parts, 3, nullptr) : -1;
    if (n < 1) {
        os_set_errno_verr(kVerrInvalidParam);
        return -1;
    }
    if (n == 1)
        return os_remove(parts[0]);
    if (strcmp(parts[1], "X") == 0)
        return os_xattr_del(parts[0], n == 3 ? parts[2] : "");
    os_set_errno_verr(kVerrNotSupported);
    return -1;
}

int os_file_exist(const char *path)
{
    std::array<char, PL_MAX_PATH> buf;
    path_normalize_buf(path, buf.data(), buf.size());
    struct stat st;
    if (stat(buf.data(), &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 0 : 1;
}

char *os_path_to_sys(const char *path, char *out, size_t size)
{
    std::array<char, 8192> tmp;
    str_safecopy2(tmp.data(), tmp.size(), path);
    for (char *p = tmp.data(); *p; p++) {
        if (*p == '/')
            *p = '\\';
    }
    const char *rest = tmp.data();
    if (strncmp(rest, "file:\\\\", 7) == 0) {
        rest += 7;
        if (strncmp(rest, "\\?\\", 3) == 0)
            rest += 3;
    }
    str_safecopy(out, size, rest);
    for (char *p = out; p && *p; p++) {
        if (*p == '\\')
            *p = '/';
    }
    return out;
}
