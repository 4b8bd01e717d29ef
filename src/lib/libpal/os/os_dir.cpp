// Directory listings.
#define ZLOG_TAG "pal"

#include "libpal/os/os_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_readlink.h"
#include "libpal/os/os_xattr.h"
#include "libpal/string/path.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"

namespace {

void release(os_dir *dir)
{
    os_free(dir->xattr_text);
    if (dir->fd >= 0)
        close(dir->fd);
    if (dir->dir)
        closedir(dir->dir);
    os_free(dir->pattern);
    os_free(dir->path);
    os_free(dir);
}

// Discards up to n system entries; the count actually read.
uint64_t skip(DIR *d, uint64_t n)
{
    uint64_t done = 0;
    while (done < n && readdir(d))
        done++;
    return done;
}

}  // namespace

os_dir *os_dir_open(const char *path, const char *pattern, uint32_t flags)
{
    PL_ASSERT_RET(path, nullptr);
    std::array<char, PL_MAX_PATH> norm;
    if (!os_path_prepare(path, norm.data()))
        return nullptr;
    std::array<char, PL_MAX_PATH> resolved;
    os_link_resolve(norm.data(), resolved.data(), resolved.size());
    auto *dir = static_cast<os_dir *>(os_zalloc(sizeof(os_dir)));
    if (!dir) {
        errno = ENOMEM;
        return nullptr;
    }
    dir->fd = -1;
    dir->dir = opendir(resolved.data());
    if (!dir->dir) {
        int e = errno;
        release(dir);
        errno = e;
        return nullptr;
    }
    dir->flags = flags;
    dir->fd = open(resolved.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    dir->path = os_strdup(resolved.data());
    dir->pattern = pattern ? os_strdup(pattern) : nullptr;
    if (dir->fd < 0 || !dir->path || (pattern && !dir->pattern)) {
        int e = dir->fd < 0 ? errno : ENOMEM;
        release(dir);
        errno = e;
        return nullptr;
    }
    return dir;
}

os_dir *os_dir_open_all(const char *path)
{
    return os_dir_open(path, nullptr, OS_DIR_LINK_PATH);
}

os_dir *os_dir_open_match(const char *path, const char *pattern)
{
    return os_dir_open(path, pattern, OS_DIR_LINK_PATH);
}

os_dir_entry *os_dir_read(os_dir *dir)
{
    PL_ASSERT_RET(dir, nullptr);
    errno = 0;
    os_free(dir->xattr_text);
    dir->xattr_text = nullptr;
    dir->entry.link[0] = '\0';
    dir->entry.xattr = nullptr;
    const dirent *de = nullptr;
    for (;;) {
        de = readdir(dir->dir);
        if (!de)
            return nullptr;
        dir->index++;
        if (!dir->pattern || pl_glob_match_list(de->d_name, dir->pattern))
            break;
    }
    os_dir_entry *e = &dir->entry;
    memset(e, 0, sizeof(*e));
    str_safecopy2(e->name, sizeof(e->name), de->d_name);
    std::array<char, PL_MAX_PATH> full;
    path_build(full.data(), dir->path, e->name);

    struct stat lst;
    bool have_lstat = lstat(full.data(), &lst) == 0;
    unsigned char dtype = de->d_type;
    // Some file systems leave the type to the caller's stat.
    if (dtype == DT_UNKNOWN && have_lstat)
        dtype = S_ISDIR(lst.st_mode) ? DT_DIR : S_ISLNK(lst.st_mode) ? DT_LNK : DT_REG;
    e->type = dtype == DT_DIR ? OS_STAT_TYPE_DIR : OS_STAT_TYPE_FILE;
    if (dtype == DT_LNK) {
        if (dir->flags & OS_DIR_LINK_TEXT)
            os_readlink(full.data(), e->link, sizeof(e->link));
        else if (dir->flags & OS_DIR_LINK_PATH)
            os_readlink_abs(full.data(), e->link, sizeof(e->link));
        struct stat st;
        e->type = (stat(full.data(), &st) == 0 && S_ISDIR(st.st_mode)) ? OS_STAT_TYPE_DIR : OS_STAT_TYPE_FILE;
        e->type |= 0x100;
    }
    if (dir->flags & OS_DIR_XATTR_INFO) {
        dir->xattr_text = os_get_file_xattr_info(full.data());
        e->xattr = dir->xattr_text;
    }
    if (have_lstat) {
        const uint32_t type = e->type;
        os_stat_to_info(&lst, e);
        e->type = type;
    }
    errno = 0;
    return e;
}

int os_dir_seek(os_dir *dir, uint64_t index)
{
    PL_ASSERT_RET(dir, -1);
    errno = 0;
    if (index == dir->index)
        return 0;
    if (index > dir->index) {
        skip(dir->dir, index - dir->index);
        dir->index = index;
        return 0;
    }
    DIR *again = opendir(dir->path);
    if (!again)
        return -1;
    closedir(dir->dir);
    dir->dir = again;
    skip(dir->dir, index);
    dir->index = index;
    return 0;
}

uint64_t os_dir_tell(const os_dir *dir)
{
    PL_ASSERT_RET(dir, 0);
    return dir->index;
}

const char *os_dir_path(const os_dir *dir)
{
    PL_ASSERT_RET(dir, nullptr);
    return dir->path;
}

int os_dir_close(os_dir *dir)
{
    if (dir)
        release(dir);
    return 0;
}
