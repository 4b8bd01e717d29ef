// Detaching into a daemon: two forks, a new session, SIGHUP ignored, mask 0
// and standard descriptors on /dev/null. Called by the application frame with
// -d, before any other thread is started. The process that called it waits
// until the daemon serves or has failed to start, so its status tells the
// truth.
#pragma once

// The close-all-descriptors switch (0 off, default): when on, os_daemonize
// closes every descriptor up to the open-files limit, else only 0, 1 and 2.
// An int so that the daemon's -s key table can target it.
extern int g_daemon_close_all_fd;

// How long the calling process waits for the daemon to serve, in ms.
// Nothing in the environment changes it: only a test sets a shorter bound,
// through os_daemon_set_start_wait (1 to the default; anything else restores
// the default).
constexpr unsigned OS_DAEMON_START_WAIT_MS = 60000;
void os_daemon_set_start_wait(unsigned ms);

// 0 in the daemon (the calling thread goes on there, as its only thread),
// -1 when a fork fails or a library's thread could not be stopped before it
// (logged; nothing detached). The calling process never returns: it copies
// what the daemon writes on standard error until os_daemon_ready, then ends
// with status 0 after printing ready_text (nullptr: nothing) on standard
// error; when the daemon ends before it is ready, it says so and ends with
// status 1; when the daemon has not served within the start bound, it stops
// the daemon (SIGTERM, then SIGKILL), prints the daemon's last line and ends
// with status 1. The intermediate process ends with status 0.
int os_daemonize(const char *ready_text);

// No thread may run when the daemon forks (a fork copies only the calling
// thread, with whatever locks the others held). A library that starts a
// thread before detaching registers a pair of hooks: before runs in the
// calling process just before the first fork and leaves none of the
// library's threads running (0), or returns -1 when one cannot be stopped
// (os_daemonize then fails); after runs in the daemon, or in the calling
// process when it goes on undetached, and starts them again. Between
// os_daemon_expect and that point, os_daemon_detaching is true and such a
// library starts no thread at all: it leaves the start to its after hook.
// A pair is registered once however often it is added, and must be deleted
// before arg is freed.
using os_daemon_hook = int (*)(void *arg);
int os_daemon_hook_add(os_daemon_hook before, os_daemon_hook after, void *arg);
void os_daemon_hook_del(os_daemon_hook before, os_daemon_hook after, void *arg);
// Called by the application frame as soon as it knows it will detach.
void os_daemon_expect();
bool os_daemon_detaching();
// In the daemon, once it serves: its standard error goes to /dev/null and the
// waiting process ends with status 0. Later calls, and calls in a process
// that did not detach, do nothing.
void os_daemon_ready();
