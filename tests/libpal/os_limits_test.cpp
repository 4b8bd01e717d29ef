#include "libpal/os/posix/os_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "str_log_capture.h"

TEST(UlimitDeathTest, LoweredHardLimitBecomesTheSoftLimit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        int resource;
        rlimit before;
    };
    // Without the right to raise hard limits, and always for open files (Linux
    // caps them at fs.nr_open), unlimited is refused and the soft limit rises
    // to the lowered hard one; with it, both become unlimited.
    const row rows[] = {
        {RLIMIT_NOFILE, {256, 512}},
        {RLIMIT_NOFILE, {512, 512}},
        {RLIMIT_FSIZE, {1 << 20, 1 << 21}},
    };
    for (const auto &r : rows) {
        EXPECT_EXIT(
            {
                if (setrlimit(r.resource, &r.before) != 0)
                    _exit(2);
                if (os_ulimit(r.resource) != 0)
                    _exit(3);
                rlimit now;
                getrlimit(r.resource, &now);
                const bool raised = now.rlim_max == RLIM_INFINITY || now.rlim_max == r.before.rlim_max;
                _exit(now.rlim_cur == now.rlim_max && raised ? 0 : 4);
            },
            ::testing::ExitedWithCode(0), "")
            << "resource " << r.resource << " hard " << r.before.rlim_max;
    }
}

TEST(Ulimit, UnknownResourceFailsAndSaysWhich)
{
    log_capture log;
    EXPECT_EQ(os_ulimit(999), -1);
    EXPECT_TRUE(log.has("getrlimit [999] error:"));
}
