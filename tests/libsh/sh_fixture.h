// Test helper: a shell context whose output collects in a string, each flush
// written as one NUL byte (as a TCP session sends it).
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "libsh/libsh.h"
#include "libsh/sh_alias.h"

struct sh_capture {
    sh_ctx ctx{};
    std::string out;

    sh_capture()
    {
        ctx.out = this;
        ctx.printf = out_printf;
        ctx.write = out_write;
        ctx.flush = out_flush;
    }
    sh_capture(const sh_capture &) = delete;
    sh_capture &operator=(const sh_capture &) = delete;

    // Runs one line and returns what it wrote, clearing the capture first.
    std::string run(const std::string &line, int *rc = nullptr)
    {
        out.clear();
        int r = exec_commands(&ctx, line.c_str());
        if (rc != nullptr)
            *rc = r;
        return out;
    }

    [[gnu::format(printf, 2, 3)]] static int out_printf(void *o, const char *fmt, ...)
    {
        char buf[8192];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf, sizeof(buf), fmt, ap);
        va_end(ap);
        static_cast<sh_capture *>(o)->out += buf;
        return n;
    }
    static int out_write(void *o, const void *bytes, int len)
    {
        static_cast<sh_capture *>(o)->out.append(static_cast<const char *>(bytes), static_cast<size_t>(len));
        return len;
    }
    static int out_flush(void *o)
    {
        static_cast<sh_capture *>(o)->out += '\0';
        return 1;
    }
};

class Shell : public ::testing::Test {
protected:
    static void SetUpTestSuite() { libsh_init(); }
    sh_capture sh;
};

// Puts the default aliases back after a test changed the table.
struct alias_reset {
    alias_reset() = default;
    alias_reset(const alias_reset &) = delete;
    alias_reset &operator=(const alias_reset &) = delete;
    ~alias_reset()
    {
        alias_exit();
        alias_init();
    }
};
