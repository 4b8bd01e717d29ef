// Regular-expression helpers. Match offsets are i32 (and so is the system
// library's regoff_t), which bounds every text searched and every result
// built to INT32_MAX bytes.
#include "libpal/regex/pl_regex.h"

#include <regex.h>

#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_nothrow.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t k_max_text = INT32_MAX;
constexpr size_t k_max_sub = 10;  // sub-matches asked for; only the whole match is used
constexpr reg_span k_no_match{1, -1, -1};

// A pattern compiled for the life of one call.
class compiled_regex {
public:
    compiled_regex(const char *pattern, int cflags) : rc_(regcomp(&re_, pattern, cflags)) {}
    ~compiled_regex()
    {
        // A failed regcomp leaves nothing to free.
        if (rc_ == 0)
            regfree(&re_);
    }
    compiled_regex(const compiled_regex &) = delete;
    compiled_regex &operator=(const compiled_regex &) = delete;

    bool ok() const { return rc_ == 0; }
    const regex_t *get() const { return &re_; }
    // The text of a regcomp or regexec result, as regerror gives it.
    void error_text(int rc, char *out, size_t size) const { regerror(rc, &re_, out, size); }
    int rc() const { return rc_; }

private:
    regex_t re_{};
    int rc_;
};

// Compiles pattern, reporting a failure as "<reason>: regex '<pattern>'".
bool compile_reported(compiled_regex &re, const char *pattern)
{
    if (re.ok())
        return true;
    char why[128];
    re.error_text(re.rc(), why, sizeof(why));
    ZLOG_ERR("%s: regex '%s'\n", why, pattern);
    return false;
}

// One search of text: 0 with *span set, REG_NOMATCH, or the regexec error
// (reported).
int search(const compiled_regex &re, const char *text, int eflags, reg_span *span)
{
    regmatch_t m[k_max_sub];
    const int rc = regexec(re.get(), text, k_max_sub, m, eflags);
    if (rc == 0) {
        *span = reg_span{0, static_cast<int32_t>(m[0].rm_so), static_cast<int32_t>(m[0].rm_eo)};
    } else if (rc != REG_NOMATCH) {
        char why[128];
        re.error_text(rc, why, sizeof(why));
        ZLOG_ERR("%s: regcomp('%s')\n", why, text);
    }
    return rc;
}

bool text_fits(size_t len)
{
    if (len <= k_max_text)
        return true;
    ZLOG_ERR("text of %zu bytes is too long for a regex search\n", len);
    return false;
}

// The [start, end) offsets in text of every match, left to right, each
// search resuming after the previous match, where "^" no longer matches.
// false when a search fails.
bool find_all(const compiled_regex &re, const char *text, std::vector<std::pair<size_t, size_t>> *hits)
{
    size_t pos = 0;
    int eflags = 0;
    for (;;) {
        reg_span s = k_no_match;
        const int rc = search(re, text + pos, eflags, &s);
        if (rc == REG_NOMATCH)
            return true;
        if (rc != 0)
            return false;
        // An empty match would be found again at the same place forever.
        if (s.start == s.end)
            return true;
        hits->emplace_back(pos + static_cast<size_t>(s.start), pos + static_cast<size_t>(s.end));
        pos += static_cast<size_t>(s.end);
        eflags = REG_NOTBOL;
    }
}

// The text with each hit replaced, or nullptr when the result would not fit
// the offsets.
char *splice(const char *text, size_t len, const std::vector<std::pair<size_t, size_t>> &hits,
             const char *replacement)
{
    const size_t rlen = strlen(replacement);
    size_t total = len;
    for (const auto &[start, end] : hits) {
        total -= end - start;
        if (rlen > k_max_text || total > k_max_text - rlen) {
            ZLOG_ERR("replace result passes %zu bytes\n", k_max_text);
            return nullptr;
        }
        total += rlen;
    }
    auto *out = static_cast<char *>(safe_malloc(total + 1));
    size_t at = 0;
    size_t from = 0;
    for (const auto &[start, end] : hits) {
        memcpy(out + at, text + from, start - from);
        at += start - from;
        memcpy(out + at, replacement, rlen);
        at += rlen;
        from = end;
    }
    memcpy(out + at, text + from, len - from);
    out[at + len - from] = '\0';
    return out;
}

}  // namespace

int regmatch_imp(const char *pattern, const char *text, bool icase)
{
    PL_ASSERT_TEXT_RET(pattern != nullptr && text != nullptr, "pattern!=NULL && str!=NULL", 0);
    compiled_regex re(pattern, REG_EXTENDED | REG_NOSUB | (icase ? REG_ICASE : 0));
    if (!re.ok()) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "regcomp");
        return 0;
    }
    return regexec(re.get(), text, 0, nullptr, 0) == 0 ? 1 : 0;
}

int regex_match(const char *text, const char *pattern)
{
    return regmatch_imp(pattern, text, false);
}

int regex_match_icase(const char *text, const char *pattern)
{
    return regmatch_imp(pattern, text, true);
}

reg_span cns_reg(const char *text, const char *pattern)
{
    PL_ASSERT_TEXT_RET(pattern != nullptr && text != nullptr, "pattern!=NULL && str!=NULL", k_no_match);
    if (!text_fits(strlen(text)))
        return k_no_match;
    compiled_regex re(pattern, REG_EXTENDED);
    if (!compile_reported(re, pattern))
        return k_no_match;
    reg_span s = k_no_match;
    return search(re, text, 0, &s) == 0 ? s : k_no_match;
}

char *regex_replace_all(const char *text, const char *pattern, const char *replacement)
{
    PL_ASSERT_TEXT_RET(text != nullptr && pattern != nullptr && replacement != nullptr,
                       "str!=NULL && pattern!=NULL && replace!=NULL", nullptr);
    if (strcmp(pattern, replacement) == 0)
        return safe_strdup(text);
    const size_t len = strlen(text);
    if (!text_fits(len))
        return nullptr;
    compiled_regex re(pattern, REG_EXTENDED);
    if (!compile_reported(re, pattern))
        return nullptr;
    // The matches are found first and the result built once at its final
    // size, so a text with many matches is copied once, not once per match.
    return pl_nothrow<char *>(nullptr, [&]() -> char * {
        std::vector<std::pair<size_t, size_t>> hits;
        if (!find_all(re, text, &hits))
            return nullptr;
        return splice(text, len, hits, replacement);
    });
}
