// Resource limits of the process, set once at platform start: open files and
// file size raised as far as the system allows, file-creation mask 022.
#pragma once

// os_ulimit(RLIMIT_NOFILE), os_ulimit(RLIMIT_FSIZE), then the mask 022. 0.
int os_limits_init();
// Raises resource's soft and hard limits to unlimited, or, when that is
// refused, the soft limit to the hard one. 0, or -1 (logged).
int os_ulimit(int resource);
