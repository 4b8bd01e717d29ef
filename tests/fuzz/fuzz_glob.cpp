// Wildcard matching: any pattern against any text ends without a fault; a
// pattern without special characters matches itself; "*" matches anything.
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/string/str_glob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool fold = data[0] & 1;
    // The pattern, a NUL byte, then the text.
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string pattern = rest.substr(0, rest.find('\0'));
    const std::string text = pattern.size() < rest.size() ? std::string(rest.c_str() + pattern.size() + 1) : "";

    pl_glob_match(pattern.c_str(), text.c_str(), fold, false);
    pl_glob_match_list_imp(text.c_str(), pattern.c_str(), fold, false);
    FUZZ_CHECK(pl_glob_match("*", text.c_str(), fold, false));
    if (pattern.find_first_of("*?[\\") == std::string::npos)
        FUZZ_CHECK(pl_glob_match(pattern.c_str(), pattern.c_str(), fold, false));
    return 0;
}
