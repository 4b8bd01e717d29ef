// The OS layer's start and end (called by the platform start-up), and helpers
// written once for the whole system: console input, directory resolution,
// creation and removal, pruning of old files, dynamic loading, environment
// variables, the executable's path and the command line as one text. Paths
// are copied into 4096 bytes and normalised before use; calls return 0 or -1
// with errno unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_dir_entry;

// 0 when path is a directory already; -1 with EACCES when it exists and is
// something else; else mkdir's result.
int os_mkdir_mode(const char *path, uint32_t mode);
int os_mkdir(const char *path);  // mode 0755
// Creates every missing directory of path, its last component included. A
// directory that another process creates meanwhile counts as made.
int os_mkdirs(const char *path);
// os_mkdirs of everything before the path's last separator; -1 without one.
int os_mkdirs_parent(const char *path);

// Process limits and the file-creation mask 022, random seeds, the global OS
// mutex, the signal handler. Requires: called once, on the main thread, before
// other threads run.
int os_init();
int os_exit();
// pl_exit (the log sinks close), every output stream flushed, then the
// process ends with status. Static destructors do not run: other threads may
// still be using what they would free. Safe to call after pl_exit, and while
// another thread waits in os_stdin_gets.
[[noreturn]] void os_process_exit(int status);

// One line from standard input, newline kept; nullptr at the end or on error.
// Requires: one reading thread at a time (the stream is read without its lock).
char *os_stdin_gets(char *buf, size_t size);
// Waits until a key is pending on standard input (not read), with echo and
// line mode off meanwhile. Not re-entrant.
void os_console_wait_key();

// name against base: "." the base, ".." its parent with a trailing "/", an
// absolute name itself, else base + "/" + name. Returns out.
char *os_dir_resolve(const char *base, const char *name, char *out, size_t size);
// Resolves name against current (4096 bytes, updated in place when the result
// is a directory). A non-directory fails with error code -126 in errno.
int os_dir_change(char *current, const char *ignored, const char *name);
// 1 a directory, 0 something else, -1 when stat fails.
int os_is_dir(const char *path);
// rmdir; a non-directory is removed with remove. The flag changes nothing.
int os_rmdir(const char *path);
int os_rmdir_r(const char *path, bool recursive);
int os_remove_dir(const char *path);
// lstat of path (one trailing "/" removed) into rec with its base name; for a
// link, link_mode 1 stores its text as read, 2 its target as a path.
int os_stat_link(const char *path, uint32_t link_mode, os_dir_entry *rec);
// Keeps the last keep entries of directory that match pattern, in byte order
// of their names, and removes the others. 0, or -1 (logged).
int os_dir_glob_del_old_file(const char *directory, const char *pattern, uint32_t keep);

// Dynamic loading.
void *os_dlopen(const char *name);
// As os_dlopen, logging the name and a failure.
void *os_dlopen2(const char *name);
void *os_dlsym(void *h, const char *name);
int os_dlclose(void *h);
const char *os_dlerror();

// Environment.
const char *os_getenv(const char *name);
int os_setenv(const char *name, const char *value, int overwrite);
int os_unsetenv(const char *name);
// The value formatted into 256 bytes, overwriting; -1 with ERANGE (nothing
// set) when it does not fit.
int os_setenv_fmt(const char *name, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// 0 when the variable is not set.
uint64_t os_getenv_size(const char *name);
int os_getenv_int(const char *name);

// The executable's full path.
int os_exe_get_name(char *buf, size_t size);
// The executable's directory with its trailing "/".
int os_exe_get_dir(char *buf, size_t size);
// name in the "conf" directory beside the executable when that directory
// exists, else beside the executable. out holds 4096 bytes; returned.
char *os_conf_file_path(char *out, const char *name);
// The arguments as one line, each followed by a blank, one holding a blank in
// double quotes; out emptied when the line does not fit. Returns out.
char *os_cmdline_get(int argc, char **argv, char *out, size_t size);
