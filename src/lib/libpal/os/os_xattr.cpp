// Extended attributes as file objects, attribute calls on paths, and the
// open-flag conversions.
#include "libpal/os/os_xattr.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_nothrow.h"
#include "libpal/string/path.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

struct oflag_row {
    uint32_t oflag;
    int sysflag;
};

// The posix-style flags beyond the access mode and their system flags.
constexpr std::array<oflag_row, 9> kOflagRows = {{
    {OS_O_CREAT, O_CREAT},
    {OS_O_APPEND, O_APPEND},
    {OS_O_TRUNC, O_TRUNC},
    {OS_O_EXCL, O_EXCL},
    {OS_O_NOFOLLOW, O_NOFOLLOW},
    {OS_O_NONBLOCK, O_NONBLOCK},
    {OS_O_SYNC, O_SYNC},
    {OS_O_DIRECTORY, O_DIRECTORY},
    {OS_O_CLOEXEC, O_CLOEXEC},
}};

// The system keeps attributes in namespaces; ours are the user's.
constexpr std::string_view kUserPrefix = "user.";
constexpr uint32_t kXattrBlockSize = 512;

struct os_xattr_file {
    char *path;
    char *name;
    unsigned char *buf;
    uint64_t size;
    uint64_t pos;
};

os_xattr_file *rec_of(uint64_t h)
{
    return reinterpret_cast<os_xattr_file *>(static_cast<uintptr_t>(h));
}

void rec_free(os_xattr_file *rec)
{
    os_free(rec->path);
    os_free(rec->name);
    os_free(rec->buf);
    os_free(rec);
}

std::string sys_name(const char *name)
{
    return std::string(kUserPrefix) + (name ? name : "");
}

// The whole raw list of the path's attribute names (every namespace), or
// false with errno set.
bool raw_list(const char *path, std::vector<char> &out)
{
    for (;;) {
        ssize_t need = llistxattr(path, nullptr, 0);
        if (need < 0)
            return false;
        out.resize(static_cast<size_t>(need));
        if (need == 0)
            return true;
        ssize_t got = llistxattr(path, out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<size_t>(got));
            return true;
        }
        // The list grew between the two calls: ask again.
        if (errno != ERANGE)
            return false;
    }
}

// The user names of a raw list, each with its NUL, prefix stripped.
std::string user_names(const std::vector<char> &raw)
{
    std::string names;
    size_t at = 0;
    while (at < raw.size()) {
        std::string_view name(raw.data() + at, strnlen(raw.data() + at, raw.size() - at));
        at += name.size() + 1;
        if (name.size() > kUserPrefix.size() && name.substr(0, kUserPrefix.size()) == kUserPrefix) {
            names.append(name.substr(kUserPrefix.size()));
            names.push_back('\0');
        }
    }
    return names;
}

}  // namespace

const os_file_ops g_os_xattr_ops = {
    .name = "xattr",
    .open_named = os_xattr_file_open,
    .exit = os_xattr_file_exit,
    .read = os_xattr_file_read,
    .writ = os_xattr_file_writ,
    .pread = os_xattr_file_pread,
    .pwrit = os_xattr_file_pwrit,
    .sync = os_xattr_file_sync,
    .truncate = os_xattr_file_truncate,
    .seek = os_xattr_file_seek,
    .offset = os_xattr_file_offset,
    .size = os_xattr_file_size,
    .ioctl = os_xattr_file_ioctl,
};

uint64_t os_xattr_file_open(const char *path, const char *, const char *name, uint64_t flags)
{
    PL_ASSERT_RET(path && name, 0);
    auto *rec = static_cast<os_xattr_file *>(os_zalloc(sizeof(os_xattr_file)));
    if (!rec)
        return 0;
    if (flags & OS_PF_RDONLY) {
        int64_t size = os_xattr_get(path, name, nullptr, 0);
        if (size < 0) {
            rec_free(rec);
            return 0;
        }
        if (size > 0) {
            rec->buf = static_cast<unsigned char *>(os_malloc(static_cast<size_t>(size)));
            if (!rec->buf) {
                rec_free(rec);
                errno = ENOMEM;
                return 0;
            }
            size = os_xattr_get(path, name, rec->buf, static_cast<size_t>(size));
            if (size < 0) {
                rec_free(rec);
                return 0;
            }
        }
        rec->size = static_cast<uint64_t>(size);
    }
    rec->path = os_strdup(path);
    rec->name = os_strdup(name);
    if (!rec->path || !rec->name) {
        rec_free(rec);
        errno = ENOMEM;
        return 0;
    }
    return reinterpret_cast<uintptr_t>(rec);
}

bool os_xattr_file_exit(uint64_t h)
{
    PL_ASSERT_RET(h, false);
    rec_free(rec_of(h));
    return true;
}

