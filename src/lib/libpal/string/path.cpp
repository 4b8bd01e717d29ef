// Path texts. Calls that copy a path use PL_MAX_PATH buffers and the strict
// bounded copy, so an over-long path becomes an empty copy and a refusal,
// never a cut path that names some other file.
#define ZLOG_TAG "pal"

#include "libpal/string/path.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "libpal/env/pl_assert.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_quote.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_search.h"

namespace {

static_assert(PL_MAX_PATH >= PATH_MAX, "path_realpath writes up to PATH_MAX bytes");

bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char *last_sep(char *path)
{
    char *last = nullptr;
    for (char *p = path; *p; p++)
        if (is_sep(*p))
            last = p;
    return last;
}

// A violated precondition that the function reports and then works around.
void report(const char *expr)
{
    ZLOG_ERR("expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}

template <typename Ch>
Ch *set_sep(Ch *path, Ch sep, Ch other)
{
    Ch *w = path;
    bool prev_sep = false;
    for (const Ch *r = path; *r; r++) {
        const Ch c = (*r == other) ? sep : *r;
        if (c == sep && prev_sep)
            continue;
        prev_sep = (c == sep);
        *w++ = c;
    }
    *w = 0;
    return path;
}

// A normalised private copy; false when the path is missing or does not fit.
bool normalized_copy(const char *path, char *out)
{
    out[0] = '\0';
    if (path == nullptr || str_safecopy(out, PL_MAX_PATH, path) != 0) {
        out[0] = '\0';
        return false;
    }
    path_normalize(out);
    return true;
}

}  // namespace

char *path_normalize(char *path)
{
    PL_ASSERT_RET(path, nullptr);
    str_unquote(path);
    str_replace_chr(path, '\\', '/');
    if (path[0] != '\0' && str_is_all_chr(path, '/'))
        path[1] = '\0';
    constexpr char file_scheme[] = "file://";
    constexpr size_t scheme_len = sizeof(file_scheme) - 1;
    if (strncmp(path, file_scheme, scheme_len) == 0)
        memmove(path, path + scheme_len, strlen(path + scheme_len) + 1);
    return path_unix_sep(path);
}

char *path_normalize_buf(const char *path, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return out;
    if (path == nullptr || str_safecopy(out, size, path) != 0) {
        out[0] = '\0';
        return out;
    }
    return path_normalize(out);
}

char *path_set_sep(char *path, char sep)
{
    if (path == nullptr)
        return nullptr;
    return set_sep<char>(path, sep, sep == '/' ? '\\' : '/');
}

char *path_unix_sep(char *path)
{
    return path_set_sep(path, '/');
}

uint32_t *path_wide_to_win_sep(uint32_t *path)
{
    if (path == nullptr)
        return nullptr;
    return set_sep<uint32_t>(path, '\\', '/');
}

char *path_drive_to_root(char *path)
{
    if (path == nullptr)
        return nullptr;
    char tmp[PL_MAX_PATH];
    str_sprintf_s(tmp, sizeof(tmp), "/%s", path);
    str_safecopy(path, PL_MAX_PATH, tmp);
    return path;
}

char *path_to_unix(char *path)
{
    if (path == nullptr)
        return nullptr;
    path_unix_sep(path);
    if (strcmp(path, "/") != 0) {
        size_t len = strlen(path);
        while (len > 0 && path[len - 1] == '/')
            path[--len] = '\0';
    }
    if (pl_glob_match("/?:*", path, true, false)) {
        path[2] = '_';
    } else if (pl_glob_match("?:*", path, true, false)) {
        path[1] = '_';
        path_drive_to_root(path);
    }
    return path;
}

char *path_to_unix_buf(const char *path, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return out;
    char tmp[PL_MAX_PATH];
    if (path == nullptr || str_safecopy(tmp, sizeof(tmp), path) != 0) {
        out[0] = '\0';
        return out;
    }
    path_to_unix(tmp);
    if (str_safecopy(out, size, tmp) != 0)
        out[0] = '\0';
    return out;
}

bool path_is_absolute(const char *path)
{
    PL_ASSERT_RET(path, false);
    if (is_sep(path[0]))
        return true;
    if (is_ascii_letter(path[0]) && path[1] == ':')
        return true;
    return strstr(path, "://") != nullptr || strstr(path, ":\\\\") != nullptr;
}

bool path_is_root(const char *path)
{
    if (path == nullptr)
        return false;
    // Compared with every '/' read as '\'.
    static constexpr const char *roots[] = {"\\\\.\\", "\\\\?\\", "\\\\\\", "\\\\", "\\"};
    for (const char *root : roots) {
        size_t i = 0;
        for (; root[i] != '\0' && path[i] != '\0'; i++) {
            const char c = path[i] == '/' ? '\\' : path[i];
            if (c != root[i])
                break;
        }
        if (root[i] == '\0' && path[i] == '\0')
            return true;
    }
    return false;
}

bool path_has_tail_sep(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    return is_sep(path[strlen(path) - 1]);
}

bool path_is_name_only(const char *path)
{
    if (path == nullptr)
        return false;
    return strpbrk(path, "/\\") == nullptr;
}

bool path_equal(const char *a, const char *b)
{
    char na[PL_MAX_PATH];
    char nb[PL_MAX_PATH];
    if (!normalized_copy(a, na) || !normalized_copy(b, nb))
        return false;
    return strcmp(na, nb) == 0;
}

bool path_dir_equal(const char *a, const char *b)
{
    char na[PL_MAX_PATH];
    char nb[PL_MAX_PATH];
    if (!normalized_copy(a, na) || !normalized_copy(b, nb))
        return false;
    return strcmp(path_dir_with_sep(na), path_dir_with_sep(nb)) == 0;
}

size_t path_sep_count(const char *path)
{
    if (path == nullptr)
        return 0;
    size_t n = 0;
    for (const char *p = path; *p; p++)
        n += is_sep(*p);
    return n;
}

char *path_basename(char *path)
{
    if (path == nullptr)
        return nullptr;
    char *sep = last_sep(path);
    return sep ? sep + 1 : path;
}

char *path_dirname(char *path)
{
    if (path == nullptr)
        return nullptr;
    char *sep = last_sep(path);
    if (sep)
        *sep = '\0';
    return path;
}

char *path_dir_with_sep(char *path)
{
    if (path == nullptr)
        return nullptr;
    char *sep = last_sep(path);
    if (sep)
        sep[1] = '\0';
    else
        path[0] = '\0';
    return path;
}

char *path_del_ext(char *path)
{
    char *name = path_basename(path);
    if (name == nullptr)
        return nullptr;
    char *dot = strrchr(name, '.');
    if (dot)
        *dot = '\0';
    return path;
}

char *path_del_tail_sep(char *path)
{
    if (path == nullptr)
        return nullptr;
    const size_t len = strlen(path);
    if (len >= 2 && path[len - 1] == '/')
        path[len - 1] = '\0';
    return path;
}

char *path_add_sep_not_exist_tail(char *path)
{
    if (path == nullptr)
        return nullptr;
    const size_t len = strlen(path);
    if (len > 0 && is_sep(path[len - 1]))
        return path;
    PL_ASSERT_RET(len+2<=PL_MAX_PATH, path);
    path[len] = '/';
    path[len + 1] = '\0';
    return path;
}

char *path_build2(char *opath, size_t size, const char *path, const char *file)
{
    if (opath == nullptr) {
        report("opath!=NULL");
        return nullptr;
    }
    if (path == nullptr)
        report("path!=NULL");
    if (file == nullptr)
        report("file!=NULL");
    if (size == 0)
        return opath;
    // A missing directory counts as empty.
    if (str_safecopy(opath, size, path) != 0 && path != nullptr) {
        opath[0] = '\0';
        return opath;
    }
    if (path == nullptr)
        opath[0] = '\0';
    const size_t len = strlen(opath);
    if ((len == 0 || !is_sep(opath[len - 1])) && str_safecat(opath, size, "/") != 0) {
        opath[0] = '\0';
        return opath;
    }
    if (str_safecat(opath, size, file) != 0)
        opath[0] = '\0';
    return opath;
}

char *path_build(char *opath, const char *path, const char *file)
{
    return path_build2(opath, PL_MAX_PATH, path, file);
}

char *path_build_unescape_name(char *out, const char *path, const char *escaped_name)
{
    if (out == nullptr)
        return nullptr;
    out[0] = '\0';
    if (path == nullptr || escaped_name == nullptr)
        return out;
    char name[PL_MAX_PATH];
    int name_size = 1;
    str_unescape_cstr_buf(escaped_name, name, sizeof(name), &name_size);
    // Decoding never lengthens a text, so only a name of PL_MAX_PATH or more
    // escaped characters can fail to decode, and it never decodes to nothing.
    const bool name_too_long = name_size <= 1 && strnlen(escaped_name, PL_MAX_PATH) >= PL_MAX_PATH;
    const size_t name_len = name_size > 0 ? static_cast<size_t>(name_size) - 1 : 0;
    const size_t dir_len = strlen(path);
    const size_t sep_len = (dir_len == 0 || !is_sep(path[dir_len - 1])) ? 1 : 0;
    if (name_too_long || dir_len + sep_len + name_len + 1 > PL_MAX_PATH) {
        ZLOG_ERR("path=[%s] escape_name=[%s] error: too long!!", path, escaped_name);
        assert_dump_stack();
        return out;
    }
    memcpy(out, path, dir_len);
    if (sep_len)
        out[dir_len] = '/';
    memcpy(out + dir_len + sep_len, name, name_len);
    out[dir_len + sep_len + name_len] = '\0';
    return out;
}

char *path_canonical(const char *path, const char *base, char *out)
{
    if (out == nullptr)
        return nullptr;
    out[0] = '\0';
    if (path == nullptr)
        return nullptr;

    // Normalised before the absolute test: a quoted or blank-padded absolute
    // path ('"/a/../b"') names /b, not a directory under the base.
    char full[PL_MAX_PATH];
    if (!normalized_copy(path, full))
        return nullptr;
    if (!path_is_absolute(full)) {
        char dir[PL_MAX_PATH];
        if (base == nullptr) {
            if (getcwd(dir, sizeof(dir)) == nullptr) {
                ZLOG_ERR("getcwd failed\n");
                return nullptr;
            }
        } else if (!normalized_copy(base, dir)) {
            return nullptr;
        }
        char rel[PL_MAX_PATH];
        memcpy(rel, full, strlen(full) + 1);
        // A join that does not fit is empty; a good one holds at least the '/'.
        if (path_build(full, dir, rel)[0] == '\0')
            return nullptr;
        path_normalize(full);
    }

    size_t o = 0;
    bool overflow = false;
    auto put = [&](const char *src, size_t n) {
        if (o + n >= PL_MAX_PATH) {
            overflow = true;
            return;
        }
        memcpy(out + o, src, n);
        o += n;
    };

    const char *s = full;
    if (is_ascii_letter(s[0]) && s[1] == ':') {
        put(s, 2);
        s += 2;
    }
    const size_t drive_end = o;
    const bool absolute = (*s == '/');
    if (absolute) {
        put("/", 1);
        s++;
    }
    // Starts of the components written, for ".." to go back to; a path of
    // PL_MAX_PATH bytes has fewer components than this.
    uint16_t starts[PL_MAX_PATH - 1];
    size_t depth = 0;
    while (*s != '\0' && !overflow) {
        if (*s == '/') {
            s++;
            continue;
        }
        const char *end = strchrnul(s, '/');
        const size_t n = static_cast<size_t>(end - s);
        if (n == 1 && s[0] == '.') {
            // dropped
        } else if (n == 2 && s[0] == '.' && s[1] == '.') {
            if (depth > 0)
                o = starts[--depth];
            else if (!absolute)
                put("../", 3);
        } else {
            starts[depth++] = static_cast<uint16_t>(o);
            put(s, n);
            if (*end == '/')
                put("/", 1);
        }
        s = end;
    }
    if (overflow) {
        ZLOG_ERR("path=[%s] error: too long!!\n", full);
        out[0] = '\0';
        return nullptr;
    }
    out[o] = '\0';
    if (o == drive_end)
        strcpy(out, "./");
    return out;
}

char *path_quote_buf(const char *path, char *out)
{
    return str_quote_dq(path, out, PL_MAX_PATH);
}

char *path_quote(char *path)
{
    if (path == nullptr)
        return nullptr;
    char tmp[PL_MAX_PATH];
    tmp[0] = '\0';
    str_quote_dq(path, tmp, sizeof(tmp));
    str_safecopy(path, PL_MAX_PATH, tmp);
    return path;
}

char *path_realpath(const char *path, char *resolved)
{
    if (path == nullptr || resolved == nullptr)
        return nullptr;
    return realpath(path, resolved);
}
