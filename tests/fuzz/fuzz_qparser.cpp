// Rule texts: any text parses or is refused with a terminated error text and
// without a fault; no statement passes the name, operator or value limits;
// the normal form of a text that parses parses again to the same form
// (a text of comments only has an empty normal form).
#include <cstring>
#include <string>

#include "fuzz_quiet.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/qexpr/qparser.h"

namespace {

int check_stmt(void *, const qparser_stmt *s)
{
    FUZZ_CHECK(s->kind <= 2);
    FUZZ_CHECK(strlen(s->var) <= QPARSER_MAX_VAR);
    // An unescaped value is never longer than its text.
    FUZZ_CHECK(strlen(s->value) <= QPARSER_MAX_VALUE);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    char err[QPARSER_ERR_SIZE];
    memset(err, 'X', sizeof(err));
    if (qparser_parse(text.c_str(), check_stmt, nullptr, err) != 0) {
        FUZZ_CHECK(memchr(err, 0, sizeof(err)) != nullptr);
        return 0;
    }
    char *once = qparser_format(text.c_str(), err);
    FUZZ_CHECK(once != nullptr);
    // Only comments and "'" blocks: nothing to write, and an empty text is refused.
    char *twice = once[0] ? qparser_format(once, err) : nullptr;
    FUZZ_CHECK(!once[0] || (twice != nullptr && strcmp(once, twice) == 0));
    os_free(once);
    os_free(twice);
    return 0;
}
