// OS start-up and helpers.
#define ZLOG_TAG "pal"

#include "libpal/os/os_init.h"

#include <dlfcn.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libpal/basic/os_sync.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_assert.h"
#include "libpal/env/pl_init.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_dir.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_readlink.h"
#include "libpal/os/posix/os_limits.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_cmdline.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

namespace {

using path_buf = std::array<char, PL_MAX_PATH>;

// Error code: a directory operation on a non-directory object.
constexpr int kVerrNotDir = -126;

os_mutex *g_os_lock = nullptr;

void os_global_lock_init()
{
    if (!g_os_lock)
        g_os_lock = mutex_malloc();
}

void os_global_lock_exit()
{
    mutex_free(g_os_lock);
    g_os_lock = nullptr;
}

bool is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// On a prepared path.
int mkdir_prepared(const char *p, mode_t mode)
{
    struct stat st;
    if (stat(p, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        errno = EACCES;
        return -1;
    }
    if (mkdir(p, mode) == 0)
        return 0;
    // Another process may have made it between the check and the call.
    if (errno == EEXIST && is_dir(p))
        return 0;
    return -1;
}

// On a prepared path, which is cut and restored in place.
int mkdirs_prepared(char *p)
{
    size_t len = strlen(p);
    for (size_t i = 1; i < len; i++) {
        if (p[i] != '/' && p[i] != '\\')
            continue;
        char sep = p[i];
        p[i] = '\0';
        int r = access(p, F_OK) == 0 ? 0 : mkdir_prepared(p, 0755);
        p[i] = sep;
        if (r != 0)
            return -1;
    }
    return mkdir_prepared(p, 0755);
}

}  // namespace

int os_mkdir_mode(const char *path, uint32_t mode)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    return mkdir_prepared(p.data(), static_cast<mode_t>(mode));
}

int os_mkdir(const char *path)
{
    return os_mkdir_mode(path, 0755);
}

int os_mkdirs(const char *path)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    return mkdirs_prepared(p.data());
}

int os_mkdirs_parent(const char *path)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    char *cut = strrchr(p.data(), '/');
    char *back = strrchr(p.data(), '\\');
    if (back > cut)
        cut = back;
    if (!cut)
        return -1;
    // The parent of "/name" is the root itself.
    if (cut == p.data())
        cut++;
    *cut = '\0';
    return mkdirs_prepared(p.data());
}

int os_init()
{
    os_limits_init();
    srand(static_cast<unsigned>(time(nullptr)));
    rand_seed(static_cast<uint64_t>(time(nullptr)));
    os_global_lock_init();
    os_panic_init();
    return 0;
}

int os_exit()
{
    os_global_lock_exit();
    return 0;
}

void os_process_exit(int status)
{
    pl_exit();
    // Every output stream. Standard input's lock is not taken: os_stdin_gets
    // hands the stream's locking to its caller, so a console blocked on a
    // terminal or a pipe holds nothing this flush would wait on.
    fflush(nullptr);
    _exit(status);
}

char *os_stdin_gets(char *buf, size_t size)
{
    if (!buf || size == 0)
        return nullptr;
    // Standard input has one reader, the console, and is read without the
    // stream lock: held across a read that blocks until a line comes, that
    // lock would stop fflush(nullptr) on any other thread (the process's end
    // on a stop signal) until someone typed a line.
    __fsetlocking(stdin, FSETLOCKING_BYCALLER);
    return fgets(buf, static_cast<int>(std::min<size_t>(size, INT_MAX)), stdin);
}

