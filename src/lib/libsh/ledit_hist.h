// The line editor's history: a ring of the last 256 accepted lines (4095
// bytes each) with a count that only grows until cleared, so entry k lives
// in slot k modulo 256. The editing loop records, browses and searches it;
// these calls clear, load, save and list it, and match lines against search
// patterns. The pager below stops long listings at each screenful. Console
// thread only, like the editing loop.
#pragma once

#include <cstdint>
#include <cstdio>

void ledit_history_clear();
// Each line of the file (its line feeds and carriage returns removed, empty
// lines kept) becomes the next entry; a line longer than 4095 bytes comes in
// pieces, NUL bytes end an entry's text. 0, or -1 without a readable file.
int ledit_history_load(const char *path);
// Every retained entry, oldest first, as "%s\n". 0 or -1.
int ledit_history_save(const char *path);
// Walks the retained entries oldest first, skipping empty ones and, with
// patterns (a text, ledit_pattern_split), those that do not match. With n
// above 0 prints nothing and returns the slot number plus 1 of the n-th
// match (of the last when there are fewer, 0 with none). Otherwise prints
// "%4d  %s\n" (numbered from 1) or "%s\n", with paging through the pager,
// and returns the number printed.
int ledit_history_print(FILE *stream, bool numbered, const char *patterns, int n, bool paging);
// Numbered to standard output, paging when standard input is a terminal.
void ledit_history_list();

// Search patterns: up to 16, lower-cased. A pattern starting with "-"
// excludes; a double-quoted one holds blanks.
constexpr uint32_t LEDIT_PATTERN_MAX = 16;
constexpr size_t LEDIT_PATTERN_TEXT  = 4096;
struct ledit_patterns {
    uint32_t count;
    const char *pat[LEDIT_PATTERN_MAX];  // into text
    char text[LEDIT_PATTERN_TEXT + LEDIT_PATTERN_MAX];
};
// Splits text at runs of blanks (quotes as above); text beyond 4095 bytes
// is ignored.
void ledit_pattern_split(const char *text, ledit_patterns *out);
// Each including pattern occurs in line (lower-cased, at most 4095 bytes)
// and no excluding one does.
bool ledit_pattern_match(const char *line, const char *const *patterns, uint32_t count);

// 1 to stop the listing, else 0: counts the screen rows that chars take and
// pauses with "*** Press <Space> or <Enter> to continue . . ." once a
// screenful is shown; Space, CR and LF go on. Nothing when paging is off or
// standard input or output is no terminal.
int ledit_page_check(int chars);
// The previous state (1 on, 0 off).
int ledit_paging(int on);
