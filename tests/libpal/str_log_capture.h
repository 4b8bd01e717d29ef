// Test helper: takes the default log context's hook for the life of the
// object and keeps every message as formatted text, so that tests can check
// what the string and allocation calls report.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "liblog/log2.h"

struct captured_line {
    uint32_t    level;
    std::string tag;
    std::string text;
};

class log_capture {
public:
    log_capture()
    {
        lines().clear();
        log2_set_hook(nullptr, hook);
    }
    ~log_capture() { log2_set_hook(nullptr, nullptr); }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    const std::vector<captured_line> &all() const { return lines(); }
    void clear() { lines().clear(); }

    // True when some message contains piece.
    bool has(const std::string &piece) const
    {
        for (const auto &l : lines()) {
            if (l.text.find(piece) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    static std::vector<captured_line> &lines()
    {
        static std::vector<captured_line> v;
        return v;
    }
    static void hook(uint32_t level, const char *tag, const char *, int, const char *, int, const char *fmt,
                     va_list ap)
    {
        char buf[1024];
        vsnprintf(buf, sizeof(buf), fmt, ap);
        lines().push_back({level & 0xff, tag != nullptr ? tag : "", buf});
    }
};
