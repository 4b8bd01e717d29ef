// Regular-expression helpers over the system's POSIX extended expressions:
// a yes/no match (the record filter's "match"), the span of the first match
// and a replace-all built on it. Every call compiles its own pattern and
// frees it before returning; nothing is cached or shared, so all calls are
// re-entrant. Reports go to the log with the tag "pal".
#pragma once

#include <cstdint>

// status 0: matched, with the byte offsets of the whole match (end is one
// past its last byte); status 1: no match or an error, start and end -1.
struct reg_span {
    int32_t status;
    int32_t start;
    int32_t end;
};

// 1 when text matches pattern, else 0 (also for a pattern that does not
// compile, which is reported as "regcomp").
int regmatch_imp(const char *pattern, const char *text, bool icase);
int regex_match(const char *text, const char *pattern);
int regex_match_icase(const char *text, const char *pattern);

reg_span cns_reg(const char *text, const char *pattern);

// A new string (freed with os_free): text with every match of pattern
// replaced, left to right; a replacement is never searched again, "^" matches
// only at the start of text, and a match of the empty text ends the search.
// A copy of text when nothing matches or pattern equals replacement.
// nullptr, reported, when the pattern does not compile, the search fails or
// the result would pass INT32_MAX bytes.
char *regex_replace_all(const char *text, const char *pattern, const char *replacement);
