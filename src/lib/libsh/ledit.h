// The line editor's process-wide settings: the completion hook that Tab
// calls, the prompt colour and the word delimiters. The shell installs its
// hook and prompt colour when it starts; the console's editing loop reads
// them for every key. Colour codes are 32-bit: bits 0-6 the foreground
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
