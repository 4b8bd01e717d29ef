// The one signal handler of the process. Stop signals (SIGTERM, SIGQUIT,
// SIGINT) are handed to the stop thread, which runs g_app's user_stop_proc;
// fault signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) are logged as a
// panic on the faulting thread and end the process with status 254, or with
// the signal's default action and a core once core dumps are on.
#pragma once

// Installs panic_handler for the eight signals and ignores SIGXFSZ for the
// process's life (os_popen gives its commands the default back), so that a
// write past a file-size limit fails with EFBIG. Called by os_init. 0.
int os_panic_init();
void panic_handler(int signo);

// Starts the thread that runs the stop hook for the handler. The application
// frame calls it once it runs in its final process (after os_daemonize with
// -d): a forked process has no such thread until it calls this again. Until
// then a stop signal with g_app's exit-on-stop flag set ends the process with
// status 253 (without a log line: the handler may not log), else is ignored.
// 0 (also when already running in this process), -1 when the thread or its
// pipe cannot be made (logged).
int os_panic_start_stop_thread();

// Raises the core size limit to unlimited and keeps directory (at most 4096
// bytes) for the fault path. 0, or -1 when the limit cannot be raised (logged).
int os_panic_init_core_dump(const char *directory);
// Core dumps for root only: -1 without root privileges, 0 otherwise (also
// when directory is nullptr or empty, which leaves core dumps off).
int os_painc_set_dump_dir(const char *directory, const char *name);
// Called on the faulting thread after the panic messages; nullptr clears it.
void os_panic_set_hook(void (*hook)());
// Runs that hook, if one is set: for a process that ends abnormally without a
// fault (a crit message), so that what it restores (the terminal) is restored.
void os_panic_call_hook();
