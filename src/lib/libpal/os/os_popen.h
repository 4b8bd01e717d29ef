// Command runner: starts a program with its standard output (mode "r") or
// standard input (mode "w") and its standard error on pipes, reads what it
// printed and waits for it within a bound. Used by the stream layer's command
// driver. A record belongs to the thread that started the child. The child
// starts with default signal dispositions (os_child_signals_default).
#pragma once

#include <sys/types.h>

#include <cstdint>

struct popen_ctx {
    char    *cmd;     // heap copy of the command line
    uint32_t pid;
    uint32_t fd;      // the child's output ("r") or input ("w")
    uint32_t fd_err;  // the child's standard error
    uint32_t done;
    int32_t  result;  // valid once done
};

// Runs command through "/bin/sh -c". mode is exactly "r" or "w" (else errno
// EINVAL and nullptr). Released with os_pclose.
popen_ctx *os_popen(const char *command, const char *mode);
// The same without a shell: command is split into words by str_parse_cmdline
// and started with execvp. A start failure ends the child with errno as status.
popen_ctx *os_popen_argv(const char *command, const char *mode);
popen_ctx *os_popen_imp(bool shell, const char *command, const char *mode);

// The whole rest of the output / error pipe as a new text (os_free).
char *os_popen_stdout(popen_ctx *ctx);
char *os_popen_stderr(popen_ctx *ctx);
// Both pipes read together until both end, so a child that fills one pipe
// while the other is read cannot stall. Either out may be nullptr (that
// pipe's data is then dropped). 0, or -1 (nothing returned) on failure.
int os_popen_read_all(popen_ctx *ctx, char **out, char **err);
// The same within ms milliseconds (UINT32_MAX: no bound): -1 with ETIMEDOUT
// (nothing returned) when the pipes have not both ended by then.
int os_popen_read_all_ms(popen_ctx *ctx, char **out, char **err, uint32_t ms);
// Reads fd in pieces of 4096 bytes until a read returns 0 or less; the text
// (empty when nothing came) or nullptr when memory runs out.
char *os_fd_read_all(int fd);

// 0 while the child runs; its result code once ended; -1 on a wait failure.
int os_perrno_get(popen_ctx *ctx);
// The result code, or -1 when the child has not ended within ms milliseconds.
int os_perrno_wait(popen_ctx *ctx, uint32_t ms);
// Closes both pipes, waits up to 1000 ms and frees ctx; a child still running
// is left running. Returns 0.
int os_pclose(popen_ctx *ctx);

// The exit code of an exited child, the signal number of a stopped or killed
// one, -1 for a continued one. name may be nullptr.
int os_waitpid_status_2_eno(pid_t pid, int status, const char *name);

// In a new child before it runs another program (async-signal-safe): every
// ignored signal back to its default action and no signal blocked. An
// ignored signal and the mask survive exec, and the daemon's own choices
// (SIGXFSZ, SIGPIPE and SIGHUP ignored) are not a command's to inherit.
// Every way of starting a child (os_popen, os_popen_argv, os_system) calls it.
void os_child_signals_default();

// Run, take both texts (os_free), wait up to 1000 ms, close. The child's
// result code, or -1. The second argument is not used.
int os_popen_exec(const char *command, void *unused, char **out, char **err);
int os_popen_exec_argv(const char *command, void *unused, char **out, char **err);
