#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

const char *os_stack_info()
{
    return "release no stack info";
}

void assert_dump_stack()
{
    ZLOG_ERR("[%s]\n", os_stack_info());
}
