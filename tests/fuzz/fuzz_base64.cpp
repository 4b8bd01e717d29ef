// Base64: any bytes encode in either alphabet and decode back to themselves;
// any text decodes or is refused without writing past the buffer, and what it
// decodes to survives another encode and decode.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_quiet.h"
#include "libpal/string/str_base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(PL_BASE64_ENCODE_LEN(size));
    std::vector<uint8_t> back(size + 1);
    for (bool url : {false, true}) {
        const int n = str_base64_encode_imp(data, size, text.data(), text.size(), url);
        FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) + 1 == text.size());
        const int m = str_base64_decode(text.data(), back.data(), back.size());
        FUZZ_CHECK(m >= 0 && static_cast<size_t>(m) == size && memcmp(back.data(), data, size) == 0);
    }

    const std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<uint8_t> out(input.size() * 3 / 4 + 1);
    const int n = str_base64_decode(input.c_str(), out.data(), out.size());
    if (n < 0)
        return 0;
    FUZZ_CHECK(static_cast<size_t>(n) <= out.size());
    std::vector<char> again(PL_BASE64_ENCODE_LEN(n));
    FUZZ_CHECK(str_base64_encode(out.data(), static_cast<size_t>(n), again.data(), again.size()) >= 0);
    std::vector<uint8_t> round(static_cast<size_t>(n) + 1);
    const int m = str_base64_decode(again.data(), round.data(), round.size());
    FUZZ_CHECK(m == n && memcmp(round.data(), out.data(), static_cast<size_t>(n)) == 0);
    return 0;
}
