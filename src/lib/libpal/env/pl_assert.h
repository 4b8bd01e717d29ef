// Soft assertions: a violated precondition never stops the process. It logs
// "expr[%s]: assert failed\n" at err level with the expression's text, logs
// the stack text through assert_dump_stack and returns the function's error
// value. Include after defining ZLOG_TAG.
#pragma once

#include "liblog/zlog.h"

// Logs "[%s]\n" at err level (tag "pal") with the stack text, which this
// build gives as "release no stack info".
void assert_dump_stack();
const char *os_stack_info();

#define PL_ASSERT_RET(expr, ret)                           \
    do {                                                   \
        if (!(expr)) {                                     \
            ZLOG_ERR("expr[%s]: assert failed\n", #expr);  \
            assert_dump_stack();                           \
            return ret;                                    \
        }                                                  \
    } while (0)

#define PL_ASSERT_RET_VOID(expr)                           \
    do {                                                   \
        if (!(expr)) {                                     \
            ZLOG_ERR("expr[%s]: assert failed\n", #expr);  \
            assert_dump_stack();                           \
            return;                                        \
        }                                                  \
    } while (0)
