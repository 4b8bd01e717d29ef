// Test helpers shared by the logger's suites: a file read whole, and an
// integer passed as log2_ioctl's argument pointer.
#pragma once

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
