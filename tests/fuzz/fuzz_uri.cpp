// Percent-encoding: a text encoded in any mode is measured exactly and, for
// the query-argument and strict modes, decodes back to itself; the bounded
// form refuses a buffer one byte short; any text decodes in every mode
// without growing or writing past its buffer.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_quiet.h"
#include "libpal/string/str_uri.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str();  // up to the first NUL
    const size_t len = strlen(text);

    for (int mode = STR_ESC_URI; mode <= STR_ESC_CTRL2; mode++) {
        const size_t need = str_escape_uri_imp(nullptr, text, len, mode);
        std::vector<char> enc(need);
        FUZZ_CHECK(str_escape_uri_imp(enc.data(), text, len, mode) + 1 == need);
        if (mode != STR_ESC_ARGS && mode != STR_ESC_STRICT)
            continue;
        std::vector<char> dec(need);
        FUZZ_CHECK(str_unescape_url_args(enc.data(), dec.data(), dec.size()) == 0);
        FUZZ_CHECK(strcmp(dec.data(), text) == 0);
    }

    // The bounded form fits exactly in the measured size and refuses one byte less.
    const size_t need = str_escape_uri_imp(nullptr, text, len, STR_ESC_ARGS);
    std::vector<char> args(need);
    FUZZ_CHECK(str_escape_url_args(text, args.data(), need) == 0);
    FUZZ_CHECK(str_escape_url_args(text, args.data(), need - 1) == -1 && args[0] == 0);

    for (int mode : {STR_UNESC_URI, STR_UNESC_ARGS, STR_UNESC_REDIRECT}) {
        std::vector<char> out(len + 1);
        char *o        = out.data();
        const char *in = text;
        str_unescape_uri_imp(&o, &in, len + 1, mode);
        FUZZ_CHECK(o >= out.data() && o < out.data() + out.size() && *o == 0);
        FUZZ_CHECK(in <= text + len + 1);
    }
    return 0;
}
