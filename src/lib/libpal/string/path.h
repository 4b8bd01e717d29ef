// Paths as plain texts of at most PL_MAX_PATH bytes (the NUL included): the
// one normalisation every path-taking call applies to its private copy, tests
// and in-place splits, and joins of a directory and a name. Both '/' and '\'
// are separators in tests and splits; the normalised form uses '/' only.
// Nothing here touches the file system except path_realpath and the working
// directory read by path_canonical.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef PL_MAX_PATH
#define PL_MAX_PATH 4096
#endif

// In place: trims blanks and enclosing quote pairs, turns '\' into '/', drops
// a leading "file://" and collapses runs of '/'; "." and ".." stay.
char *path_normalize(char *path);
// Strict copy into (out, size), then path_normalize; a path that does not fit
// leaves out empty.
char *path_normalize_buf(const char *path, char *out, size_t size);
// Every separator of the other kind becomes sep; runs of sep collapse to one.
char *path_set_sep(char *path, char sep);
char *path_unix_sep(char *path);
// Towards '\': every '/' becomes '\' and runs of '\' collapse to one.
uint32_t *path_wide_to_win_sep(uint32_t *path);
// The single-rooted form: '/' separators, no trailing '/', a drive letter as a
// first component ("C:/x" and "/c:/x" become "/C_/x" and "/c_/x").
// Requires: path in a buffer of PL_MAX_PATH bytes (the drive form grows by one).
char *path_to_unix(char *path);
char *path_to_unix_buf(const char *path, char *out, size_t size);
// "/" put in front of path (in a buffer of PL_MAX_PATH bytes).
char *path_drive_to_root(char *path);

bool   path_is_absolute(const char *path);
bool   path_is_root(const char *path);
bool   path_has_tail_sep(const char *path);
bool   path_is_name_only(const char *path);
bool   path_equal(const char *a, const char *b);
bool   path_dir_equal(const char *a, const char *b);
size_t path_sep_count(const char *path);

// Splits in place.
char *path_basename(char *path);  // a pointer into path
char *path_dirname(char *path);
char *path_dir_with_sep(char *path);
char *path_del_ext(char *path);
char *path_del_tail_sep(char *path);
// Requires: path in a buffer of PL_MAX_PATH bytes.
char *path_add_sep_not_exist_tail(char *path);

// Joins: out = path, a '/' when path does not end in a separator, file. A
// result that does not fit, or a missing argument, leaves out empty.
char *path_build2(char *opath, size_t size, const char *path, const char *file);
char *path_build(char *opath, const char *path, const char *file);
// As path_build with file decoded from its backslash escapes (decoded bytes,
// NULs included, are appended as they are); out empty when it does not fit.
char *path_build_unescape_name(char *out, const char *path, const char *escaped_name);
// An absolute path with "." and ".." resolved as text; a relative path is taken
// from base, or from the working directory without base. out holds
// PL_MAX_PATH bytes; nullptr (out empty) when the path does not fit there.
char *path_canonical(const char *path, const char *base, char *out);
// The path in double quotes when it holds a blank, a tab or ';' and does not
// begin with '"'; an empty path becomes two double quotes. path_quote needs a
// buffer of PL_MAX_PATH bytes, path_quote_buf an out of PL_MAX_PATH bytes.
char *path_quote(char *path);
char *path_quote_buf(const char *path, char *out);
// The system's realpath: resolved holds PL_MAX_PATH bytes.
char *path_realpath(const char *path, char *resolved);