int64_t os_xattr_file_read(uint64_t h, void *buf, size_t count)
{
    PL_ASSERT_RET(h && buf, -1);
    os_xattr_file *rec = rec_of(h);
    if (rec->pos >= rec->size)
        return 0;
    uint64_t n = std::min<uint64_t>(count, rec->size - rec->pos);
    memcpy(buf, rec->buf + rec->pos, static_cast<size_t>(n));
    rec->pos += n;
    return static_cast<int64_t>(n);
}

int64_t os_xattr_file_writ(uint64_t h, const void *buf, size_t count)
{
    PL_ASSERT_RET(h && buf, -1);
    if (count == 0)
        return 0;
    os_xattr_file *rec = rec_of(h);
    // The attribute is replaced whole; the loaded value stays as it was.
    return os_xattr_set(rec->path, rec->name, buf, count, 0);
}

int64_t os_xattr_file_pread(uint64_t h, void *buf, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(h, -1);
    rec_of(h)->pos = offset;
    return os_xattr_file_read(h, buf, count);
}

int64_t os_xattr_file_pwrit(uint64_t h, const void *buf, size_t count, uint64_t offset)
{
    PL_ASSERT_RET(h, -1);
    rec_of(h)->pos = offset;
    return os_xattr_file_writ(h, buf, count);
}

bool os_xattr_file_sync(uint64_t)
{
    return false;
}

bool os_xattr_file_truncate(uint64_t, uint64_t)
{
    return false;
}

int64_t os_xattr_file_seek(uint64_t, int64_t, int)
{
    return -1;
}

int64_t os_xattr_file_offset(uint64_t h)
{
    PL_ASSERT_RET(h, -1);
    return static_cast<int64_t>(rec_of(h)->pos);
}

int64_t os_xattr_file_size(uint64_t h)
{
    PL_ASSERT_RET(h, 0);
    return static_cast<int64_t>(rec_of(h)->size);
}

bool os_xattr_file_ioctl(uint64_t h, uint32_t code, void *arg, uint64_t arg_size)
{
    int saved = errno;
    PL_ASSERT_RET(h, false);
    os_xattr_file *rec = rec_of(h);
    switch (code) {
    case OS_FILE_GET_INFO: {
        if (!arg || arg_size < sizeof(os_file_info))
            return false;
        auto *info = static_cast<os_file_info *>(arg);
        info->type = OS_FILE_TYPE_FILE;
        info->size = rec->size;
        info->offset = rec->pos;
        info->block_size = kXattrBlockSize;
        info->name[0] = '\0';
        return true;
    }
    case OS_FILE_GET_ERR_CLASS:
        if (!arg || arg_size < sizeof(uint64_t))
            return false;
        *static_cast<uint64_t *>(arg) = static_cast<uint64_t>(os_file_error_class(2, saved));
        return true;
    default:
        return false;
    }
}

int64_t os_xattr_get(const char *path, const char *name, void *buf, size_t size) noexcept
{
    return pl_nothrow<int64_t>(-1, [&]() -> int64_t {
        std::array<char, PL_MAX_PATH> p;
        path_normalize_buf(path, p.data(), p.size());
        std::string attr = sys_name(name);
        ssize_t need = lgetxattr(p.data(), attr.c_str(), nullptr, 0);
        if (!buf || size == 0 || need <= 0)
            return need;
        if (static_cast<size_t>(need) > size) {
            errno = ERANGE;
            return -1;
        }
        return lgetxattr(p.data(), attr.c_str(), buf, size);
    });
}

int64_t os_xattr_set(const char *path, const char *name, const void *data, size_t size, int) noexcept
{
    return pl_nothrow<int64_t>(-1, [&]() -> int64_t {
        std::array<char, PL_MAX_PATH> p;
        path_normalize_buf(path, p.data(), p.size());
        std::string attr = sys_name(name);
        if (lsetxattr(p.data(), attr.c_str(), data, size, 0) != 0)
            return -1;
        return static_cast<int64_t>(size);
    });
}

int os_xattr_del(const char *path, const char *name) noexcept
{
    return pl_nothrow<int>(-1, [&]() -> int {
        std::array<char, PL_MAX_PATH> p;
        path_normalize_buf(path, p.data(), p.size());
        std::string attr = sys_name(name);
        return lremovexattr(p.data(), attr.c_str());
    });
}

int64_t os_xattr_list(const char *path, char *buf, size_t size) noexcept
{
    return pl_nothrow<int64_t>(-1, [&]() -> int64_t {
        std::array<char, PL_MAX_PATH> p;
        path_normalize_buf(path, p.data(), p.size());
        std::vector<char> raw;
        if (!raw_list(p.data(), raw))
            return -1;
        std::string names = user_names(raw);
        if (!buf)
            return static_cast<int64_t>(names.size());
        if (names.size() > size) {
            errno = ERANGE;
            return -1;
        }
        memcpy(buf, names.data(), names.size());
        return static_cast<int64_t>(names.size());
    });
}

