// Test helpers shared by the logger's suites: a file read whole, an
// integer passed as log2_ioctl's argument pointer, the threads of a name.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline const void *as_arg(intptr_t v)
{
    return reinterpret_cast<const void *>(v);
}

// Threads of the process named name, now.
inline int threads_named(const char *name)
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr)
        return 0;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (slurp(std::string("/proc/self/task/") + e->d_name + "/comm") == std::string(name) + "\n")
            n++;
    }
    closedir(d);
    return n;
}
