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

// The logged text is part of the design where it is quoted there; such a
// check states it beside the condition, which is written as the code needs.
#define PL_ASSERT_TEXT_RET(cond, text, ret)                \
    do {                                                   \
        if (!(cond)) {                                     \
            ZLOG_ERR("expr[%s]: assert failed\n", text);   \
            assert_dump_stack();                           \
            return ret;                                    \
        }                                                  \
    } while (0)

#define PL_ASSERT_TEXT_RET_VOID(cond, text)                \
    do {                                                   \
        if (!(cond)) {                                     \
            ZLOG_ERR("expr[%s]: assert failed\n", text);   \
            assert_dump_stack();                           \
            return;                                        \
        }                                                  \
    } while (0)

// The condition's own text is logged.
#define PL_ASSERT_RET(expr, ret) PL_ASSERT_TEXT_RET(expr, #expr, ret)
#define PL_ASSERT_RET_VOID(expr) PL_ASSERT_TEXT_RET_VOID(expr, #expr)
