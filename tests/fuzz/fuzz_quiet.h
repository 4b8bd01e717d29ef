// Included once by each fuzz target: log calls are dropped (a rejected input may be
// reported on every run), and findings stop the run with a trap.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "liblog/log2.h"

inline void fuzz_drop_log(uint32_t, const char *, const char *, int, const char *, int, const char *, va_list) {}

#define FUZZ_CHECK(cond)            \
    do {                            \
        if (!(cond))                \
            __builtin_trap();       \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    log2_set_hook(nullptr, fuzz_drop_log);
    return 0;
}
