// Name, key and value checks.
#include "libpal/string/str_check.h"

#include <cstring>

#include "libpal/string/str_safe.h"

namespace {

bool none_of(const char *text, const char *set)
{
    return !text || !strpbrk(text, set);
}

}  // namespace

const char *const STR_NAME_INVALID_CHARS = ";/\\\"'?:@# ";
const char *const STR_KEY_INVALID_CHARS  = ";/\\\"'?:@# &=";

bool str_is_digits(const char *text)
{
    if (!text)
        return false;
    for (; *text; text++)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

bool str_has_multi_colon(const char *text)
{
    const char *c = text ? strchr(text, ':') : nullptr;
    return c && strchr(c + 1, ':');
}

bool str_name_is_valid(const char *text)
{
    return none_of(text, STR_NAME_INVALID_CHARS);
}
bool str_key_is_valid(const char *text)
{
    return none_of(text, STR_KEY_INVALID_CHARS);
}
bool str_val_is_valid(const char *text)
{
    return none_of(text, "&");
}

bool str_name_check(const char *text, int mode, char *reason)
{
    struct rule {
        int bit;
        const char *set;
    };
    static constexpr rule kRules[] = {{2, ";/\\\"'?:@# "}, {4, "&="}, {8, "&"}, {16, "[]"}};
    if (reason)
        reason[0] = 0;
    if ((mode & 1) && (!text || !*text)) {
        if (reason)
            str_safecopy(reason, 4096, "Can't be empty");
        return false;
    }
    for (const rule &r : kRules) {
        if ((mode & r.bit) && !none_of(text, r.set)) {
            if (reason)
                str_sprintf_s(reason, 4096, "Can't Contain [%s]", r.set);
            return false;
        }
    }
    return true;
}

char *str_replace_chr_quoted(char *text, char quote, char from, char to)
{
    bool inside = false;
    for (char *p = text; p && *p; p++) {
        if (*p == quote)
            inside = !inside;
        else if (inside && *p == from)
            *p = to;
    }
    return text;
}

char *str_cut_first_arg(char *text)
{
    if (!text)
        return nullptr;
    char *cut = text[0] == '"' ? strchr(text + 1, '"') : strchr(text, ' ');
    if (!cut)
        return nullptr;
    if (text[0] == '"') {
        cut++;
        if (!*cut)
            return nullptr;
    }
    *cut = 0;
    return cut;
}
