// Test helper: takes the default log context's hook for the life of the
// object and keeps every message as formatted text, so that tests can check
// what the string and allocation calls report. Threads log while the test
// reads, so every access to the lines takes the capture's own lock.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
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
        clear();
        log2_set_hook(nullptr, hook);
    }
    ~log_capture() { log2_set_hook(nullptr, nullptr); }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    // A copy: the lines may grow while the caller looks at them.
    std::vector<captured_line> all() const
    {
        std::lock_guard<std::mutex> lk(mu());
        return lines();
    }
    // The lines of one module's tag (a first log call of the process may
    // bring the platform's own start-up lines).
    std::vector<captured_line> tagged(const std::string &tag) const
    {
        std::vector<captured_line> out;
        for (const captured_line &l : all()) {
            if (l.tag == tag) {
                out.push_back(l);
            }
        }
        return out;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lk(mu());
        lines().clear();
    }

    // True when some message contains piece.
    bool has(const std::string &piece) const
    {
        std::lock_guard<std::mutex> lk(mu());
        for (const auto &l : lines()) {
            if (l.text.find(piece) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    static std::mutex &mu()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<captured_line> &lines()
    {
        static std::vector<captured_line> v;
        return v;
    }
    [[gnu::format(printf, 7, 0)]] static void hook(uint32_t level, const char *tag, const char *, int, const char *, int, const char *fmt,
                     va_list ap)
    {
        char buf[1024];
        vsnprintf(buf, sizeof(buf), fmt, ap);
        std::lock_guard<std::mutex> lk(mu());
        lines().push_back({level & 0xff, tag != nullptr ? tag : "", buf});
    }
};
