#include "libpal/utils/var_chk.h"

#include <gtest/gtest.h>

#include "str_log_capture.h"

TEST(VarIntCheck, OutOfRangeGivesTheFixWithAWarning)
{
    log_capture log;
    EXPECT_EQ(var_int_check(0, "t", 1, 600, 15), 15);
    EXPECT_TRUE(log.has("[t]=0 < min=1 fix=15"));
    EXPECT_EQ(var_int_check(700, "t", 1, 600, 15), 15);
    EXPECT_TRUE(log.has("[t]=700 > max=600 fix=15"));
    EXPECT_EQ(var_int_check(30, "t", 1, 0, 15), 30);
    log.clear();
    EXPECT_EQ(var_int_check(0, nullptr, 1, 0, 9), 9);
    EXPECT_TRUE(log.all().empty());
}
