// INI loader and writer: any bytes load without a fault (or are refused);
// whatever the writer accepts reads back with the same sections, keys and
// values, and writing that again gives the same text.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "fuzz_quiet.h"
#include "libconf/ini/iniparser.h"
#include "libpal/vfile/vfile.h"

namespace {

using entries = std::map<std::string, std::optional<std::string>>;

entries entries_of(const dictionary *d)
{
    entries all;
    for (int i = 0; i < d->size; i++) {
        if (d->key[i] == nullptr) continue;
        all[d->key[i]] = d->val[i] != nullptr ? std::optional<std::string>(d->val[i]) : std::nullopt;
    }
    return all;
}

// The writer's text, or nothing when it refused an entry.
std::optional<std::string> dump(const dictionary *d)
{
    char  *text = nullptr;
    size_t len  = 0;
    FILE  *f    = open_memstream(&text, &len);
    if (f == nullptr) return std::nullopt;
    int r = iniparser_dump_ini(d, f);
    fclose(f);
    std::string out(text, len);
    free(text);
    if (r != 0) return std::nullopt;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A temporary-file stream carries NUL bytes, which a text would end at.
    VFILE *f = qdfile_tmpfile();
    if (f == nullptr) return 0;
    qdfile_fwrite(data, 1, size, f);
    qdfile_rewind(f);
    dictionary *first = iniparser_load_all(f);
    qdfile_fclose(f);
    if (first == nullptr) return 0;

    std::optional<std::string> text = dump(first);
    if (text) {
        // As a save writes it: after a byte-order mark.
        dictionary *second = iniparser_load_str(("\xEF\xBB\xBF" + *text).c_str());
        FUZZ_CHECK(second != nullptr);
        FUZZ_CHECK(entries_of(second) == entries_of(first));
        std::optional<std::string> again = dump(second);
        FUZZ_CHECK(again && *again == *text);
        dictionary_del(second);
    }
    dictionary_del(first);
    return 0;
}
