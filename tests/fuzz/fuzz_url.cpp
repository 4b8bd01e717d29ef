// URLs: any text parses or is refused without a fault; a parsed URL's fields
// lie inside its store; the message forms never carry the value of a "key" or
// "alg" query item; query changes keep the URL inside its buffer.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/url.h"

namespace {

bool inside_store(const url_info &u, const char *field) {
    return field >= u.store && field + strlen(field) < u.store + URL_BUF_SIZE;
}

void check_masked(const char *out) {
    char val[URL_BUF_SIZE];
    for (const char *key : {"key", "alg"}) {
        url_get_query_buf(out, key, "", val, sizeof(val));
        FUZZ_CHECK(val[0] == 0 || strcmp(val, "_") == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    url_info u;
    char store[URL_BUF_SIZE];
    char out[URL_BUF_SIZE];
    if (url_parser(&u, store, text.c_str()) == 0) {
        for (const char *f : {u.protocol, u.user, u.passwd, u.host, u.path, u.query, u.hash})
            FUZZ_CHECK(inside_store(u, f));
        url_build(&u, out);
        FUZZ_CHECK(strnlen(out, sizeof(out)) < sizeof(out));
    }
    check_masked(url_safe_fmt(text.c_str(), out));
    check_masked(url_safe_hide_fmt(text.c_str(), out));

    // The first line is a URL in its buffer, the second a key, the rest a value;
    // the first byte picks the mode and whether the value is escaped.
    const size_t nl1 = text.find('\n');
    const size_t nl2 = nl1 == std::string::npos ? nl1 : text.find('\n', nl1 + 1);
    char url[URL_BUF_SIZE] = {};
    const std::string first = text.substr(0, nl1);
    memcpy(url, first.data(), std::min(first.size(), sizeof(url) - 1));
    const std::string key = nl1 == std::string::npos ? "k" : text.substr(nl1 + 1, nl2 - nl1 - 1);
    const std::string val = nl2 == std::string::npos ? "v" : text.substr(nl2 + 1);
    const int mode = data[0] % 5;
    const int escape = (data[0] >> 3) & 1;
    url_set_query(url, key.c_str(), val.c_str(), escape, mode);
    FUZZ_CHECK(strnlen(url, sizeof(url)) < sizeof(url));
    char got[URL_BUF_SIZE];
    url_get_query_buf(url, key.c_str(), "", got, sizeof(got));
    url_add_path(url, val.c_str());
    url_add_query_raw(url, val.c_str());
    FUZZ_CHECK(strnlen(url, sizeof(url)) < sizeof(url));
    return 0;
}
