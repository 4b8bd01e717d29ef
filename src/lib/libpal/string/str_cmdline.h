// Command lines: splitting a line into an argument vector (the shell, the
// command runner) and the reverse, joining a vector into one line. The first
// argument (the program name) only knows double quotes; every later one also
// follows the backslash rule (2n backslashes + quote: n backslashes and the
// quote toggles; 2n+1: n backslashes and a literal quote; "" inside quotes: ").
#pragma once

#include <cstddef>

// Splits line. With argv and args both nullptr it only measures: *argc gets
// the argument count plus one (the final nullptr slot) and *nbytes the size
// args needs (every argument with its NUL). Otherwise argv (*argc slots) and
// args (*nbytes bytes) must be as large as measured for the same line:
// smaller buffers are refused with -1 and nothing written. 0 on success.
int str_parse_cmdline(const char *line, char **argv, char *args, int *argc, size_t *nbytes);

// Every argument followed by one blank (also the last); an argument that holds
// a blank is written between double quotes. 0, or -1 with out empty when the
// line does not fit.
int str_join_args(int argc, char **argv, char *out, size_t size);

// The part of text before its first blank (cut to size-1 characters); the
// whole text (strict copy) when it has none.
char *str_get_first_word(const char *text, char *out, size_t size);
// word followed by text from its first blank on (just word without a blank).
char *str_replace_first_word(const char *text, const char *word, char *out, size_t size);
