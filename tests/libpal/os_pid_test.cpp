#include "libpal/os/posix/os_pid.h"

#include <grp.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uid_t k_nobody = 65534;
constexpr gid_t k_nogroup = 65534;

std::vector<gid_t> groups()
{
    std::vector<gid_t> g(static_cast<size_t>(getgroups(0, nullptr)));
    g.resize(static_cast<size_t>(getgroups(static_cast<int>(g.size()), g.data())));
    return g;
}

bool ids_are(uid_t ruid, uid_t euid, uid_t suid, gid_t rgid, gid_t egid, gid_t sgid)
{
    uid_t r, e, s;
    gid_t gr, ge, gs;
    return getresuid(&r, &e, &s) == 0 && getresgid(&gr, &ge, &gs) == 0 && r == ruid && e == euid &&
           s == suid && gr == rgid && ge == egid && gs == sgid;
}

}  // namespace

// Each case changes the ids of its process, so it runs in a child; a failed
// privilege step aborts, which the exit check reports.
TEST(PrivilegesDeathTest, DropAndRestore)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to set up differing real and effective ids";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<gid_t> start_groups = {0, 4, 27};

    // Real ids nobody/nogroup, effective and saved root: a temporary drop can
    // be undone.
    EXPECT_EXIT(
        {
            if (setgroups(start_groups.size(), start_groups.data()) != 0 ||
                setresgid(k_nogroup, 0, 0) != 0 || setresuid(k_nobody, 0, 0) != 0)
                _exit(2);
            os_priv_drop(false);
            if (os_is_root() || !ids_are(k_nobody, k_nobody, 0, k_nogroup, k_nogroup, 0) ||
                groups() != std::vector<gid_t>{k_nogroup})
                _exit(3);
            os_priv_restore();
            if (!os_is_root() || !ids_are(k_nobody, 0, 0, k_nogroup, 0, 0) || groups() != start_groups)
                _exit(4);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    struct row {
        uid_t ruid;
        gid_t rgid;
    };
    // A permanent drop leaves no way back; a root user with another real
    // group keeps root and loses the group.
    const row rows[] = {{k_nobody, k_nogroup}, {k_nobody, 0}, {0, k_nogroup}};
    for (const auto &r : rows) {
        EXPECT_EXIT(
            {
                if (setresgid(r.rgid, 0, 0) != 0 || setresuid(r.ruid, 0, 0) != 0)
                    _exit(2);
                os_priv_drop(true);
                if (!ids_are(r.ruid, r.ruid, r.ruid, r.rgid, r.rgid, r.rgid))
                    _exit(3);
                if (r.ruid != 0 && (seteuid(0) == 0 || setuid(0) == 0))
                    _exit(4);
                _exit(0);
            },
            ::testing::ExitedWithCode(0), "")
            << "real uid " << r.ruid << " gid " << r.rgid;
    }
}

TEST(ProcessIds, OwnProcess)
{
    EXPECT_EQ(os_getpid(), getpid());
    EXPECT_EQ(os_is_root(), geteuid() == 0);
}
