// Path-based file-system operations.
#define ZLOG_TAG "pal"

#include "libpal/os/os_path.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_assert.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_readlink.h"
#include "libpal/os/os_replace.h"
#include "libpal/os/os_xattr.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

namespace {

using path_buf = std::array<char, PL_MAX_PATH>;

// Codes of the error table that the named-object calls leave in errno.
constexpr int kVerrInvalidParam = -2;
constexpr int kVerrNotSupported = -37;

// Passed with every file an entry creates; no table of this platform acts on it.
constexpr uint64_t kPfEntryCreate = 0x40000;

os_file_time to_time(const timespec &ts)
{
    return {static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

// Runs call on the prepared copy of path; -1 when the path does not fit.
template <typename Call>
int with_path(const char *path, Call &&call)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    return call(p.data());
}

template <typename Call>
int with_paths(const char *a, const char *b, Call &&call)
{
    path_buf pa;
    path_buf pb;
    if (!os_path_prepare(a, pa.data()) || !os_path_prepare(b, pb.data()))
        return -1;
    return call(pa.data(), pb.data());
}

int set_times(const char *path, const os_file_times *times, int flags)
{
    if (!times) {
        errno = EINVAL;
        return -1;
    }
    const timespec ts[2] = {
        {static_cast<time_t>(times->atime.sec), static_cast<long>(times->atime.nsec)},
        {static_cast<time_t>(times->mtime.sec), static_cast<long>(times->mtime.nsec)},
    };
    return with_path(path, [&](const char *p) { return utimensat(AT_FDCWD, p, ts, flags); });
}

int stat_into(const char *path, os_file_stat_info *info, bool follow)
{
    if (!info) {
        errno = EINVAL;
        return -1;
    }
    return with_path(path, [&](const char *p) {
        struct stat st;
        if (follow ? (stat(p, &st) != 0 && lstat(p, &st) != 0) : lstat(p, &st) != 0)
            return -1;
        os_stat_to_info(&st, info);
        return 0;
    });
}

// The stream mode with close-on-exec added; false when mode is missing or long.
bool cloexec_mode(const char *mode, char *out, size_t size)
{
    if (!mode || strlen(mode) + 2 > size) {
        errno = EINVAL;
        return false;
    }
    str_safecopy(out, size, mode);
    if (!strchr(out, 'e'))
        str_safecat(out, size, "e");
    return true;
}

// Writes a whole file at the prepared path dest through write_all(stream),
// making its parent folders first. 0 or -1 with errno.
template <typename Write>
int save_whole(const char *dest, Write &&write_all)
{
    os_mkdirs_parent(dest);
    using write_type = std::remove_reference_t<Write>;
    return os_file_replace(
        dest, 0666, [](FILE *f, void *arg) { return (*static_cast<write_type *>(arg))(f); }, &write_all);
}

constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};

// A named-object list into path, type and name; the count, or -1 with
// "Invalid parameter." when the list cannot be split.
int split_named(const char *list, const char *(&parts)[3])
{
    int n = list ? str_split_zz(list, parts, 3, nullptr) : -1;
    if (n < 1) {
        os_set_errno_verr(kVerrInvalidParam);
        return -1;
    }
    return n;
}

// Opens path, lets fill read it into a builder and hands the text over
// (never nullptr for an empty file). A read error is no end of file: it gives
// nullptr, not a half text.
template <typename Fill>
void *read_whole(const char *path, const char *mode, size_t *length, Fill &&fill)
{
    FILE *f = os_fopen(path, mode);
    if (!f)
        return nullptr;
    str_buf *sb = str_buf_new();
    if (!sb) {
        fclose(f);
        errno = ENOMEM;
        return nullptr;
    }
    bool ok = fill(f, sb) && !ferror(f);
    int e = errno;
    fclose(f);
    if (!ok) {
        str_buf_free(sb);
        errno = e ? e : EIO;
        return nullptr;
    }
    size_t len = sb->len;
    char *data = str_buf_detach_nonnull(sb);
    if (data && length)
        *length = len;
    return data;
}

struct entry_owner {
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
};

// An entry without an owner of its own takes its default mode and the given
// owner, or the process's own when both ids are 0.
entry_owner owner_of(const os_file_entry *entry)
{
    if (!(entry->attributes & OS_ENTRY_NO_OWNER))
        return {entry->mode, entry->uid, entry->gid};
    if (entry->uid == 0 && entry->gid == 0)
        return {entry->default_mode, getuid(), getgid()};
    return {entry->default_mode, entry->uid, entry->gid};
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
    path_buf buf;
    if (!os_path_prepare(path, buf.data()))
        return -1;
    return remove(buf.data());
}

int os_remove_named(const char *list)
{
    const char *parts[3] = {};
    int n = split_named(list, parts);
    if (n < 1)
        return -1;
    if (n == 1)
        return os_remove(parts[0]);
    if (strcmp(parts[1], "X") == 0)
        return os_xattr_del(parts[0], n == 3 ? parts[2] : "");
    os_set_errno_verr(kVerrNotSupported);
    return -1;
}

int os_file_exist(const char *path)
{
    path_buf buf;
    if (!os_path_prepare(path, buf.data()))
        return -1;
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

bool os_path_prepare(const char *path, char *out)
{
    out[0] = '\0';
    if (!path) {
        errno = EINVAL;
        return false;
    }
    if (str_safecopy(out, PL_MAX_PATH, path) != 0) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    path_normalize(out);
    return true;
}

int os_access(const char *path, int mode)
{
    return with_path(path, [mode](const char *p) { return access(p, mode); });
}

FILE *os_fopen(const char *path, const char *mode)
{
    char sys_mode[16];
    path_buf p;
    if (!cloexec_mode(mode, sys_mode, sizeof(sys_mode)) || !os_path_prepare(path, p.data()))
        return nullptr;
    return fopen(p.data(), sys_mode);
}

FILE *os_fopen2(const char *path, const char *mode)
{
    return os_fopen(path, mode);
}

int os_chdir(const char *path)
{
    return with_path(path, [](const char *p) { return chdir(p); });
}

char *os_realpath(const char *path, char *out)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()) || !realpath(p.data(), out))
        out[0] = '\0';
    return out;
}

