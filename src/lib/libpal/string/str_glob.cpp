// Wildcard matching: one left-to-right walk with a single backtracking point
// (the last "*"), so a pattern costs at most text length times pattern length.
#define ZLOG_TAG "pal"

#include "libpal/string/str_glob.h"

#include <cctype>

#include "libpal/string/str_array.h"
#include "liblog/zlog.h"

namespace {

unsigned char fold_if(unsigned char c, bool fold)
{
    return fold ? static_cast<unsigned char>(pl_glob_fold(c)) : c;
}

bool in_range(unsigned char lo, unsigned char hi, unsigned char c, bool fold)
{
    lo = fold_if(lo, fold);
    hi = fold_if(hi, fold);
    c = fold_if(c, fold);
    return lo <= c && c <= hi;
}

enum class set_result { no_match, match, unterminated };

// Reads the set that starts after "[" at *pos; on a terminated set *pos moves
// past its "]". The first member (after an optional "!") is taken as it is,
// so "]" can be a member.
set_result match_set(const unsigned char **pos, unsigned char c, bool fold)
{
    const unsigned char *cls = *pos;
    const bool inverted = (*cls == '!');
    if (inverted)
        cls++;
    bool match = false;
    unsigned char lo = *cls++;
    for (;;) {
        if (lo == '\0')
            return set_result::unterminated;
        unsigned char hi = lo;
        if (cls[0] == '-' && cls[1] != ']') {
            hi = cls[1];
            if (hi == '\0')
                return set_result::unterminated;
            cls += 2;
        }
        if (in_range(lo, hi, c, fold))
            match = true;
        lo = *cls++;
        if (lo == ']')
            break;
    }
    *pos = cls;
    return match != inverted ? set_result::match : set_result::no_match;
}

}  // namespace

int pl_glob_fold(int c)
{
    return (c >= 0 && c <= 255) ? tolower(c) : c;
}

bool pl_glob_match(const char *pattern, const char *text, bool fold, bool debug)
{
    if (pattern == nullptr || text == nullptr)
        return false;
    auto p = reinterpret_cast<const unsigned char *>(pattern);
    auto s = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *back_pat = nullptr;
    const unsigned char *back_str = nullptr;

    for (;;) {
        const unsigned char c = *s;
        unsigned char d = *p++;
        bool matched = false;
        switch (d) {
        case '?':
            if (c == '\0') {
                if (debug)
                    ZLOG_DBG("Wildcard: anything but nul");
                return false;
            }
            matched = true;
            break;
        case '*':
            if (*p == '\0')
                return true;
            back_pat = p;
            back_str = s;
            continue;
        case '[': {
            if (c == '\0') {
                if (debug)
                    ZLOG_DBG("Character class: No possible match");
                return false;
            }
            const set_result r = match_set(&p, c, fold);
            if (r != set_result::unterminated) {
                matched = (r == set_result::match);
                break;
            }
            // Without its "]" the "[" is an ordinary character.
            matched = (c == '[');
            break;
        }
        case '\\':
            // A backslash that ends the pattern compares the pattern's end:
            // it matches only the end of the text, and the walk stops there.
            d = *p;
            if (d != '\0')
                p++;
            [[fallthrough]];
        default:
            if (fold_if(c, fold) == fold_if(d, fold)) {
                if (d == '\0')
                    return true;
                matched = true;
            }
            break;
        }
        if (matched) {
            s++;
            continue;
        }
        if (c == '\0' || back_pat == nullptr) {
            if (debug)
                ZLOG_DBG("d=[%c] c=[%c] back_pat=%d return false", d, c, back_pat != nullptr);
            return false;
        }
        // The last "*" absorbs one more text character.
        p = back_pat;
        s = ++back_str;
    }
}

bool pl_glob_match_list_imp(const char *text, const char *patterns, bool fold, bool debug)
{
    if (text == nullptr || patterns == nullptr)
        return false;
    str_vector list;
    str_vector_init(&list, 0);
    bool found = false;
    if (str_vector_split(patterns, "|", &list) >= 0) {
        for (size_t i = 0; i < list.count && !found; i++)
            found = pl_glob_match(list.items[i], text, fold, debug);
    }
    str_vector_exit(&list);
    return found;
}

bool pl_glob_match_list(const char *text, const char *patterns)
{
    return pl_glob_match_list_imp(text, patterns, false, false);
}

bool pl_glob_match_list_i(const char *text, const char *patterns)
{
    return pl_glob_match_list_imp(text, patterns, true, false);
}

bool pl_glob_match_list_dbg(const char *text, const char *patterns)
{
    return pl_glob_match_list_imp(text, patterns, false, true);
}

bool pl_glob_match_list_i_dbg(const char *text, const char *patterns)
{
    return pl_glob_match_list_imp(text, patterns, true, true);
}
