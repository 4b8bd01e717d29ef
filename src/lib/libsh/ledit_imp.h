// What the line editor's modules share beyond ledit.h: the console the
// editing loop talks to (the terminal, or a script of bytes in the tests),
// the history's inner calls and the help texts. Private to src/lib/libsh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The editing loop's console. read_byte gives a byte, LEDIT_READ_END or
// LEDIT_READ_WINCH (ledit_term.h).
struct ledit_io {
    int (*read_byte)(void *arg);
    void *arg;
    FILE *out;
    bool tty;  // colours and the pager's pauses
    void (*window)(int *rows, int *cols);
    int (*signal_key)(int byte);  // the signal a byte stands for, or 0
    void (*interrupt)(int signo);
    void (*suspend)();
    void (*clear)();
};

// Standard input and output through ledit_term.h.
const ledit_io *ledit_term_io();

// The editing loop (ledit_edit.cpp): the buffer, or nullptr at the end of
// input (errno EAGAIN after Ctrl-G). search marks the nested reads of the
// history search.
char *ledit_edit(const ledit_io *io, const char *prompt, char *buf, size_t size, bool edit_existing, bool search);

// The history (ledit_hist.cpp).
constexpr uint32_t LEDIT_HISTORY_SLOTS = 256;
constexpr size_t LEDIT_HISTORY_LINE    = 4096;
// Records an accepted line under the rules of recording (not empty, not
// "history", not the newest entry again).
void ledit_history_add(const char *line);
uint32_t ledit_history_count();
// Entry k (count-based); the empty text when it is no longer retained.
const char *ledit_history_entry(uint32_t k);
// The text of slot (0 to 255).
const char *ledit_history_slot(uint32_t slot);
// ledit_history_print through a console's pager.
int ledit_history_print_io(const ledit_io *io, FILE *stream, bool numbered, const char *patterns, int n, bool paging);

// The pager: restarts the row count for a new listing; 1 to stop.
void ledit_page_start();
int ledit_page_check_io(const ledit_io *io, int chars);

// Help texts (ledit_help.cpp), nullptr-ended.
extern const char *const *ledit_help_edit_lines();
extern const char *const *ledit_help_search_lines();
