// The line editor's terminal: raw mode, single-byte reads, the window size,
// cursor control and colours on standard input and output, with ANSI escape
// sequences. The editing loop keeps the terminal raw for a whole line read
// (so a paste is neither echoed nor cut by the driver's line buffer) and
// puts it back on every way out: the line's end, Ctrl-C, Ctrl-Z, the
// process's stop (ledit_term_exit from the shell's end) and a fault (the
// panic hook). Raw mode is set and reset with TCSANOW: typed-ahead bytes stay.
#pragma once

#include <cstdint>
#include <cstdio>

// One byte from standard input in raw mode (canonical input, echo, signal
// keys and flow control off, at least one byte, no time limit), after
// flushing standard output; the terminal is put back afterwards unless the
// editor holds it raw. -1 at the end of input or on a read error. A failing
// tcgetattr or tcsetattr prints "tcsetattr: " and the system error on
// standard error, and the read goes on.
int ledit_getch();

// Asks the terminal (standard output); columns of 1 or less become 160 and
// rows of 1 or less 24. Either pointer may be nullptr.
void ledit_window_size(int *rows, int *cols);
// Runs "clear" through the command runner.
void ledit_clear_screen();

// Relative moves: ESC[nC / ESC[nD for columns, then ESC[nB / ESC[nA for rows.
void ledit_move_cursor(int rows, int cols);
// ESC[row+1;col+1H.
void ledit_goto(int row, int col);
// Asks the terminal with ESC[6n. 0 with both 0-based, or -1.
int ledit_get_cursor(int *row, int *col);
// ESC[?25l to hide, ESC[?25h to show.
void ledit_show_cursor(bool hide);
// The colour code's sequences (ledit.h), on standard output only when it is
// a terminal.
void ledit_set_color(uint32_t code);

// The same writers on a given stream; colours only when tty is true.
void ledit_fmove_cursor(FILE *out, int rows, int cols);
void ledit_fset_color(FILE *out, bool tty, uint32_t code);

// Raw mode held across many reads by the editing loop. ledit_term_raw saves
// the settings the first time and returns false when standard input is no
// terminal or the terminal has been closed by ledit_term_exit.
bool ledit_term_raw();
// Puts the saved settings back (TCSANOW); nothing when not raw.
void ledit_term_restore();
// The process is ending: restores the terminal and never makes it raw again;
// when the editor was waiting for a key, ends its line. Safe from any thread
// while the editor waits for a key.
void ledit_term_exit();

constexpr int LEDIT_READ_END   = -1;  // end of input or a read error
constexpr int LEDIT_READ_WINCH = -2;  // the window changed; read again after the redraw

// One byte while raw; LEDIT_READ_WINCH once after each window-size signal.
int ledit_term_read();
// Installs the window-size handler (once) for the calling thread: the
// signal interrupts this thread's read wherever the system delivers it.
void ledit_winch_install();
// Forgets a window change not yet reported.
void ledit_winch_clear();

// The signal that a terminal's signal key stands for while raw: the
// interrupt key SIGINT, the quit key SIGQUIT; 0 for any other byte.
int ledit_term_signal_key(int byte);
// Ctrl-Z: the terminal back to normal, SIGSTOP, raw again after the continue.
void ledit_term_suspend();
