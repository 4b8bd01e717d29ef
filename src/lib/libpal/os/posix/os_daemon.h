// Detaching into a daemon: two forks, a new session, SIGHUP ignored, mask 0
// and standard descriptors on /dev/null. Called by the application frame with
// -d, before any other thread is started.
#pragma once

// The close-all-descriptors switch (0 off, default): when on, os_daemonize
// closes every descriptor up to the open-files limit, else only 0, 1 and 2.
// An int so that the daemon's -s key table can target it.
extern int g_daemon_close_all_fd;

// 0 in the daemon (the calling thread goes on there, as its only thread);
// the parent processes end with status 0. -1 when a fork fails (logged).
int os_daemonize();
