#define ZLOG_TAG "pal"
#include "libpal/string/str_safe.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_search.h"

namespace {

// A violated precondition of a bounded call: logged with the condition's
// text, never fatal.
#define STR_PRECOND_REPORT(cond)                          \
    do {                                                  \
        ZLOG_ERR("expr[%s]: %s\n", "_Expr_val", cond);    \
        assert_dump_stack();                              \
    } while (0)

constexpr const char *k_dest_cond  = "(dest) != NULL && (size) > 0";
constexpr const char *k_src_cond   = "(src) != NULL";
constexpr const char *k_nonul_cond = "(\"String is not null terminated\" && 0)";

// Messages quote at most 31 characters of a source, without line breaks.
constexpr size_t k_head_size = 32;

// The strict overflow report. src is still intact when this runs: the
// destination is emptied only afterwards, so an overlapping source is safe.
#define STR_OVERFLOW_REPORT(need, size, src)                                                  \
    do {                                                                                      \
        char head_[k_head_size];                                                              \
        ZLOG_ERR("need_size=%zu buf_size=%zu head=[%s]\n", (need), (size),                    \
                 str_get_head((src), head_, sizeof(head_)));                                  \
        assert_dump_stack();                                                                  \
    } while (0)

// A missing destination or size 0 leaves the destination alone; a missing
// source empties it.
int check_dest_src(char *dest, size_t size, const char *src)
{
    if (dest == nullptr || size == 0) {
        STR_PRECOND_REPORT(k_dest_cond);
        errno = EINVAL;
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        STR_PRECOND_REPORT(k_src_cond);
        errno = EINVAL;
        return EINVAL;
    }
    return 0;
}

// Kills the process when a safe_ allocation failed. The crit message ends the
// process in the logger; should it come back (a re-entrant call is dropped),
// a safe_ call still never returns without memory.
[[noreturn]] void safe_bail_out()
{
    _exit(1);
}

}  // namespace

int str_safecopy_imp(char *dest, size_t size, const char *src, int strict)
{
    // Copying a buffer onto itself changes nothing, even without a NUL in it.
    // Two missing pointers are no such copy: they are refused as a missing
    // destination rather than reported as a success.
    if (src == dest && dest != nullptr) {
        return 0;
    }
    if (int rc = check_dest_src(dest, size, src); rc != 0) {
        return rc;
    }
    // Measure before writing so that an overlapping source is read whole.
    size_t len = os_strnlen(src, size);
    if (len < size) {
        memmove(dest, src, len + 1);
        return 0;
    }
    if (!strict) {
        memmove(dest, src, size - 1);
        dest[size - 1] = '\0';
        return 0;
    }
    STR_OVERFLOW_REPORT(strlen(src) + 1, size, src);
    dest[0] = '\0';
    errno   = ERANGE;
    return ERANGE;
}

int str_safecopy(char *dest, size_t size, const char *src)
{
    return str_safecopy_imp(dest, size, src, 1);
}

int str_safecopy2(char *dest, size_t size, const char *src)
{
    return str_safecopy_imp(dest, size, src, 0);
}

size_t str_safecopy_len(char *dest, const char *src, size_t size)
{
    if (str_safecopy_imp(dest, size, src, 0) != 0) {
        return size;
    }
    return os_strnlen(dest, size);
}

int str_safecat_imp(char *dest, size_t size, const char *src, int strict)
{
    if (int rc = check_dest_src(dest, size, src); rc != 0) {
        return rc;
    }
    size_t dlen = os_strnlen(dest, size);
    if (dlen == size) {
        dest[0] = '\0';
        STR_PRECOND_REPORT(k_nonul_cond);
        errno = EINVAL;
        return EINVAL;
    }
    size_t room = size - dlen;
    size_t len  = os_strnlen(src, room);
    if (len < room) {
        memmove(dest + dlen, src, len + 1);
        return 0;
    }
    if (!strict) {
        memmove(dest + dlen, src, room - 1);
        dest[size - 1] = '\0';
        return 0;
    }
    STR_OVERFLOW_REPORT(dlen + strlen(src) + 1, size, src);
    dest[0] = '\0';
    errno   = ERANGE;
    return ERANGE;
}

int str_safecat(char *dest, size_t size, const char *src)
{
    return str_safecat_imp(dest, size, src, 1);
}

int str_safecat2(char *dest, size_t size, const char *src)
{
    return str_safecat_imp(dest, size, src, 0);
}

int str_safecat_chr(char *dest, size_t size, char c)
{
    const char text[2] = {c, '\0'};
    return str_safecat_imp(dest, size, text, 1);
}

