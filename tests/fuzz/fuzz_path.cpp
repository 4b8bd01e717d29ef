// Paths: normalising any text ends without a fault, never lengthens it and
// leaves no '\' and no run of '/'; a second pass only trims what the first
// could not reach. A canonical path is "./" (nothing left after the drive),
// rooted, or drive-relative; a rooted one holds no "." or ".." segment and
// no empty one; every canonical path is its own canonical form.
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/string/path.h"

namespace {

bool has_dot_segment(const std::string &p)
{
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos)
            end = p.size();
        const std::string seg = p.substr(start, end - start);
        if (seg == "." || seg == "..")
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= PL_MAX_PATH)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);

    std::string once = text;
    path_normalize(once.data());
    once.resize(strlen(once.c_str()));
    FUZZ_CHECK(once.size() <= strlen(text.c_str()));
    FUZZ_CHECK(once.find('\\') == std::string::npos);
    FUZZ_CHECK(once.find("//") == std::string::npos);
    // A second pass may trim more (blanks or quotes that followed "file://"),
    // never less, and keeps the separators as they are.
    std::string twice = once;
    path_normalize(twice.data());
    twice.resize(strlen(twice.c_str()));
    FUZZ_CHECK(twice.size() <= once.size());
    FUZZ_CHECK(twice.find("//") == std::string::npos);
    if (once.find_first_of(" \t\r\n\v\f\"'") == std::string::npos && once.rfind("file:/", 0) != 0)
        FUZZ_CHECK(once == twice);

    char out[PL_MAX_PATH];
    if (path_canonical(text.c_str(), "/base/dir", out)) {
        const std::string canon(out);
        // A path that resolves to nothing after its drive is written "./".
        if (canon == "./")
            return 0;
        FUZZ_CHECK(canon.size() < PL_MAX_PATH);
        // A drive letter may lead; a drive-relative rest may keep its "..".
        const bool drive       = canon.size() >= 2 && isalpha(static_cast<unsigned char>(canon[0])) && canon[1] == ':';
        const std::string rest = canon.substr(drive ? 2 : 0);
        FUZZ_CHECK(drive || (!rest.empty() && rest[0] == '/'));
        if (!rest.empty() && rest[0] == '/') {
            FUZZ_CHECK(!has_dot_segment(rest));
            FUZZ_CHECK(rest.find("//") == std::string::npos);
        }
        char again[PL_MAX_PATH];
        FUZZ_CHECK(path_canonical(canon.c_str(), "/elsewhere", again) && canon == again);
    } else {
        FUZZ_CHECK(out[0] == 0);
    }
    return 0;
}
