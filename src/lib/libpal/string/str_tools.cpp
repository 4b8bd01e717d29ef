#define ZLOG_TAG "pal"
#include "libpal/string/str_tools.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "libpal/utils/pl_cmp.h"

namespace {

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ascii_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool ascii_ieq(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

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

// ---- Quoting ----

char *str_quote_if(const char *text, const char *seps, char quote, char *out, size_t size)
{
    if (text == nullptr || text[0] == '\0') {
        str_sprintf_s(out, size, "%c%c", quote, quote);
        return out;
    }
    if (text[0] == quote || strpbrk(text, seps) == nullptr) {
        str_safecopy(out, size, text);
        return out;
    }
    // Quoting in place: the text moves right by one, so format from a copy.
    std::string copy;
    if (out == text) {
        copy = text;
        text = copy.c_str();
    }
    str_sprintf_s(out, size, "%c%s%c", quote, text, quote);
    return out;
}

char *str_quote_dq(const char *text, char *out, size_t size)
{
    return str_quote_if(text, " \t;", '"', out, size);
}

char *str_quote_sq(const char *text, char *out, size_t size)
{
    return str_quote_if(text, " \t;", '\'', out, size);
}

char *str_quote_sq_env(const char *text, char *out, size_t size)
{
    return str_quote_if(text, " \t$%;", '\'', out, size);
}

char *str_quote_dq_env(const char *text, char *out, size_t size)
{
    return str_quote_if(text, " \t$%;", '"', out, size);
}

char *str_quote_dq_cfg(const char *text, char *out, size_t size)
{
    return str_quote_if(text, " #;", '"', out, size);
}

char *str_shell_escape(const char *text, char *out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0) {
        return nullptr;
    }
    size_t pos = 0;
    for (const char *p = text; *p != '\0';) {
        bool   quotes = (*p == '\'');
        size_t run    = quotes ? strspn(p, "'") : strcspn(p, "'");
        // Ordinary runs and runs of two or more quotes gain a pair of quotes;
        // a single quote becomes backslash + quote.
        size_t extra = (quotes && run == 1) ? 1 : 2;
        if (pos + run + extra + 1 > size) {
            return nullptr;
        }
        if (quotes && run == 1) {
            out[pos++] = '\\';
            out[pos++] = '\'';
        } else {
            char q     = quotes ? '"' : '\'';
            out[pos++] = q;
            memcpy(out + pos, p, run);
            pos += run;
            out[pos++] = q;
        }
        p += run;
    }
    out[pos] = '\0';
    return out;
}

char *str_unquote(char *text)
{
    if (text == nullptr) {
        return text;
    }
    size_t len;
    do {
        len = strlen(text);
        str_trim(text);
        for (int i = 0; i < 2; i++) {
            str_strip_pair(text, '"', '"');
            str_strip_pair(text, '\'', '\'');
        }
    } while (strlen(text) != len);
    return text;
}

// ---- Replacing ----

char *str_replace_imp(const char *text, const char *old_text, const char *new_text, size_t max_count, char *out,
                      size_t size)
{
    PL_ASSERT_RET(text!=NULL && old_text!=NULL && new_text!=NULL, nullptr);
    const size_t old_len = strlen(old_text);
    const size_t new_len = strlen(new_text);

    // First pass: the result's length.
    size_t count = 0;
    size_t len   = strlen(text);
    if (old_len > 0) {
        for (const char *p = strstr(text, old_text); p != nullptr && (max_count == 0 || count < max_count);
             p = strstr(p + old_len, old_text)) {
            count++;
        }
    }
    size_t need = len - count * old_len + count * new_len + 1;

    std::string tmp;
    char       *dst;
    if (out == nullptr) {
        dst = static_cast<char *>(os_malloc(need));
        if (dst == nullptr) {
            return nullptr;
        }
    } else {
        PL_ASSERT_RET(need<=size, nullptr);
        // An output that overlaps the input is written through a copy.
        bool overlap = out < text + len + 1 && text < out + size;
        if (overlap) {
            tmp.resize(need);
            dst = tmp.data();
        } else {
            dst = out;
        }
    }

    char       *w = dst;
    const char *r = text;
    for (size_t i = 0; i < count; i++) {
        const char *p = strstr(r, old_text);
        memcpy(w, r, static_cast<size_t>(p - r));
        w += p - r;
        memcpy(w, new_text, new_len);
        w += new_len;
        r = p + old_len;
    }
    size_t rest = strlen(r);
    memcpy(w, r, rest + 1);

    if (out != nullptr && dst != out) {
        memcpy(out, dst, need);
    }
    return out != nullptr ? out : dst;
}

char *str_replace_buf(const char *text, const char *old_text, const char *new_text, char *out, size_t size)
{
    PL_ASSERT_RET(out!=NULL, nullptr);
    return str_replace_imp(text, old_text, new_text, 0, out, size);
}

char *str_replace_dup(const char *text, const char *old_text, const char *new_text)
{
    return str_replace_imp(text, old_text, new_text, 0, nullptr, 0);
}

char *str_replace_chr(char *text, char from, char to)
{
    return str_replace_chr_n(text, 0, from, to);
}

uint32_t *wstr_replace_chr(uint32_t *text, uint32_t from, uint32_t to)
{
    if (text == nullptr) {
        return text;
    }
    for (uint32_t *p = text; *p != 0; p++) {
        if (*p == from) {
            *p = to;
        }
    }
    return text;
}

char *str_replace_chr_n(char *text, size_t n, char from, char to)
{
    if (text == nullptr) {
        return text;
    }
    size_t done = 0;
    for (char *p = text; *p != '\0' && (n == 0 || done < n); p++) {
        if (*p == from) {
            *p = to;
            done++;
        }
    }
    return text;
}

char *str_set_last_chr(char *text, char c)
{
    if (text != nullptr && text[0] != '\0') {
        text[strlen(text) - 1] = c;
    }
    return text;
}

// ---- Tests and searches ----

bool str_startswith(const char *text, const char *prefix)
{
    if (text == nullptr || prefix == nullptr) {
        return false;
    }
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool str_endswith(const char *text, const char *suffix)
{
    if (text == nullptr || suffix == nullptr) {
        return false;
    }
    size_t len = strlen(text), slen = strlen(suffix);
    return slen <= len && memcmp(text + len - slen, suffix, slen) == 0;
}

bool str_istartswith(const char *text, const char *prefix)
{
    if (text == nullptr || prefix == nullptr) {
        return false;
    }
    size_t plen = strlen(prefix);
    return os_strnlen(text, plen) == plen && ascii_ieq(text, prefix, plen);
}

bool str_iendswith(const char *text, const char *suffix)
{
    if (text == nullptr || suffix == nullptr) {
        return false;
    }
    size_t len = strlen(text), slen = strlen(suffix);
    return slen <= len && ascii_ieq(text + len - slen, suffix, slen);
}

bool str_is_enclosed(const char *text, char open, char close)
{
    if (text == nullptr) {
        return false;
    }
    size_t len = strlen(text);
    return len >= 2 && text[0] == open && text[len - 1] == close;
}

bool str_is_all_chr(const char *text, char c)
{
    if (text == nullptr || text[0] == '\0') {
        return false;
    }
    for (const char *p = text; *p != '\0'; p++) {
        if (*p != c) {
            return false;
        }
    }
    return true;
}

bool str_is_class(const char *text, int mask)
{
    if (text == nullptr) {
        return false;
    }
    for (const char *p = text; *p != '\0'; p++) {
        char c  = *p;
        bool ok = ((mask & STR_CLASS_ALPHA) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) ||
                  ((mask & STR_CLASS_DIGIT) && c >= '0' && c <= '9') ||
                  ((mask & STR_CLASS_XDIGIT) &&
                   ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
        if (!ok) {
            return false;
        }
    }
    return true;
}

int str_ctype_is(int c, int mask)
{
    if (c < 0 || c > 255) {
        return 0;
    }
    // Our own class bits, mapped from the locale's classification calls.
    struct ctype_bit {
        int (*test)(int);
        int bit;
    };
    static constexpr ctype_bit k_bits[] = {
        {isalpha, STR_CTYPE_ALPHA}, {iscntrl, STR_CTYPE_CNTRL},   {isdigit, STR_CTYPE_DIGIT},
        {isgraph, STR_CTYPE_GRAPH}, {islower, STR_CTYPE_LOWER},   {ispunct, STR_CTYPE_PUNCT},
        {isspace, STR_CTYPE_SPACE}, {isupper, STR_CTYPE_UPPER},   {isxdigit, STR_CTYPE_XDIGIT},
        {isblank, STR_CTYPE_BLANK}, {isprint, STR_CTYPE_PRINT},
    };
    int bits = 0;
    for (const auto &b : k_bits) {
        if ((mask & b.bit) && b.test(c)) {
            bits |= b.bit;
        }
    }
    return bits;
}

char *str_istr(const char *pstr, const char *psubstr)
{
    PL_ASSERT_RET(pstr!=NULL, nullptr);
    PL_ASSERT_RET(psubstr!=NULL, nullptr);
    size_t len = strlen(pstr), slen = strlen(psubstr);
    if (len == 0 || slen > len) {
        return nullptr;
    }
    for (size_t i = 0; i + slen <= len; i++) {
        if (ascii_ieq(pstr + i, psubstr, slen)) {
            return const_cast<char *>(pstr + i);
        }
    }
    return nullptr;
}

char *str_rstr(const char *dst, const char *src)
{
    PL_ASSERT_RET(dst, nullptr);
    PL_ASSERT_RET(src, nullptr);
    size_t len = strlen(dst), slen = strlen(src);
    if (len == 0 || slen > len) {
        return nullptr;
    }
    for (size_t i = len - slen + 1; i-- > 0;) {
        if (memcmp(dst + i, src, slen) == 0) {
            return const_cast<char *>(dst + i);
        }
    }
    return nullptr;
}

int str_find_word_step(const char *text, const char **cur, const char *word, bool icase)
{
    const char *p = icase ? str_istr(*cur, word) : strstr(*cur, word);
    if (p == nullptr) {
        return -1;
    }
    size_t wlen   = strlen(word);
    bool   before = p > text && ascii_alnum(p[-1]);
    bool   after  = ascii_alnum(p[wlen]);
    if (!before && !after) {
        *cur = p;
        return 1;
    }
    *cur = p + 1;
    return 0;
}

namespace {

char *str_find_word(const char *text, const char *word, bool icase)
{
    if (text == nullptr || word == nullptr || word[0] == '\0') {
        return nullptr;
    }
    const char *cur = text;
    int         r;
    while ((r = str_find_word_step(text, &cur, word, icase)) == 0) {
    }
    return r == 1 ? const_cast<char *>(cur) : nullptr;
}

}  // namespace

char *str_gfind(const char *text, const char *word)
{
    return str_find_word(text, word, false);
}

char *str_igfind(const char *text, const char *word)
{
    return str_find_word(text, word, true);
}

char *str_find_any(const char *text, const char *set)
{
    if (text == nullptr || set == nullptr) {
        return nullptr;
    }
    for (const char *s = set; *s != '\0'; s++) {
        if (const char *p = strchr(text, *s)) {
            return const_cast<char *>(p);
        }
    }
    return nullptr;
}

char *str_rfind_any(const char *text, const char *set)
{
    if (text == nullptr || set == nullptr) {
        return nullptr;
    }
    for (size_t i = strlen(text); i-- > 0;) {
        if (in_set(set, text[i])) {
            return const_cast<char *>(text + i);
        }
    }
    return nullptr;
}

char *str_chr_nth(const char *text, char c, size_t n)
{
    if (text == nullptr || n == 0) {
        return nullptr;
    }
    for (const char *p = text; *p != '\0'; p++) {
        if (*p == c && --n == 0) {
            return const_cast<char *>(p);
        }
    }
    return nullptr;
}

size_t str_count_chr(const char *text, char c)
{
    size_t n = 0;
    for (const char *p = text; p != nullptr && *p != '\0'; p++) {
        n += (*p == c);
    }
    return n;
}

size_t str_count_set(const char *text, const char *set)
{
    size_t n = 0;
    for (const char *p = text; p != nullptr && set != nullptr && *p != '\0'; p++) {
        n += in_set(set, *p);
    }
    return n;
}

int str_list_find(const char *item, const char *list, char sep)
{
    if (item == nullptr || list == nullptr) {
        return -1;
    }
    std::string_view rest(list);
    std::string_view want(item);
    for (;;) {
        size_t end = rest.find(sep);
        if (rest.substr(0, end) == want) {
            return 0;
        }
        if (end == std::string_view::npos) {
            return -1;
        }
        rest.remove_prefix(end + 1);
    }
}

int str_zz_find(const char *list, const char *item)
{
    if (list == nullptr || item == nullptr) {
        return -1;
    }
    int index = 0;
    for (const char *p = list; *p != '\0'; p += strlen(p) + 1, index++) {
        if (strcmp(p, item) == 0) {
            return index;
        }
    }
    return -1;
}

char *str_get_head(const char *info, char *buf, size_t blen)
{
    PL_ASSERT_RET(info!=NULL, nullptr);
    PL_ASSERT_RET(buf!=NULL, nullptr);
    PL_ASSERT_RET(blen>0, nullptr);
    size_t n = 0;
    for (const char *p = info; *p != '\0' && n + 1 < blen; p++) {
        if (*p != '\r' && *p != '\n') {
            buf[n++] = *p;
        }
    }
    buf[n] = '\0';
    return buf;
}

const char *str_ctok(const char *text, const char *seps, char *out, size_t size)
{
    if (text == nullptr || seps == nullptr || out == nullptr || size == 0) {
        return nullptr;
    }
    size_t len = strcspn(text, seps);
    if (len + 1 > size) {
        char head[32];
        ZLOG_ERR("need_len=%zu req_len=%zu head=[%s]\n", len + 1, size, str_get_head(text, head, sizeof(head)));
        assert_dump_stack();
        out[0] = '\0';
        return nullptr;
    }
    memcpy(out, text, len);
    out[len] = '\0';
    return text + len;
}

char *str_concat_dup(const char *a, const char *b)
{
    if (a == nullptr) {
        return nullptr;
    }
    if (b == nullptr) {
        return os_strdup(a);
    }
    size_t alen = strlen(a), blen = strlen(b);
    char  *p    = static_cast<char *>(os_malloc(alen + blen + 1));
    if (p != nullptr) {
        memcpy(p, a, alen);
        memcpy(p + alen, b, blen + 1);
    }
    return p;
}

char *str_add_chr_dup(const char *text, char c)
{
    if (text == nullptr || c == '\0') {
        return nullptr;
    }
    const char tail[2] = {c, '\0'};
    return str_concat_dup(text, tail);
}

int str_cmp_show_dbg(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    for (size_t i = 0; a[i] != '\0'; i++) {
        if (a[i] != b[i]) {
            ZLOG_ERR("off=%u %c=%c\n", static_cast<unsigned>(i), a[i], b[i]);
        }
        // A shorter b ends the comparison at its NUL instead of reading past it.
        if (b[i] == '\0') {
            break;
        }
    }
    return 0;
}

// ---- Sorting and binary search ----

namespace {

int cmp_byte(const void *a, const void *b)
{
    return *static_cast<const unsigned char *>(a) - *static_cast<const unsigned char *>(b);
}

}  // namespace

void sort_chars(char *bytes, size_t count)
{
    arr_sort(bytes, count, 1, cmp_byte);
}

void sort_strings(char **strs, size_t count)
{
    arr_sort(strs, count, sizeof(char *), cmp_pstr);
}

void sort_str_records(void **records, size_t count)
{
    arr_sort(records, count, sizeof(void *), cmp_ppstr);
}

void sort_u64(uint64_t *values, size_t count)
{
    arr_sort(values, count, sizeof(uint64_t), cmp_pu64);
}

int str_bsearch_inline(void *const *entries, size_t count, const char *key)
{
    return static_cast<int>(arr_bsearch(key, entries, count, sizeof(void *), cmp2_pstr));
}

int str_bsearch_ptr(void *const *entries, size_t count, const char *key)
{
    return static_cast<int>(arr_bsearch(key, entries, count, sizeof(void *), cmp2_ppstr));
}

// ---- Editing in place ----

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
    std::string  copy(text);
    text[0] = '\0';
    std::string_view rest(copy);
    for (;;) {
        size_t           end  = rest.find_first_of(seps);
        std::string_view item = rest.substr(0, end);
        std::string      one(item);
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

// ---- Recent lines ----

void str_tail_init(str_tail *tail, char *buf, size_t size)
{
    tail->buf  = buf;
    tail->size = size;
    tail->len  = 0;
    if (buf != nullptr && size > 0) {
        buf[0] = '\0';
    }
}

void str_tail_add(str_tail *tail, const char *text)
{
    if (tail == nullptr || tail->buf == nullptr || tail->size == 0 || text == nullptr) {
        return;
    }
    size_t tlen = strlen(text);
    if (tlen + 1 > tail->size) {
        return;
    }
    size_t drop = 0;
    if (tail->len + tlen + 1 > tail->size) {
        // Drop the fewest whole leading lines that make room; without enough
        // whole lines the new text is not kept and the tail stays as it was.
        size_t need = tail->len + tlen + 1 - tail->size;
        while (drop < need) {
            const void *lf = memchr(tail->buf + drop, '\n', tail->len - drop);
            if (lf == nullptr) {
                return;
            }
            drop = static_cast<size_t>(static_cast<const char *>(lf) - tail->buf) + 1;
        }
        memmove(tail->buf, tail->buf + drop, tail->len - drop);
        tail->len -= drop;
    }
    memcpy(tail->buf + tail->len, text, tlen + 1);
    tail->len += tlen;
}
