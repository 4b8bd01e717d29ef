// Hexadecimal: any bytes encode and decode back to themselves; any text
// decodes or is refused without a fault, and a decoded text encodes back to
// its own digits in lower case; the separated and pattern decoders stay
// inside their buffers.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_quiet.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> hex(2 * size + 1);
    FUZZ_CHECK(str_bin_encode_hex(data, static_cast<int>(size), hex.data(), hex.size()) == static_cast<int>(2 * size));
    std::vector<uint8_t> back(size + 1);
    FUZZ_CHECK(str_hex_decode_bin(hex.data(), false, back.data(), back.size()) == static_cast<int>(size));
    FUZZ_CHECK(memcmp(back.data(), data, size) == 0);

    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *t    = text.c_str();
    const size_t len = strlen(t);
    std::vector<uint8_t> out(len / 2 + 1);
    const int n = str_hex_decode_bin(t, false, out.data(), out.size());
    if (n >= 0) {
        FUZZ_CHECK(static_cast<size_t>(n) * 2 == len);
        std::vector<char> again(len + 1);
        FUZZ_CHECK(str_bin_encode_hex(out.data(), n, again.data(), again.size()) == static_cast<int>(len));
        for (size_t i = 0; i < len; i++)
            FUZZ_CHECK(again[i] == tolower(static_cast<unsigned char>(t[i])));
    }

    size_t count = 0;
    hex_decode_n(t, len, out.data(), out.size(), &count);
    FUZZ_CHECK(count <= out.size());
    std::vector<uint8_t> sep(len / 2 + 2);
    const int s = hex_decode_sep(t, len, sep.data(), sep.size());
    FUZZ_CHECK(s <= static_cast<int>(sep.size()));

    const int pattern = str_hex_pattern_decode(t, nullptr, nullptr);
    if (pattern > 0) {
        uint8_t *bytes = nullptr;
        char *mask     = nullptr;
        int got        = 0;
        FUZZ_CHECK(str_hex_pattern_decode_dup(t, &bytes, &got, &mask) == pattern && got == pattern);
        FUZZ_CHECK(strlen(mask) == static_cast<size_t>(pattern));
        os_free(bytes);
        os_free(mask);
    }
    return 0;
}
