// What a shell command prints: the independent tools (digest programs,
// partitioners, dd) that tests compare zorv's results with.
#pragma once

#include <cstdio>
#include <string>

// The command's standard output, or empty when it cannot run.
inline std::string command_out(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}
