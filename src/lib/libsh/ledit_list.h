// The line editor's completion list: the words (with optional help texts)
// and the hint that a completion hook offers for the line being typed. The
// editing loop empties it, hands it to the hook (libsh_complete for the
// shell) and then inserts or lists what the hook added. Fixed-size: texts
// are cut to their fields, words beyond the 1024th are dropped.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t LEDIT_LIST_MAX = 1024;  // words per list
constexpr size_t LEDIT_WORD_SIZE = 64;     // a word, NUL included
constexpr size_t LEDIT_HELP_SIZE = 256;    // a word's help text, NUL included
constexpr size_t LEDIT_HINT_SIZE = 128;    // the hint, NUL included

// About 330 KB: keep it on the main thread's stack or on the heap.
struct ledit_list {
    uint32_t count;
    char word[LEDIT_LIST_MAX][LEDIT_WORD_SIZE];
    char help[LEDIT_LIST_MAX][LEDIT_HELP_SIZE];  // empty when the word has none
    char hint[LEDIT_HINT_SIZE];                  // empty when none
    uint32_t word_color[LEDIT_LIST_MAX];         // console colour codes (ledit.h)
    uint32_t help_color[LEDIT_LIST_MAX];
    uint32_t hint_color;
};

// Ignored when list or word is nullptr or the list is full. help nullptr
// stores an empty help text with colour 0.
void ledit_list_add(ledit_list *list, const char *word, uint32_t word_color, const char *help, uint32_t help_color);
// Both colours 0.
void ledit_list_add_word(ledit_list *list, const char *word, const char *help);
// text nullptr empties the hint.
void ledit_hint_set_color(ledit_list *list, const char *text, uint32_t color);
void ledit_hint_set(ledit_list *list, const char *text);
