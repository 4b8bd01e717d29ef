// Process identity: the process id, root test, dropping and restoring
// privileges, a bare fork helper, and process queries this platform leaves
// unimplemented (they log "noimpl" and give a fixed result).
#pragma once

// The calling process's id.
int os_getpid();
// True when the effective user id is 0.
bool os_is_root();

// Sets the effective group and user ids to the real ones (permanent: the
// real and saved ids too, so they cannot be taken back); as root the
// supplementary groups are reduced to the real group first. A temporary drop
// saves the effective ids and groups (at most 1023) for os_priv_restore.
// Any failed step or check ends the process with abort.
void os_priv_drop(bool permanent);
// Requires: a temporary os_priv_drop before. Aborts on failure.
void os_priv_restore();

// The child's id to the parent, -1 when fork fails; the child reports
// "execl failed" and ends with status 1.
int os_fork_child();

// Unimplemented here: each logs "noimpl".
int os_pid_exist(int pid);                              // 0
int os_pidof(const char *name);                         // 0
int os_pid_name(int pid, char *name, int size);         // -1
int os_get_cmdline(int pid, char *buf, int size);       // -1
int os_kill(int pid, int signo);                        // 0
int os_shutdown(int mode);                              // -1