int os_truncate(const char *path, uint64_t length)
{
    if (length > static_cast<uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return -1;
    }
    return with_path(path, [length](const char *p) { return truncate(p, static_cast<off_t>(length)); });
}

int os_utimes(const char *path, const os_file_times *times)
{
    return set_times(path, times, 0);
}

int os_lutimes(const char *path, const os_file_times *times)
{
    return set_times(path, times, AT_SYMLINK_NOFOLLOW);
}

int os_stat(const char *path, os_file_stat_info *info)
{
    return stat_into(path, info, true);
}

int os_lstat(const char *path, os_file_stat_info *info)
{
    return stat_into(path, info, false);
}

int os_mknod(const char *path, uint32_t mode, uint64_t device)
{
    return with_path(path, [&](const char *p) { return mknod(p, mode & 0xFFFF, static_cast<dev_t>(device)); });
}

int os_mkfifo(const char *path, uint32_t mode)
{
    return with_path(path, [mode](const char *p) { return mkfifo(p, mode & 0xFFFF); });
}

int os_symlink(const char *link_path, const char *target)
{
    return with_paths(link_path, target, [](const char *l, const char *t) { return symlink(t, l); });
}

int os_link(const char *new_path, const char *existing_path)
{
    return with_paths(new_path, existing_path, [](const char *n, const char *e) { return link(e, n); });
}

int os_chmod(const char *path, uint32_t mode)
{
    return with_path(path, [mode](const char *p) { return chmod(p, mode & 0xFFFF); });
}

int os_lchmod(const char *path, uint32_t)
{
    return with_path(path, [](const char *) {
        errno = ENOTSUP;
        return -1;
    });
}

int os_chown(const char *path, uint32_t uid, uint32_t gid)
{
    return with_path(path, [&](const char *p) { return chown(p, uid, gid); });
}

int os_lchown(const char *path, uint32_t uid, uint32_t gid)
{
    return with_path(path, [&](const char *p) { return lchown(p, uid, gid); });
}

uint32_t os_umask(uint32_t mask)
{
    return static_cast<uint32_t>(umask(static_cast<mode_t>(mask & 0xFFFF))) & 0xFFFF;
}

int os_remove_list(const char *list)
{
    return os_remove_named(list);
}

int os_remove2(const char *path, bool plain)
{
    return plain ? os_remove(path) : os_remove_named(path);
}

int os_remove_file(const char *path, uint32_t)
{
    return os_remove(path);
}

int os_remove_file2(const char *path, uint8_t)
{
    return os_remove(path);
}

int os_file_remove_any(const char *path)
{
    if (os_remove_file(path, 0) == 0)
        return 0;
    return os_rmdir_r(path, true);
}

