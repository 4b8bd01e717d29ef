// Quoting and replacing.
#define ZLOG_TAG "pal"
#include "libpal/string/str_quote.h"

#include <cstring>
#include <string>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/string/str_edit.h"
#include "libpal/string/str_safe.h"

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
        bool quotes = (*p == '\'');
        size_t run  = quotes ? strspn(p, "'") : strcspn(p, "'");
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
             p             = strstr(p + old_len, old_text)) {
            count++;
        }
    }
    size_t need = len - count * old_len + count * new_len + 1;

    std::string tmp;
    char *dst;
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

    char *w       = dst;
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
