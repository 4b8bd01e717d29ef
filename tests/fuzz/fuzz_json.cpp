// JSON escapes: any text escapes to a measured size holding no control
// character, and the escape decoder gives the text back; any text decodes
// without a fault and never grows.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_quiet.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str();  // up to the first NUL
    const size_t len = strlen(text);

    const size_t need = str_escape_json_imp(text, len, nullptr, 0);
    std::vector<char> esc(need);
    FUZZ_CHECK(str_escape_json_imp(text, len, esc.data(), esc.size()) + 1 == need);
    for (size_t i = 0; i + 1 < need; i++)
        FUZZ_CHECK(static_cast<unsigned char>(esc[i]) >= 0x20);
    std::vector<char> back(need);
    int n = 0;
    str_unescape_cstr_buf(esc.data(), back.data(), back.size(), &n);
    FUZZ_CHECK(static_cast<size_t>(n) == len + 1 && strcmp(back.data(), text) == 0);

    std::vector<char> dec(len + 1);
    str_unescape_cstr_buf(text, dec.data(), dec.size(), &n);
    FUZZ_CHECK(n >= 1 && static_cast<size_t>(n) <= len + 1);
    return 0;
}