int os_set_entry_attr(const char *path, const os_file_entry *entry)
{
    if (!entry) {
        errno = EINVAL;
        return -1;
    }
    const entry_owner o = owner_of(entry);
    // A link's own mode and owner: following it would hand the entry's
    // permissions (often 0777 for links) to whatever it points to.
    os_file_stat_info info;
    if (os_lstat(path, &info) == 0 && info.type == OS_STAT_TYPE_LINK) {
        os_lchmod(path, o.mode);
        os_lchown(path, o.uid, o.gid);
    } else {
        os_chmod(path, o.mode);
        os_chown(path, o.uid, o.gid);
    }
    const os_file_times times = {{entry->atime, 0}, {entry->mtime, 0}, {entry->ctime, 0}};
    return os_lutimes(path, &times);
}

int os_file_set_entry_attr(os_file_ctx *file, const os_file_entry *entry)
{
    if (!file || !entry) {
        errno = EINVAL;
        return -1;
    }
    const entry_owner o = owner_of(entry);
    os_file_chmod(file, o.mode);
    os_file_chown(file, o.uid, o.gid);
    const os_file_times times = {{entry->atime, 0}, {entry->mtime, 0}, {entry->ctime, 0}};
    return os_file_set_times(file, &times) ? 0 : -1;
}

int os_create_link(const char *path, const char *target, bool, const os_file_entry *entry)
{
    int r = os_symlink(path, target);
    if (r == 0 && entry)
        os_set_entry_attr(path, entry);
    return r;
}

int os_create_file_or_dir(const char *path, const os_file_entry *entry)
{
    if (!entry) {
        errno = EINVAL;
        return -1;
    }
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    const uint32_t kind = entry->attributes & OS_ENTRY_KIND_MASK;
    if (kind == OS_ENTRY_DIR) {
        if (os_mkdirs(p.data()) != 0)
            return -1;
        os_set_entry_attr(p.data(), entry);
        return 0;
    }
    if (entry->attributes & OS_ENTRY_LINK) {
        const bool to_dir = (entry->attributes & 0xFF) == 1;
        if (to_dir)
            os_remove_dir(p.data());
        else
            os_remove_file(p.data(), 0);
        if (entry->attributes & OS_ENTRY_JUNCTION) {
            ZLOG_ERR("os_create_junction [%s]->[%s] error: not supported\n", p.data(),
                     entry->link ? entry->link : "");
            os_set_errno_verr(kVerrNotSupported);
            return -1;
        }
        return os_create_link(p.data(), entry->link, to_dir, entry) == 0 ? 0 : -1;
    }
    os_file_ctx *file = os_file_open(p.data(), OS_PF_WRONLY | OS_PF_CREAT | OS_PF_TRUNC | kPfEntryCreate);
    if (!file)
        return -1;
    os_file_set_entry_attr(file, entry);
    os_file_close(file);
    return 0;
}

int os_create_named(const char *list, const os_file_entry *entry)
{
    const char *parts[3] = {};
    int n = split_named(list, parts);
    if (n < 1)
        return -1;
    if (n == 1)
        return os_create_file_or_dir(parts[0], entry);
    if (n == 3 && strcmp(parts[1], "S") == 0) {
        os_set_errno_verr(kVerrNotSupported);
        return -1;
    }
    if (n == 3 && strcmp(parts[1], "X") == 0)
        return os_xattr_set(parts[0], parts[2], "", 0, 0) < 0 ? -1 : 0;
    os_set_errno_verr(kVerrInvalidParam);
    return -1;
}

void *os_file_read_all(const char *path, size_t *length, bool add_nul)
{
    return read_whole(path, "rb", length, [add_nul](FILE *f, str_buf *sb) {
        std::array<char, 4096> chunk;
        size_t n;
        while ((n = fread(chunk.data(), 1, chunk.size(), f)) > 0) {
            if (str_buf_append(sb, chunk.data(), n) != 0)
                return false;
        }
        return !add_nul || str_buf_append(sb, "", 1) == 0;
    });
}

void *os_file_load(const char *path, size_t *length)
{
    return os_file_read_all(path, length, false);
}

char *os_file_load_str(const char *path)
{
    return static_cast<char *>(os_file_read_all(path, nullptr, true));
}

