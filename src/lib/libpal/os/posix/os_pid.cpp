// Process ids and privileges.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_pid.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "liblog/zlog.h"

namespace {

constexpr int k_max_groups = 1023;

// What a temporary drop took away; written and read by the one thread that
// drops and restores.
uid_t s_saved_euid = 0;
gid_t s_saved_egid = 0;
gid_t s_saved_groups[k_max_groups];
int s_saved_ngroups = 0;

// A privilege change that did not take effect leaves the process with rights
// it must not have: nothing after it may run.
void require(bool ok)
{
    if (!ok)
        abort();
}

}  // namespace

int os_getpid()
{
    return static_cast<int>(getpid());
}

bool os_is_root()
{
    return geteuid() == 0;
}

void os_priv_drop(bool permanent)
{
    const gid_t rgid = getgid();
    const gid_t egid = getegid();
    const uid_t ruid = getuid();
    const uid_t euid = geteuid();
    if (!permanent) {
        s_saved_euid = euid;
        s_saved_egid = egid;
        s_saved_ngroups = getgroups(k_max_groups, s_saved_groups);
        require(s_saved_ngroups >= 0);
    }
    if (euid == 0)
        require(setgroups(1, &rgid) == 0);
    // setresgid/setresuid rather than setgid/setuid: without root, Linux's
    // setuid changes only the effective id and the saved one would still
    // allow taking the old id back.
    if (egid != rgid)
        require((permanent ? setresgid(rgid, rgid, rgid) : setegid(rgid)) == 0);
    if (euid != ruid)
        require((permanent ? setresuid(ruid, ruid, ruid) : seteuid(ruid)) == 0);
    if (permanent) {
        // Root may take any group back, so the group test applies to others.
        if (egid != rgid && ruid != 0)
            require(setegid(egid) == -1 && setgid(egid) == -1);
        if (euid != ruid)
            require(seteuid(euid) == -1 && setuid(euid) == -1);
    }
    require(getegid() == rgid && geteuid() == ruid);
}

void os_priv_restore()
{
    require(seteuid(s_saved_euid) == 0 && geteuid() == s_saved_euid);
    require(setegid(s_saved_egid) == 0 && getegid() == s_saved_egid);
    if (s_saved_euid == 0)
        require(setgroups(static_cast<size_t>(s_saved_ngroups), s_saved_groups) == 0);
}

int os_fork_child()
{
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        perror("execl failed");
        _exit(1);
    }
    return static_cast<int>(pid);
}

int os_pid_exist(int)
{
    ZLOG_WARN("noimpl\n");
    return 0;
}

int os_pidof(const char *)
{
    ZLOG_WARN("noimpl\n");
    return 0;
}

int os_pid_name(int, char *, int)
{
    ZLOG_WARN("noimpl\n");
    return -1;
}

int os_get_cmdline(int, char *, int)
{
    ZLOG_WARN("noimpl\n");
    return -1;
}

int os_kill(int, int)
{
    ZLOG_WARN("noimpl\n");
    return 0;
}

int os_shutdown(int)
{
    ZLOG_WARN("noimpl\n");
    return -1;
}
