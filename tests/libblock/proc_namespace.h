// Test helper: a mount namespace of the process's own where /proc is not
// procfs, for the opens that must go through /proc/self/fd. Either /proc is
// unmounted, or a tmpfs stands in its place whose self/fd/N, for every
// descriptor number a test may hold, links to a decoy that must never be
// opened. The namespace changes the whole process: enter it only in a
// process of its own (a death test's child).
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace proc_ns {

constexpr int kLinkedFds = 1024;

// Enters the namespace; decoy empty: /proc unmounted. "" on success, else
// the step that failed and its errno's text.
inline std::string enter(const std::string &decoy)
{
    const auto failed = [](const char *step) { return std::string(step) + ": " + strerror(errno); };
    if (unshare(CLONE_NEWNS) != 0)
        return failed("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("mount --make-rprivate /");
    if (umount2("/proc", MNT_DETACH) != 0)
        return failed("umount -l /proc");
    if (decoy.empty())
        return "";
    if (mount("tmpfs", "/proc", "tmpfs", 0, "mode=0755") != 0)
        return failed("mount -t tmpfs /proc");
    if (mkdir("/proc/self", 0755) != 0 || mkdir("/proc/self/fd", 0755) != 0)
        return failed("mkdir /proc/self/fd");
    for (int fd = 0; fd < kLinkedFds; fd++) {
        if (symlink(decoy.c_str(), ("/proc/self/fd/" + std::to_string(fd)).c_str()) != 0)
            return failed("symlink");
    }
    return "";
}

// Why a test of this kind cannot run here ("" when it can): the namespace is
// tried in a child that does nothing else, so no lock of this process is
// ever held across the fork.
inline std::string unavailable()
{
    const pid_t pid = fork();
    if (pid < 0)
        return std::string("fork: ") + strerror(errno);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2("/proc", MNT_DETACH) != 0)
            _exit(errno);
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return "the namespace probe did not end";
    if (WEXITSTATUS(status) != 0)
        return std::string("a mount namespace without /proc is not allowed here: ") + strerror(WEXITSTATUS(status));
    return "";
}

}  // namespace proc_ns
