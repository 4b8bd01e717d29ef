// Bounded strings: the one set of calls that fill the system's fixed-size
// text buffers. (dest, size) always counts the NUL. Copy and concatenation
// return 0, 22 (missing argument, size 0, destination without NUL) or 34 (does
// not fit, strict form), the codes also left in errno. The strict form empties
// the destination on overflow and logs; the truncating form (suffix 2) keeps
// what fits and logs nothing. The safe_ allocators never return without
// memory: their failure is a crit message, which ends the process.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

int str_safecopy_imp(char *dest, size_t size, const char *src, int strict);
int str_safecopy(char *dest, size_t size, const char *src);
int str_safecopy2(char *dest, size_t size, const char *src);
// Truncating copy; the length now in dest, or size when the copy was refused.
size_t str_safecopy_len(char *dest, const char *src, size_t size);

int str_safecat_imp(char *dest, size_t size, const char *src, int strict);
int str_safecat(char *dest, size_t size, const char *src);
int str_safecat2(char *dest, size_t size, const char *src);
int str_safecat_chr(char *dest, size_t size, char c);

// The formatted length (strict overflow: the length the whole text needed;
// truncating overflow: size-1), or the negative result of a failed format.
// Requires: dest != nullptr and size > 0 (not checked).
int str_vsprintf_s_imp(char *dest, size_t size, const char *fmt, va_list ap, int strict)
    __attribute__((format(printf, 3, 0)));
int str_vsprintf_s(char *dest, size_t size, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));
int str_vsprintf_s2(char *dest, size_t size, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));
int str_sprintf_s(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int str_sprintf_s2(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Appends formatted text; the new total length, or -1 when dest holds no NUL
// within size (nothing written or logged).
int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list ap, int strict)
    __attribute__((format(printf, 3, 0)));
int strcat_printf(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int strcat_printf2(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

void *safe_malloc(size_t size);
void *safe_calloc(uint32_t count, uint32_t size);
void *safe_realloc(void *ptr, size_t size);
char *safe_strdup(const char *text);
int   safe_vasprintf(char **result, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int   safe_asprintf(char **result, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