char *os_file_read_text(const char *path)
{
    return static_cast<char *>(read_whole(path, "r", nullptr, [](FILE *f, str_buf *sb) {
        std::array<char, 4096 + 1> chunk;
        for (;;) {
            size_t n = fread(chunk.data(), 1, 4096, f);
            chunk[n] = '\0';
            if (chunk[0] != '\0' && str_buf_append_str(sb, chunk.data()) != 0)
                return false;
            if (n < 4096)
                return true;
        }
    }));
}

int os_file_save_text(const char *path, const char *text)
{
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    return os_file_save(path, text, strlen(text));
}

int os_file_save(const char *path, const void *data, size_t size)
{
    if (!data && size > 0) {
        errno = EINVAL;
        return -1;
    }
    return with_path(path, [&](const char *p) {
        return save_whole(p, [&](FILE *f) { return size == 0 || fwrite(data, size, 1, f) == 1; });
    });
}

int os_file_copy(const char *source, const char *destination)
{
    FILE *src = os_fopen(source, "rb");
    if (!src)
        return -1;
    path_buf dest;
    if (!os_path_prepare(destination, dest.data())) {
        fclose(src);
        return -1;
    }
    if (path_has_tail_sep(dest.data())) {
        path_buf name;
        os_path_prepare(source, name.data());
        path_buf joined;
        path_build(joined.data(), dest.data(), path_basename(name.data()));
        if (joined[0] == '\0') {
            fclose(src);
            errno = ENAMETOOLONG;
            return -1;
        }
        dest = joined;
    }
    int r = save_whole(dest.data(), [src](FILE *f) {
        std::array<char, 4096> chunk;
        size_t n;
        while ((n = fread(chunk.data(), 1, chunk.size(), src)) > 0) {
            if (fwrite(chunk.data(), 1, n, f) != n)
                return false;
        }
        if (ferror(src)) {
            if (errno == 0)
                errno = EIO;
            return false;
        }
        return true;
    });
    int e = errno;
    fclose(src);
    errno = e;
    return r;
}

int os_fskip_bom(FILE *stream)
{
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    unsigned char head[3];
    size_t n = fread(head, 1, sizeof(head), stream);
    if (n == sizeof(head) && memcmp(head, kBom, sizeof(kBom)) == 0)
        return fseek(stream, 3, SEEK_SET);
    return fseek(stream, 0, SEEK_SET);
}

size_t os_fwrite_bom(FILE *stream)
{
    if (!stream) {
        errno = EINVAL;
        return 0;
    }
    return fwrite(kBom, sizeof(kBom), 1, stream);
}

int os_file_create_empty(const char *path)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    int kind = os_file_exist(p.data());
    if (kind == 1)
        return 0;
    if (kind == 0) {
        errno = EACCES;
        return -1;
    }
    os_mkdirs_parent(p.data());
    int fd = open(p.data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int os_file_touch(const char *path)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    os_file_ctx *file = os_file_open(p.data(), 0);
    if (!file)
        return -1;
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    const os_file_times times = {{now, 0}, {now, 0}, {now, 0}};
    bool ok = os_file_set_times(file, &times);
    int e = errno;
    os_file_close(file);
    errno = e;
    return ok ? 0 : -1;
}

int os_move(const char *source, const char *destination, bool overwrite)
{
    return with_paths(source, destination, [overwrite](const char *s, const char *d) {
        int r;
        if (overwrite) {
            r = rename(s, d);
        } else {
            // Refused by the kernel itself, so a destination made meanwhile is
            // never replaced; file systems without the flag get the check.
            r = renameat2(AT_FDCWD, s, AT_FDCWD, d, RENAME_NOREPLACE);
            if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
                if (os_file_exist(d) >= 0) {
                    errno = EEXIST;
                    return -1;
                }
                r = rename(s, d);
            }
        }
        if (r == 0)
            os_file_touch(d);
        return r;
    });
}

