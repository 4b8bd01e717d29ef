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

// 0 in the daemon (the calling thread goes on there, as its only thread),
// -1 when a fork fails (logged). The calling process never returns: it copies
// what the daemon writes on standard error until os_daemon_ready, then ends
// with status 0 after printing ready_text (nullptr: nothing) on standard
// error; when the daemon ends before it is ready, it says so and ends with
// status 1. The intermediate process ends with status 0.
int os_daemonize(const char *ready_text);
// In the daemon, once it serves: its standard error goes to /dev/null and the
// waiting process ends with status 0. Later calls, and calls in a process
// that did not detach, do nothing.
void os_daemon_ready();
