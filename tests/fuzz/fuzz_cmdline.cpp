// Command-line splitting: the measuring pass and the filling pass agree, and
// every argument lies NUL-terminated inside the measured buffer.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_quiet.h"
#include "libpal/string/str_cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string line(reinterpret_cast<const char *>(data), size);
    int argc = 0;
    size_t nbytes = 0;
    FUZZ_CHECK(str_parse_cmdline(line.c_str(), nullptr, nullptr, &argc, &nbytes) == 0);
    FUZZ_CHECK(argc >= 2 && nbytes >= 1);
    FUZZ_CHECK(nbytes <= strlen(line.c_str()) + static_cast<size_t>(argc));

    std::vector<char *> argv(static_cast<size_t>(argc));
    std::vector<char> args(nbytes);
    int filled_argc = argc;
    size_t filled_bytes = nbytes;
    FUZZ_CHECK(str_parse_cmdline(line.c_str(), argv.data(), args.data(), &filled_argc, &filled_bytes) == 0);
    FUZZ_CHECK(filled_argc == argc && filled_bytes == nbytes);
    FUZZ_CHECK(argv[static_cast<size_t>(argc) - 1] == nullptr);
    const char *end = args.data() + nbytes;
    for (int i = 0; i + 1 < argc; i++) {
        const char *arg = argv[static_cast<size_t>(i)];
        FUZZ_CHECK(arg >= args.data() && arg < end);
        FUZZ_CHECK(memchr(arg, '\0', static_cast<size_t>(end - arg)) != nullptr);
    }
    return 0;
}
