#include "libpal/os/os_opt.h"

#include <gtest/gtest.h>

#include "libpal/basic/os_malloc.h"
#include "libpal/value/value2.h"

namespace {

struct targets {
    int port = 10809;
    int readonly = 1;
    char *name = nullptr;
};

class OptKv : public ::testing::Test {
protected:
    void TearDown() override
    {
        os_opt_kv_free(table_);
        os_free(t_.name);
    }
    targets t_;
    os_opt_kv table_[4] = {
        {"nbd_server_port", &t_.port, VALUE_TYPE_INT, nullptr},
        {"nbd_readonly_flag", &t_.readonly, VALUE_TYPE_INT, nullptr},
        {"name", &t_.name, VALUE_TYPE_STRING, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
};

TEST_F(OptKv, CollectsThenAppliesOverTheTargets)
{
    struct row {
        const char *arg;
        int rc;
    };
    const row rows[] = {
        {"NBD_Server_Port=7000", 0},  // keys without regard to case
        {"nbd_server_port=7001", 0},  // a later value replaces the earlier
        {"nbd_readonly_flag=0", 0},
        {"name=disk one", 0},
        {"nbd_server_port", -1},      // no "="
        {"http_port=1", -1},          // no such key
        // A value an int row cannot hold keeps the row as it was.
        {"nbd_readonly_flag=yes", -1},
        {"nbd_server_port=abc", -1},
        {"nbd_server_port=12x", -1},
        {"nbd_server_port=", -1},
        {"nbd_server_port=2147483648", -1},
        {"nbd_server_port=-", -1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(os_opt_kv_get(table_, r.arg), r.rc) << r.arg;
    // Nothing reaches a target before the values are applied.
    EXPECT_EQ(t_.port, 10809);
    EXPECT_STREQ(table_[0].value, "7001");
    ASSERT_EQ(os_opt_kv_apply(table_), 0);
    EXPECT_EQ(t_.port, 7001);
    EXPECT_EQ(t_.readonly, 0);
    EXPECT_STREQ(t_.name, "disk one");
    ASSERT_EQ(os_opt_kv_free(table_), 0);
    EXPECT_EQ(table_[0].value, nullptr);
}

TEST_F(OptKv, SetTwoWritesOneTargetDirectly)
{
    EXPECT_EQ(os_opt_kv_set2(table_, "NAME", "x"), 0);
    EXPECT_STREQ(t_.name, "x");
    EXPECT_EQ(os_opt_kv_set2(table_, "name", "y"), 0);
    EXPECT_STREQ(t_.name, "y");
    EXPECT_EQ(os_opt_kv_set2(table_, "nbd_server_port", "12"), 0);
    EXPECT_EQ(t_.port, 12);
    EXPECT_EQ(os_opt_kv_set2(table_, "other", "1"), -1);
}

TEST_F(OptKv, ListPrintsTheKeysAndExitsZero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(os_opt_kv_get(table_, "list"), ::testing::ExitedWithCode(0),
                "^support the following key settings\nnbd_server_port\nnbd_readonly_flag\nname\n$");
}

}  // namespace
