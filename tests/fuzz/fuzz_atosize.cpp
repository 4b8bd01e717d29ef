// Size texts: any text ends without a fault; a short run of decimal digits
// is its own value.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/string/str_num.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const uint64_t value = str_atosize(text.c_str());
    const char *s = text.c_str();
    const size_t len = strlen(s);
    if (len > 0 && len <= 15 && strspn(s, "0123456789") == len)
        FUZZ_CHECK(value == strtoull(s, nullptr, 10));
    return 0;
}