void os_console_wait_key()
{
    static termios saved;
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    // A 10 ms wait per round; an ended or closed input also counts as a key,
    // so the wait cannot outlive its terminal.
    for (;;) {
        pollfd in = {STDIN_FILENO, POLLIN, 0};
        int r = poll(&in, 1, 10);
        if (r > 0 || (r < 0 && errno != EINTR))
            break;
    }
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

char *os_dir_resolve(const char *base, const char *name, char *out, size_t size)
{
    PL_ASSERT_RET(out && size > 0, out);
    path_buf b;
    path_buf n;
    path_to_unix_buf(base ? base : "", b.data(), b.size());
    path_to_unix_buf(name ? name : "", n.data(), n.size());
    const char *result = nullptr;
    if (strcmp(n.data(), ".") == 0) {
        result = b.data();
    } else if (strcmp(n.data(), "..") == 0) {
        result = strcmp(b.data(), "/") == 0 ? "/" : path_dir_with_sep(b.data());
    } else if (pl_glob_match("/*", n.data(), false, false)) {
        result = n.data();
    } else {
        return path_build2(out, size, b.data(), n.data());
    }
    if (str_safecopy(out, size, result) != 0)
        out[0] = '\0';
    return out;
}

int os_dir_change(char *current, const char *, const char *name)
{
    PL_ASSERT_RET(current && name, -1);
    path_buf resolved;
    os_dir_resolve(current, name, resolved.data(), resolved.size());
    const int kind = os_is_dir(resolved.data());
    if (strcmp(resolved.data(), "/") == 0 || kind == 1) {
        str_safecopy(current, PL_MAX_PATH, resolved.data());
        return 0;
    }
    if (kind == 0)
        os_set_errno_verr(kVerrNotDir);
    return -1;
}

int os_is_dir(const char *path)
{
    path_buf p;
    struct stat st;
    if (!os_path_prepare(path, p.data()) || stat(p.data(), &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int os_rmdir(const char *path)
{
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    int r = rmdir(p.data());
    if (r != 0 && errno == ENOTDIR)
        r = remove(p.data());
    return r;
}

int os_rmdir_r(const char *path, bool)
{
    return os_rmdir(path);
}

int os_remove_dir(const char *path)
{
    return os_rmdir(path);
}

int os_stat_link(const char *path, uint32_t link_mode, os_dir_entry *rec)
{
    PL_ASSERT_RET(rec, -1);
    path_buf p;
    if (!os_path_prepare(path, p.data()))
        return -1;
    size_t len = strlen(p.data());
    if (len > 1 && p[len - 1] == '/')
        p[len - 1] = '\0';
    struct stat st;
    if (lstat(p.data(), &st) != 0)
        return -1;
    memset(rec, 0, sizeof(*rec));
    os_stat_to_info(&st, rec);
    path_buf name = p;
    str_safecopy2(rec->name, sizeof(rec->name), path_basename(name.data()));
    if (S_ISLNK(st.st_mode)) {
        if (link_mode & OS_DIR_LINK_TEXT)
            os_readlink(p.data(), rec->link, sizeof(rec->link));
        else if (link_mode & OS_DIR_LINK_PATH)
            os_readlink_abs(p.data(), rec->link, sizeof(rec->link));
    }
    return 0;
}

int os_dir_glob_del_old_file(const char *directory, const char *pattern, uint32_t keep)
{
    os_dir *dir = os_dir_open_match(directory, pattern);
    if (!dir) {
        ZLOG_ERR("os_opendir [%s] error: %s\n", directory ? directory : "", os_errno_str());
        return -1;
    }
    path_buf where;
    str_safecopy(where.data(), where.size(), os_dir_path(dir));
    str_vector names;
    str_vector_init(&names, STR_F_OWN);
    bool ok = true;
    while (const os_dir_entry *e = os_dir_read(dir)) {
        // Only files are pruned: "." and "..", and any directory that matches,
        // neither count towards keep nor get removed.
        if ((e->type & 0xFF) == OS_STAT_TYPE_DIR && !(e->type & 0x100))
            continue;
        if (str_vector_push_back(&names, e->name) != 0) {
            ok = false;
            break;
        }
    }
    os_dir_close(dir);
    if (!ok) {
        str_vector_exit(&names);
        ZLOG_ERR("os_opendir [%s] error: %s\n", directory, os_errno_text(ENOMEM));
        return -1;
    }
    if (names.count > keep) {
        std::sort(names.items, names.items + names.count,
                  [](const char *a, const char *b) { return strcmp(a, b) < 0; });
        path_buf full;
        for (uint32_t i = 0; i < names.count - keep; i++) {
            path_build(full.data(), where.data(), names.items[i]);
            os_remove_file(full.data(), 0);
        }
    }
    str_vector_exit(&names);
    return 0;
}

void *os_dlopen(const char *name)
{
    PL_ASSERT_RET(name, nullptr);
    return dlopen(name, RTLD_LAZY);
}

void *os_dlopen2(const char *name)
{
    ZLOG_VERB("dll=%s\n", name ? name : "");
    void *h = os_dlopen(name);
    if (!h) {
        // dlopen reports through dlerror, not errno.
        const char *why = dlerror();
        ZLOG_VERB("os_dlopen %s error: %s\n", name ? name : "", why ? why : os_errno_str());
    }
    return h;
}

void *os_dlsym(void *h, const char *name)
{
    PL_ASSERT_RET(h && name, nullptr);
    return dlsym(h, name);
}

int os_dlclose(void *h)
{
    PL_ASSERT_RET(h, -1);
    // A failed earlier load of this thread must not be taken for this close's.
    dlerror();
    dlclose(h);
    PL_ASSERT_RET(!dlerror(), -1);
    return 0;
}

const char *os_dlerror()
{
    return dlerror();
}

const char *os_getenv(const char *name)
{
    return name ? getenv(name) : nullptr;
}

int os_setenv(const char *name, const char *value, int overwrite)
{
    if (!name || !value) {
        errno = EINVAL;
        return -1;
    }
    return setenv(name, value, overwrite);
}

int os_unsetenv(const char *name)
{
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    return unsetenv(name);
}

int os_setenv_fmt(const char *name, const char *fmt, ...)
{
    if (!name || !fmt) {
        errno = EINVAL;
        return -1;
    }
    char value[256];
    va_list ap;
    va_start(ap, fmt);
    int n = str_vsprintf_s(value, sizeof(value), fmt, ap);
    va_end(ap);
    // A cut value would be a different value: nothing is set.
    if (n < 0 || static_cast<size_t>(n) >= sizeof(value)) {
        errno = ERANGE;
        return -1;
    }
    return setenv(name, value, 1);
}

uint64_t os_getenv_size(const char *name)
{
    const char *value = os_getenv(name);
    return value ? str_atosize(value) : 0;
}

int os_getenv_int(const char *name)
{
    const char *value = os_getenv(name);
    return value ? str_atoi(value) : 0;
}

int os_exe_get_name(char *buf, size_t size)
{
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) >= size) {
        buf[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[n] = '\0';
    return 0;
}

int os_exe_get_dir(char *buf, size_t size)
{
    if (os_exe_get_name(buf, size) != 0) {
        int e = errno;
        ZLOG_ERR("os_exe_get_name error:%s\n", os_errno_text(e));
        errno = e;
        return -1;
    }
    char *cut = strrchr(buf, '/');
    char *back = strrchr(buf, '\\');
    if (back > cut)
        cut = back;
    if (cut)
        cut[1] = '\0';
    return 0;
}

char *os_conf_file_path(char *out, const char *name)
{
    PL_ASSERT_RET(out, out);
    out[0] = '\0';
    PL_ASSERT_RET(name, out);
    path_buf dir;
    // Without the executable's directory the working directory stands in.
    if (os_exe_get_dir(dir.data(), dir.size()) != 0)
        str_safecopy(dir.data(), dir.size(), "./");
    path_buf conf;
    str_sprintf_s(conf.data(), conf.size(), "%s%cconf", dir.data(), '/');
    // A result that does not fit leaves out empty, never a cut path.
    if (os_is_dir(conf.data()) == 1)
        str_sprintf_s(out, PL_MAX_PATH, "%s%c%s", conf.data(), '/', name);
    else
        str_sprintf_s(out, PL_MAX_PATH, "%s%c%s", dir.data(), '/', name);
    return out;
}

char *os_cmdline_get(int argc, char **argv, char *out, size_t size)
{
    PL_ASSERT_RET(out && size > 0, out);
    path_buf line;
    if (str_join_args(argc, argv, line.data(), line.size()) != 0)
        line[0] = '\0';
    if (str_safecopy(out, size, line.data()) != 0)
        out[0] = '\0';
    return out;
}