int os_file_save_space_check(const char *path, uint64_t size)
{
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return -1;
    }
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    int fd = open(p.data(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool created = fd >= 0;
    if (!created && errno == EEXIST)
        fd = open(p.data(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    auto fail = [&]() {
        int e = errno;
        close(fd);
        if (created)
            unlink(p.data());
        errno = e;
        return -1;
    };
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail();
    const off_t old_size = st.st_size;
    const off_t want = static_cast<off_t>(size);
    if (old_size < want) {
        // A length change alone makes a sparse file that takes no space, so
        // the blocks are reserved for real where the file system can.
        int r = fallocate(fd, 0, old_size, want - old_size);
        if (r != 0 && errno == EOPNOTSUPP)
            r = ftruncate(fd, want);
        if (r != 0) {
            int e = errno;
            if (ftruncate(fd, old_size) != 0)
                ZLOG_ERR("ftruncate error:%s\n", os_errno_str());
            errno = e;
            return fail();
        }
        if (ftruncate(fd, old_size) != 0)
            ZLOG_ERR("ftruncate error:%s\n", os_errno_str());
    }
    close(fd);
    return 0;
}

int os_check_free_space(const char *path, uint64_t need, char *message)
{
    path_buf dir;
    if (!os_path_prepare(path, dir.data()))
        return -1;
    path_dir_with_sep(dir.data());
    if (dir[0] == '\0')
        str_safecopy(dir.data(), dir.size(), "./");
    os_vol_info vol;
    if (os_get_vol_info(dir.data(), &vol) != 0)
        return -1;
    if (vol.free >= need)
        return 0;
    if (message) {
        // Two formats: the size text's buffer is reused by the second call.
        str_sprintf_s2(message, PL_MAX_PATH, "%s free=[%s] ", dir.data(), str_size_fmt_static(vol.free, 0));
        strcat_printf2(message, PL_MAX_PATH, " need=[%s] not enough space", str_size_fmt_static(need, 0));
    }
    return 1;
}

char *os_path_from_sys(const char *path, char *out, size_t size)
{
    if (out && size > 0 && str_safecopy(out, size, path) != 0)
        out[0] = '\0';
    return out;
}

int os_link_resolve(const char *path, char *out, size_t size)
{
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return 0;
    struct stat st;
    if (lstat(p.data(), &st) == 0 && S_ISLNK(st.st_mode) && os_readlink_abs(p.data(), out, size) == 0)
        return 0;
    if (str_safecopy(out, size, p.data()) != 0)
        out[0] = '\0';
    return 0;
}

int os_path_existing_parent(const char *path, char *out)
{
    path_buf p;
    if (!os_path_prepare(path, p.data())) {
        out[0] = '\0';
        return 0;
    }
    path_del_tail_sep(p.data());
    struct stat st;
    while (stat(p.data(), &st) != 0 && errno == ENOENT) {
        if (path_is_name_only(p.data())) {
            // Nothing of a relative path exists: its base is the working directory.
            str_safecopy(p.data(), p.size(), ".");
            break;
        }
        path_dirname(p.data());
        if (p[0] == '\0') {
            str_safecopy(p.data(), p.size(), "/");
            break;
        }
    }
    str_safecopy(out, PL_MAX_PATH, p.data());
    return 0;
}

void os_info_to_stat(const os_file_stat_info *info, struct stat *st)
{
    memset(st, 0, sizeof(*st));
    if (info->type & OS_STAT_TYPE_NO_MODE)
        st->st_mode = ((info->type & 0xFF) == OS_STAT_TYPE_DIR ? S_IFDIR : S_IFREG) | 0775;
    else
        st->st_mode = info->mode;
    st->st_uid = info->uid;
    st->st_gid = info->gid;
    st->st_size = static_cast<off_t>(info->size);
    st->st_atim = {static_cast<time_t>(info->atime.sec), static_cast<long>(info->atime.nsec)};
    st->st_mtim = {static_cast<time_t>(info->mtime.sec), static_cast<long>(info->mtime.nsec)};
    st->st_ctim = {static_cast<time_t>(info->ctime.sec), static_cast<long>(info->ctime.nsec)};
    st->st_nlink = static_cast<nlink_t>(info->nlink);
    st->st_dev = static_cast<dev_t>(info->dev);
    st->st_rdev = static_cast<dev_t>(info->rdev);
    st->st_ino = static_cast<ino_t>(info->ino);
    st->st_blksize = static_cast<blksize_t>(info->blksize);
    st->st_blocks = static_cast<blkcnt_t>(info->blocks);
}

void os_statvfs_from_info(const os_statvfs_info *info, struct statvfs *st)
{
    memset(st, 0, sizeof(*st));
    st->f_bsize = info->bsize;
    st->f_frsize = info->frsize;
    st->f_blocks = info->blocks;
    st->f_bfree = info->bfree;
    st->f_bavail = info->bavail;
    st->f_files = info->files;
    st->f_ffree = info->ffree;
    st->f_favail = info->favail;
    st->f_fsid = info->fsid;
    st->f_flag = info->flag;
    st->f_namemax = info->namemax;
}
