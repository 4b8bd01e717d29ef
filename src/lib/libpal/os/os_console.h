// Console colour output: ANSI colour sequences by colour number and a writer
// that wraps a text in its colour and the reset sequence. The console log
// sink maps levels to these numbers; colour 0 is plain text.
#pragma once

#include <cstdio>

constexpr const char *OS_COLOR_RESET = "\033[0m";

// The sequence of colour 2, 3, 5, 7, 8 or 9; any other number gives "\033[37m".
const char *os_color_code(int colour);
// Colour 0 writes text unchanged; any other colour writes sequence, text and
// reset in one formatted write, so lines of concurrent writers stay whole. 0.
int os_color_write(FILE *stream, int colour, const char *text);
// Formats into 8192 bytes (longer output is cut), then os_color_write.
int os_color_printf(FILE *stream, int colour, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
