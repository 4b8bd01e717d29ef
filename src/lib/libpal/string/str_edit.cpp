// Editing texts in place.
#define ZLOG_TAG "pal"
#include "libpal/string/str_edit.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_search.h"

namespace {

bool in_set(const char *set, char c)
{
    return c != '\0' && strchr(set, c) != nullptr;
}

// Keeps only the characters for which keep(c) is true, closing the gaps.
template <typename Keep>
char *str_filter(char *text, Keep keep)
{
    if (text == nullptr) {
        return text;
    }
    char *w = text;
    for (const char *r = text; *r != '\0'; r++) {
        if (keep(*r)) {
            *w++ = *r;
        }
    }
    *w = '\0';
    return text;
}

// Removes trailing characters for which drop(c) is true.
template <typename Drop>
char *str_rtrim_if(char *text, Drop drop)
{
    if (text == nullptr) {
        return text;
    }
    size_t len = strlen(text);
    while (len > 0 && drop(text[len - 1])) {
        text[--len] = '\0';
    }
    return text;
}

}  // namespace

int str_prepend(char *text, size_t size, const char *prefix)
{
    if (text == nullptr || prefix == nullptr) {
        return -1;
    }
    std::string old(text, os_strnlen(text, size));
    if (str_safecopy(text, size, prefix) != 0 || str_safecat(text, size, old.c_str()) != 0) {
        return -1;
    }
    return 0;
}

int str_add_chr_not_exist_tail(char *text, size_t slen, char c)
{
    if (text == nullptr) {
        return -1;
    }
    size_t len = os_strnlen(text, slen);
    PL_ASSERT_RET(len+1 <= slen || slen >= 2, -1);
    if (slen < 2) {
        return 0;
    }
    if (len == slen) {
        // No NUL within the buffer: end the text in the last byte first.
        text[--len] = '\0';
    }
    if (len > 0 && text[len - 1] == c) {
        return 0;
    }
    if (len + 1 == slen) {
        text[len - 1] = c;
        return 0;
    }
    text[len]     = c;
    text[len + 1] = '\0';
    return 0;
}

char *str_zero(char *text)
{
    if (text != nullptr) {
        memset(text, 0, strlen(text));
    }
    return text;
}

char *str_tolower(char *text)
{
    for (char *p = text; p != nullptr && *p != '\0'; p++) {
        if (static_cast<unsigned char>(*p) < 128) {
            *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
        }
    }
    return text;
}

char *str_toupper(char *text)
{
    for (char *p = text; p != nullptr && *p != '\0'; p++) {
        if (static_cast<unsigned char>(*p) < 128) {
            *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
        }
    }
    return text;
}

char *str_trim_by(char *text, bool (*pred)(int c), char c)
{
    if (text == nullptr) {
        return text;
    }
    auto drop = [pred, c](char ch) {
        auto u = static_cast<unsigned char>(ch);
        if (u >= 128) {
            return false;
        }
        return pred != nullptr ? pred(u) : ch == c;
    };
    str_rtrim_if(text, drop);
    size_t lead = 0;
    while (text[lead] != '\0' && drop(text[lead])) {
        lead++;
    }
    if (lead > 0) {
        memmove(text, text + lead, strlen(text + lead) + 1);
    }
    return text;
}

bool chr_is_space(int c)
{
    return c >= 0 && c <= 255 && isspace(c);
}

bool chr_is_quote(int c)
{
    return c == '"' || c == '\'';
}

char *str_trim(char *text)
{
    return str_trim_by(text, chr_is_space, '\0');
}

char *str_trim_quote_chars(char *text)
{
    return str_trim_by(text, chr_is_quote, '\0');
}

char *str_trim_chr(char *text, char c)
{
    return str_trim_by(text, nullptr, c);
}

char *str_rtrim_set(char *text, const char *set)
{
    if (set == nullptr) {
        return text;
    }
    return str_rtrim_if(text, [set](char ch) { return in_set(set, ch); });
}

char *str_rtrim_blank(char *text)
{
    return str_rtrim_if(text, [](char ch) { return ch == ' ' || ch == '\t' || ch == '\v' || ch == '\f'; });
}