int str_vsprintf_s_imp(char *dest, size_t size, const char *fmt, va_list ap, int strict)
{
    int n = os_vsnprintf(dest, size, fmt, ap);
    if (n < 0) {
        int eno = errno;
        dest[0] = '\0';
        ZLOG_ERR("buf_size=%zu fmt=[%s] eno=[%d] [%s]\n", size, fmt, eno, strerror(eno));
        assert_dump_stack();
        return n;
    }
    if (static_cast<size_t>(n) < size) {
        return n;
    }
    if (strict) {
        dest[0] = '\0';
        ZLOG_ERR("need_size=%zu buf_size=%zu fmt=[%s]\n", static_cast<size_t>(n) + 1, size, fmt);
        assert_dump_stack();
        return n;
    }
    // vsnprintf has kept the first size-1 characters and ended them.
    return static_cast<int>(size - 1);
}

int str_vsprintf_s(char *dest, size_t size, const char *fmt, va_list ap)
{
    return str_vsprintf_s_imp(dest, size, fmt, ap, 1);
}

int str_vsprintf_s2(char *dest, size_t size, const char *fmt, va_list ap)
{
    return str_vsprintf_s_imp(dest, size, fmt, ap, 0);
}

int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list ap, int strict)
{
    // Only a destination without a NUL within size is refused. A text of
    // size-1 characters still goes through the formatter with one byte left,
    // so that a strict append that cannot fit is reported, and a truncating
    // or empty one returns the length kept. The length is bounded by size:
    // an unterminated buffer is never read past its end.
    size_t len = os_strnlen(dest, size);
    if (len >= size) {
        return -1;
    }
    size_t clen = size - len;
    int    ret  = str_vsprintf_s_imp(dest + len, clen, fmt, ap, strict);
    if (ret < 0 || static_cast<size_t>(ret) >= clen) {
        ZLOG_ERR("expr[%s]: assert failed\n", "ret<clen");
        assert_dump_stack();
    }
    return static_cast<int>(len) + ret;
}

namespace {

// The argument check of the variadic formatters: 22 without a destination.
int format_checked(char *dest, size_t size, const char *fmt, va_list ap, int strict, bool append)
    __attribute__((format(printf, 3, 0)));
int format_checked(char *dest, size_t size, const char *fmt, va_list ap, int strict, bool append)
{
    if (dest == nullptr || size == 0) {
        STR_PRECOND_REPORT(k_dest_cond);
        errno = EINVAL;
        return EINVAL;
    }
    return append ? strcat_vprintf(dest, size, fmt, ap, strict) : str_vsprintf_s_imp(dest, size, fmt, ap, strict);
}

}  // namespace

int strcat_printf(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = format_checked(dest, size, fmt, ap, 1, true);
    va_end(ap);
    return n;
}

int strcat_printf2(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = format_checked(dest, size, fmt, ap, 0, true);
    va_end(ap);
    return n;
}

int str_sprintf_s(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = format_checked(dest, size, fmt, ap, 1, false);
    va_end(ap);
    return n;
}

int str_sprintf_s2(char *dest, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = format_checked(dest, size, fmt, ap, 0, false);
    va_end(ap);
    return n;
}

void *safe_malloc(size_t size)
{
    void *p = os_zalloc(size);
    if (p == nullptr) {
        ZLOG_CRIT("Failed to malloc %zu bytes of memory: %s. Bailing out", size, strerror(errno));
        safe_bail_out();
    }
    return p;
}

void *safe_calloc(uint32_t count, uint32_t size)
{
    void *p = os_calloc(count, size);
    if (p == nullptr) {
        ZLOG_CRIT("Failed to calloc %u-%u bytes of memory: %s. Bailing out", count, size, strerror(errno));
        safe_bail_out();
    }
    return p;
}

void *safe_realloc(void *ptr, size_t size)
{
    void *p = os_realloc(ptr, size);
    if (p == nullptr) {
        ZLOG_CRIT("Failed to realloc buffer to %zu bytes of memory: %s. Bailing out", size, strerror(errno));
        safe_bail_out();
    }
    return p;
}

char *safe_strdup(const char *text)
{
    if (text == nullptr) {
        ZLOG_CRIT("safe_strdup called with NULL which would have crashed strdup. Bailing out");
        safe_bail_out();
    }
    char *p = os_strdup(text);
    if (p == nullptr) {
        ZLOG_CRIT("Failed to duplicate a string: %s. Bailing out", strerror(errno));
        safe_bail_out();
    }
    return p;
}

int safe_vasprintf(char **result, const char *fmt, va_list ap)
{
    int n = os_vasprintf(result, fmt, ap);
    if (n == -1) {
        ZLOG_CRIT("Failed to vasprintf: %s. Bailing out", strerror(errno));
        safe_bail_out();
    }
    return n;
}

int safe_asprintf(char **result, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = safe_vasprintf(result, fmt, ap);
    va_end(ap);
    return n;
}
