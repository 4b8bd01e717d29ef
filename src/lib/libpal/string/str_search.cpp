// Tests, searches, sorting and binary search over texts.
#define ZLOG_TAG "pal"
#include "libpal/string/str_search.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

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

char *str_find_word(const char *text, const char *word, bool icase)
{
    if (text == nullptr || word == nullptr || word[0] == '\0') {
        return nullptr;
    }
    const char *cur = text;
    int r;
    while ((r = str_find_word_step(text, &cur, word, icase)) == 0) {
    }
    return r == 1 ? const_cast<char *>(cur) : nullptr;
}

int cmp_byte(const void *a, const void *b)
{
    return *static_cast<const unsigned char *>(a) - *static_cast<const unsigned char *>(b);
}

}  // namespace

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
        char c = *p;
        bool ok =
            ((mask & STR_CLASS_ALPHA) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) ||
            ((mask & STR_CLASS_DIGIT) && c >= '0' && c <= '9') ||
            ((mask & STR_CLASS_XDIGIT) && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
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
        {isalpha, STR_CTYPE_ALPHA}, {iscntrl, STR_CTYPE_CNTRL}, {isdigit, STR_CTYPE_DIGIT},
        {isgraph, STR_CTYPE_GRAPH}, {islower, STR_CTYPE_LOWER}, {ispunct, STR_CTYPE_PUNCT},
        {isspace, STR_CTYPE_SPACE}, {isupper, STR_CTYPE_UPPER}, {isxdigit, STR_CTYPE_XDIGIT},
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
    size_t wlen = strlen(word);
    bool before = p > text && ascii_alnum(p[-1]);
    bool after  = ascii_alnum(p[wlen]);
    if (!before && !after) {
        *cur = p;
        return 1;
    }
    *cur = p + 1;
    return 0;
}

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
    char *p = static_cast<char *>(os_malloc(alen + blen + 1));
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
