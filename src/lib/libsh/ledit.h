// The console line editor: reads one command line with cursor movement, word
// operations, a cut buffer, colours, lines wrapping over several rows, the
// history and its search (ledit_hist.h), Tab completion through a hook and
// the key help. The shell reads its console lines through it
// (libsh_readline). On a non-terminal, or with TERM "dumb", "cons25" or
// "emacs", lines are read plainly without a prompt. Console thread only.
//
// The process-wide settings: the completion hook that Tab calls, the prompt
// colour and the word delimiters. The shell installs its hook and prompt
// colour when it starts. Colour codes are 32-bit: bits 0-6 the foreground
// number (1 to 8), bit 7 bright, bits 8-14 the background, bit 15 bright,
// bit 16 underline; 0 only resets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libsh/ledit_list.h"

// The colour codes in use.
enum : uint32_t {
    LEDIT_COLOR_BRIGHT_GREEN   = 0x83,  // the shell's prompt
    LEDIT_COLOR_BRIGHT_YELLOW  = 0x84,  // completion words
    LEDIT_COLOR_BRIGHT_MAGENTA = 0x86,
    LEDIT_COLOR_BRIGHT_CYAN    = 0x87,
    LEDIT_COLOR_CYAN           = 7,     // completion help texts
    LEDIT_COLOR_WHITE          = 8,
};

// buf, or nullptr at the end of input (or after Ctrl-D on an empty line)
// and when buf is nullptr or size at most 1; Ctrl-G gives nullptr with errno
// EAGAIN. The line holds at most size - 1 bytes, without a line end.
// edit_existing starts from buf's text with the cursor at its end.
char *ledit_read(const char *prompt, char *buf, size_t size, bool edit_existing);
char *ledit_readline(const char *prompt, char *buf, size_t size);
// True when ledit_read takes the plain road (no terminal, or a dumb one).
bool ledit_plain_input();
char *ledit_editline(const char *prompt, char *buf, size_t size);
// -1.
int ledit_unsupported();

// Redraws line on standard output from what the screen shows (old_pos,
// old_len) to pos and len: mode 0 moves the cursor, 1 draws prompt and line,
// k above 1 writes the line from byte k - 1.
void ledit_refresh(const char *prompt, const char *line, size_t old_pos, size_t old_len, size_t pos, size_t len,
                   size_t mode);
// ledit_refresh from nothing on screen, mode 1.
void ledit_refresh_full(const char *prompt, const char *line, size_t pos, size_t len);

constexpr size_t LEDIT_DELIM_SIZE = 64;  // at most 63 delimiters, NUL included

// Called with the line up to the cursor and an emptied list; adds the candidates.
using ledit_complete_hook = void (*)(const char *line, ledit_list *list);

// nullptr removes the hook (Tab then completes nothing).
void ledit_set_complete_hook(ledit_complete_hook hook);
ledit_complete_hook ledit_get_complete_hook();

void ledit_set_prompt_color(uint32_t color);
uint32_t ledit_get_prompt_color();

// The characters that end a word for the word moves and cuts; a longer text
// is cut to 63 characters, nullptr is ignored. By default the blank and the
// 32 ASCII punctuation characters.
void ledit_set_delimiters(const char *text);
// A copy of the delimiters into out (LEDIT_DELIM_SIZE bytes).
void ledit_get_delimiters(char *out);
