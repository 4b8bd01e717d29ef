// Test helper for the file tools: a scratch directory with files of random
// or given bytes, the output of a system command, and digests as hex.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_hex.h"

#include "../support/command_out.h"

class tool_dir {
public:
    tool_dir()
    {
        char tmpl[] = "/tmp/zorv_tools_XXXXXX";
        const char *made = mkdtemp(tmpl);
        path_ = made != nullptr ? made : "";
    }
    ~tool_dir()
    {
        if (!path_.empty())
            (void)system(("rm -rf '" + path_ + "'").c_str());
    }
    tool_dir(const tool_dir &) = delete;
    tool_dir &operator=(const tool_dir &) = delete;

    const std::string &path() const { return path_; }
    // Writes bytes to name; its path.
    std::string write(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        const std::string p = path_ + "/" + name;
        FILE *f = fopen(p.c_str(), "wb");
        if (f != nullptr) {
            if (!bytes.empty())
                fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
        return p;
    }

private:
    std::string path_;
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

inline std::string hex_of(const uint8_t *data, size_t len)
{
    std::string text(2 * len + 1, '\0');
    str_bin_to_hex(data, len, text.data(), text.size());
    text.resize(2 * len);
    return text;
}

// For the life of the object, allocations of a megabyte or more fail: a
// tool's ring or read-ahead buffer cannot be had, a small block buffer can.
class big_allocs_fail {
public:
    big_allocs_fail() : m_(g_malloc_proc), r_(g_realloc_proc), f_(g_free_proc)
    {
        pl_malloc_init(small_malloc, r_, f_);
    }
    ~big_allocs_fail() { pl_malloc_init(m_, r_, f_); }
    big_allocs_fail(const big_allocs_fail &) = delete;
    big_allocs_fail &operator=(const big_allocs_fail &) = delete;

private:
    static void *small_malloc(size_t n) { return n >= (1u << 20) ? nullptr : malloc(n); }
    pl_malloc_proc m_;
    pl_realloc_proc r_;
    pl_free_proc f_;
};
