// Test helper: descriptor 2 redirected into a temporary file until take(),
// for the logger's complaints on standard error.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class stderr_capture {
public:
    stderr_capture()
    {
        fflush(stderr);
        std::string path = ::testing::TempDir() + "zorv_log2_XXXXXX";
        fd_ = mkstemp(path.data());
        unlink(path.c_str());
        saved_ = dup(STDERR_FILENO);
        dup2(fd_, STDERR_FILENO);
    }
    ~stderr_capture()
    {
        restore();
        close(fd_);
    }
    stderr_capture(const stderr_capture &) = delete;
    stderr_capture &operator=(const stderr_capture &) = delete;

    std::string take()
    {
        restore();
        std::string out;
        char buf[65536];
        lseek(fd_, 0, SEEK_SET);
        ssize_t n = 0;
        while ((n = read(fd_, buf, sizeof(buf))) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    int fd_ = -1;
    int saved_ = -1;
};