char *os_get_file_xattr_info(const char *path) noexcept
{
    return pl_nothrow<char *>(nullptr, [&]() -> char * {
        int64_t need = os_xattr_list(path, nullptr, 0);
        if (need <= 0)
            return nullptr;
        std::vector<char> list(static_cast<size_t>(need));
        int64_t got = os_xattr_list(path, list.data(), list.size());
        if (got <= 0)
            return nullptr;
        std::string text;
        size_t at = 0;
        while (at < static_cast<size_t>(got)) {
            const char *name = list.data() + at;
            at += strnlen(name, static_cast<size_t>(got) - at) + 1;
            int64_t size = os_xattr_get(path, name, nullptr, 0);
            if (size < 0) {
                ZLOG(uint32_t{LOG2_ERR} | LOG2_F_ERRNO, "getxattr");
                continue;
            }
            text += name;
            text += "\tX\t";
            text += std::to_string(size);
            text += '\n';
        }
        if (text.empty())
            return nullptr;
        return os_strndup(text.c_str(), text.size());
    });
}

uint64_t os_sflag2pf(char *text)
{
    uint64_t access = 0;
    uint64_t added = 0;
    if (!text)
        return 0;
    char *save = nullptr;
    for (char *word = strtok_r(text, ",.-", &save); word; word = strtok_r(nullptr, ",.-", &save)) {
        if (strcasecmp(word, "rw") == 0)
            access = OS_PF_RDWR;
        else if (strcasecmp(word, "readonly") == 0)
            access = OS_PF_RDONLY;
        else if (strcasecmp(word, "direct") == 0)
            added |= OS_PF_DIRECT;
        else if (strcasecmp(word, "vss") == 0)
            added |= OS_PF_VSS;
        else if (strcasecmp(word, "sync") != 0)
            ZLOG_DBG("flags=[%s] not support\n", word);
    }
    return access | added;
}

uint64_t os_winflag2pf(uint32_t access, uint32_t disposition)
{
    bool rd = access & (OS_GENERIC_READ | OS_GENERIC_EXECUTE);
    bool wr = access & OS_GENERIC_WRITE;
    uint64_t pf = 0;
    if (rd && wr)
        pf = OS_PF_RDWR;
    else if (rd)
        pf = OS_PF_RDONLY;
    else if (wr)
        pf = OS_PF_WRONLY;
    switch (disposition) {
    case OS_CREATE_NEW:
    case OS_OPEN_ALWAYS:
        pf |= OS_PF_CREAT;
        break;
    case OS_CREATE_ALWAYS:
        pf |= OS_PF_CREAT | OS_PF_TRUNC;
        break;
    case OS_TRUNCATE_EXISTING:
        pf |= OS_PF_TRUNC;
        break;
    default:
        break;
    }
    return pf;
}

uint64_t os_oflag2pf(uint32_t oflags)
{
    // Set by every posix-style open; no table of this platform acts on it.
    constexpr uint64_t kPosixOpen = 0x80;
    constexpr std::array<uint64_t, 4> kAccess = {OS_PF_RDONLY, OS_PF_WRONLY, OS_PF_RDWR, 0};
    uint64_t pf = kAccess[oflags & OS_O_ACCMODE] | kPosixOpen;
    if (oflags & OS_O_APPEND)
        pf |= OS_PF_APPEND;
    if (oflags & OS_O_CREAT)
        pf |= OS_PF_CREAT;
    if (oflags & OS_O_TRUNC)
        pf |= OS_PF_TRUNC;
    if (oflags & OS_O_DIRECT)
        pf |= OS_PF_DIRECT;
    return pf;
}

int os_oflag2sysflag(uint32_t oflags)
{
    int sys = O_RDONLY;
    if ((oflags & OS_O_ACCMODE) == OS_O_WRONLY)
        sys = O_WRONLY;
    else if ((oflags & OS_O_ACCMODE) == OS_O_RDWR)
        sys = O_RDWR;
    for (const oflag_row &row : kOflagRows) {
        if (oflags & row.oflag)
            sys |= row.sysflag;
    }
    return sys;
}

uint32_t os_sysflag2oflag(int sysflags)
{
    uint32_t of = OS_O_RDONLY;
    if ((sysflags & O_ACCMODE) == O_WRONLY)
        of = OS_O_WRONLY;
    else if ((sysflags & O_ACCMODE) == O_RDWR)
        of = OS_O_RDWR;
    for (const oflag_row &row : kOflagRows) {
        // O_SYNC spans several bits on this system: all of them must be set.
        if ((sysflags & row.sysflag) == row.sysflag)
            of |= row.oflag;
    }
    return of;
}