char *str_rtrim_chr(char *text, char c)
{
    return str_rtrim_if(text, [c](char ch) { return ch == c; });
}

char *str_del_chr(char *text, char c)
{
    return str_filter(text, [c](char ch) { return ch != c; });
}

char *str_del_chrs(char *text, const char *set)
{
    if (set == nullptr) {
        return text;
    }
    return str_filter(text, [set](char ch) { return !in_set(set, ch); });
}

char *str_del_chr_set(char *text, const char *set)
{
    return str_del_chrs(text, set);
}

char *str_rdelchar(char *str, char c)
{
    PL_ASSERT_RET(str!=NULL, nullptr);
    char *p = strrchr(str, c);
    if (p != nullptr && c != '\0') {
        memmove(p, p + 1, strlen(p + 1) + 1);
    }
    return str;
}

char *str_squeeze_chr(char *text, char c)
{
    if (text == nullptr) {
        return text;
    }
    char *w = text;
    for (const char *r = text; *r != '\0'; r++) {
        if (*r == c && w > text && w[-1] == c) {
            continue;
        }
        *w++ = *r;
    }
    *w = '\0';
    return text;
}

char *str_strip_ends(char *text)
{
    if (text == nullptr) {
        return text;
    }
    size_t len = strlen(text);
    if (len <= 2) {
        text[0] = '\0';
        return text;
    }
    memmove(text, text + 1, len - 2);
    text[len - 2] = '\0';
    return text;
}

char *str_strip_pair(char *text, char open, char close)
{
    if (str_is_enclosed(text, open, close)) {
        str_strip_ends(text);
    }
    return text;
}

char *str_cut_suffix(char *text, const char *suffix)
{
    if (str_endswith(text, suffix)) {
        text[strlen(text) - strlen(suffix)] = '\0';
    }
    return text;
}

char *str_del_range(char *text, size_t offset, size_t n)
{
    if (text == nullptr) {
        return text;
    }
    size_t len = strlen(text);
    if (offset >= len) {
        return text;
    }
    n = std::min(n, len - offset);
    memmove(text + offset, text + offset + n, len - offset - n + 1);
    return text;
}

char *str_del_range_copy(char *out, const char *text, size_t offset, size_t n)
{
    if (out == nullptr || text == nullptr) {
        return out;
    }
    size_t len = strlen(text);
    if (offset >= len) {
        memmove(out, text, len + 1);
        return out;
    }
    n = std::min(n, len - offset);
    memmove(out, text, offset);
    memmove(out + offset, text + offset + n, len - offset - n + 1);
    return out;
}

int str_del_substr(char *text, const char *sub)
{
    if (text == nullptr || sub == nullptr) {
        return 0;
    }
    if (sub[0] == '\0') {
        return 1;
    }
    char *p = strstr(text, sub);
    if (p == nullptr) {
        return 0;
    }
    size_t slen = strlen(sub);
    memmove(p, p + slen, strlen(p + slen) + 1);
    return 1;
}

char *str_reverse(char *text)
{
    if (text == nullptr) {
        return text;
    }
    for (size_t i = 0, j = strlen(text); i + 1 < j; i++, j--) {
        std::swap(text[i], text[j - 1]);
    }
    return text;
}

int str_resplit(char *text, const char *seps)
{
    if (text == nullptr || seps == nullptr || seps[0] == '\0') {
        return -1;
    }
    const size_t size = strlen(text) + 1;
    std::string copy(text);
    text[0] = '\0';
    std::string_view rest(copy);
    for (;;) {
        size_t end            = rest.find_first_of(seps);
        std::string_view item = rest.substr(0, end);
        std::string one(item);
        if (str_safecat(text, size, one.c_str()) != 0) {
            return -1;
        }
        if (strlen(text) + 1 == size) {
            return 0;
        }
        if (str_safecat(text, size, seps) != 0) {
            return -1;
        }
        if (end == std::string_view::npos) {
            return 0;
        }
        rest.remove_prefix(end + 1);
    }
}
