// The editing loop: one key at a time from the console, acted on through
// the key map, the line redrawn with relative cursor moves so that a line
// wrapping over several rows stays right. Also the entry points that choose
// between the editor and a plain line read.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#include "libpal/os/os_init.h"
#include "libpal/string/str_safe.h"
#include "libsh/ledit.h"
#include "libsh/ledit_hist.h"
#include "libsh/ledit_imp.h"
#include "libsh/ledit_key.h"
#include "libsh/ledit_term.h"

namespace {

constexpr size_t k_cut_size      = 4096;  // the cut buffer, NUL included
constexpr size_t k_saved_size    = LEDIT_HISTORY_LINE;
constexpr const char *k_new_line = " \b\n";  // also ends a pending wrap at the last column

char g_cut[k_cut_size];

enum class outcome { go_on, accept, end };

struct editor {
    const ledit_io *io            = nullptr;
    FILE *out                     = nullptr;
    const char *prompt            = "";
    size_t plen                   = 0;
    char *buf                     = nullptr;
    size_t size                   = 0;  // the line holds at most size - 1 bytes
    size_t pos                    = 0;
    size_t len                    = 0;
    size_t old_pos                = 0;  // what the screen shows
    size_t old_len                = 0;
    int rows                      = 0;
    int cols                      = 0;
    bool search                   = false;
    bool browsing                 = false;
    uint32_t hindex               = 0;
    char saved[k_saved_size]      = "";
    char delims[LEDIT_DELIM_SIZE] = "";
};

bool is_delim(const editor &e, char c)
{
    return c != '\0' && std::strchr(e.delims, c) != nullptr;
}
bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

size_t row_of(const editor &e, size_t p)
{
    return (p + e.plen) / static_cast<size_t>(e.cols);
}
size_t col_of(const editor &e, size_t p)
{
    return (p + e.plen) % static_cast<size_t>(e.cols);
}

void move_between(const editor &e, size_t from, size_t to)
{
    int dr = static_cast<int>(row_of(e, to)) - static_cast<int>(row_of(e, from));
    int dc = static_cast<int>(col_of(e, to)) - static_cast<int>(col_of(e, from));
    ledit_fmove_cursor(e.out, dr, dc);
}

// Mode 0 moves the cursor only; 1 redraws prompt and line; k above 1 writes
// the line from byte k - 1. The screen then shows pos and len.
void refresh(editor &e, size_t mode)
{
    if (mode == 0) {
        if (e.cols > 0)
            move_between(e, e.old_pos, e.pos);
        e.old_pos = e.pos;
        e.old_len = e.len;
        return;
    }
    size_t from = 0;
    if (mode == 1) {
        if (e.cols > 0 && row_of(e, e.old_pos) > 0)
            std::fprintf(e.out, "\033[%zuA", row_of(e, e.old_pos));
        e.io->window(&e.rows, &e.cols);
        e.cols = std::max(e.cols, 1);
        ledit_fset_color(e.out, e.io->tty, ledit_get_prompt_color());
        std::fputc('\r', e.out);
        std::fputs(e.prompt, e.out);
        ledit_fset_color(e.out, e.io->tty, 0);
    } else {
        from = std::min(mode - 1, e.len);
        move_between(e, e.old_pos, from);
    }
    std::fwrite(e.buf + from, 1, e.len - from, e.out);
    const size_t cols = static_cast<size_t>(e.cols);
    const size_t end  = e.plen + e.len;
    if ((mode == 1 || e.len > from) && end > 0 && end % cols == 0)
        std::fputc('\n', e.out);
    size_t cursor        = end;
    const size_t old_end = e.plen + e.old_len;
    if (old_end > end) {
        std::fwrite(std::string(old_end - end, ' ').data(), 1, old_end - end, e.out);
        if (old_end % cols == 0)
            std::fputc('\n', e.out);
        cursor = old_end;
    }
    const size_t target = e.plen + e.pos;
    if (cursor / cols > target / cols)
        std::fprintf(e.out, "\033[%zuA", cursor / cols - target / cols);
    std::fputc('\r', e.out);
    if (target % cols != 0)
        std::fprintf(e.out, "\033[%zuC", target % cols);
    e.old_pos = e.pos;
    e.old_len = e.len;
}

// After output below the line: prompt and line drawn afresh on the current row.
void redraw_fresh(editor &e)
{
    e.old_pos = 0;
    e.old_len = 0;
    refresh(e, 1);
}

// The cursor to the line's end, then onto a new row, for output below it.
void leave_line(editor &e)
{
    size_t pos = e.pos;
    e.pos      = e.len;
    refresh(e, 0);
    e.pos = pos;
    std::fputs(k_new_line, e.out);
}

void set_line(editor &e, const char *text)
{
    str_safecopy2(e.buf, e.size, text);
    e.len = std::strlen(e.buf);
    e.pos = e.len;
    refresh(e, 1);
}

void insert_text(editor &e, const char *text, size_t n)
{
    if (n == 0 || e.len + n > e.size - 1)
        return;
    size_t at = e.pos;
    std::memmove(e.buf + at + n, e.buf + at, e.len - at + 1);
    std::memcpy(e.buf + at, text, n);
    e.len += n;
    e.pos += n;
    refresh(e, at + 1);
}

// Removes [from, to) and redraws from there; cut keeps a copy in the cut buffer.
void remove_range(editor &e, size_t from, size_t to, bool cut)
{
    if (to <= from)
        return;
    if (cut) {
        size_t n = std::min(to - from, k_cut_size - 1);
        std::memcpy(g_cut, e.buf + from, n);
        g_cut[n] = '\0';
    }
    std::memmove(e.buf + from, e.buf + to, e.len - to + 1);
    e.len -= to - from;
    e.pos = from;
    refresh(e, from + 1);
}

size_t word_forward(const editor &e)
{
    size_t p = e.pos;
    while (p < e.len && is_delim(e, e.buf[p]))
        p++;
    while (p < e.len && !is_delim(e, e.buf[p]))
        p++;
    return p;
}

size_t word_back(const editor &e)
{
    size_t p = e.pos;
    while (p > 0 && is_delim(e, e.buf[p - 1]))
        p--;
    while (p > 0 && !is_delim(e, e.buf[p - 1]))
        p--;
    // A word after a delimiter that opens the line: the line's start.
    if (p == 1)
        p = 0;
    return p;
}

// Alt-Backspace (blank_only false) and Ctrl-W (the word runs back to a blank).
size_t cut_left_start(const editor &e, bool blank_only)
{
    size_t p = e.pos;
    while (p > 0 && is_delim(e, e.buf[p - 1]))
        p--;
    while (p > 0 && (blank_only ? !is_blank(e.buf[p - 1]) : !is_delim(e, e.buf[p - 1])))
        p--;
    return p;
}

enum class case_op { upper, lower, capital };

void change_case(editor &e, case_op op)
{
    size_t p = e.pos;
    while (p < e.len && is_delim(e, e.buf[p]))
        p++;
    size_t start = p;
    for (; p < e.len && !is_delim(e, e.buf[p]); p++) {
        auto c = static_cast<unsigned char>(e.buf[p]);
        if (op == case_op::lower)
            e.buf[p] = static_cast<char>(std::tolower(c));
        else if (op == case_op::upper || p == start)
            e.buf[p] = static_cast<char>(std::toupper(c));
    }
    size_t before = e.pos;
    e.pos         = p;
    refresh(e, std::min(before, start) + 1);
}

void delete_blanks_around(editor &e)
{
    size_t from = e.pos;
    size_t to   = e.pos;
    while (from > 0 && is_blank(e.buf[from - 1]))
        from--;
    while (to < e.len && is_blank(e.buf[to]))
        to++;
    remove_range(e, from, to, false);
}

void transpose(editor &e)
{
    if (e.pos == 0)
        return;
    size_t p        = e.pos;
    bool under_word = p < e.len && !is_delim(e, e.buf[p]);
    if (under_word && !is_delim(e, e.buf[p - 1])) {
        std::swap(e.buf[p - 1], e.buf[p]);
        e.pos = p + 1;
        refresh(e, p);
    } else if (p >= 2 && !is_delim(e, e.buf[p - 1]) && !is_delim(e, e.buf[p - 2])) {
        std::swap(e.buf[p - 2], e.buf[p - 1]);
        refresh(e, p - 1);
    }
}

// One screen row up (-1) or down (+1); false when there is no such row.
bool move_row(editor &e, int dir)
{
    const size_t cols = static_cast<size_t>(e.cols);
    const size_t a    = e.plen + e.pos;
    if (dir < 0) {
        if (a < cols)
            return false;
        e.pos = a - cols < e.plen ? 0 : a - cols - e.plen;
    } else {
        if (row_of(e, e.pos) == row_of(e, e.len))
            return false;
        e.pos = std::min(a + cols - e.plen, e.len);
    }
    refresh(e, 0);
    return true;
}

// ---- history ----

void history_begin(editor &e)
{
    if (!e.browsing)
        str_safecopy2(e.saved, sizeof(e.saved), e.buf);
    e.browsing = true;
}

void history_prev(editor &e)
{
    history_begin(e);
    uint32_t count = ledit_history_count();
    if (e.hindex > 0 && e.hindex + LEDIT_HISTORY_SLOTS > count) {
        e.hindex--;
        set_line(e, ledit_history_entry(e.hindex));
    }
}

void history_next(editor &e)
{
    history_begin(e);
    uint32_t count = ledit_history_count();
    if (e.hindex + 1 < count) {
        e.hindex++;
        set_line(e, ledit_history_entry(e.hindex));
    } else {
        e.hindex = count;
        set_line(e, e.saved);
    }
}

void history_first(editor &e)
{
    history_begin(e);
    uint32_t count = ledit_history_count();
    if (count == 0)
        return;
    e.hindex = count > LEDIT_HISTORY_SLOTS ? count - LEDIT_HISTORY_SLOTS : 0;
    set_line(e, ledit_history_entry(e.hindex));
}

void history_last(editor &e)
{
    history_begin(e);
    e.hindex = ledit_history_count();
    set_line(e, e.saved);
}

void search(editor &e, bool with_line)
{
    char saved[k_saved_size];
    str_safecopy2(saved, sizeof(saved), e.buf);
    leave_line(e);
    char patterns[LEDIT_HISTORY_LINE] = "";
    if (with_line)
        str_safecopy2(patterns, sizeof(patterns), e.buf);
    const char *result = nullptr;
    if (ledit_edit(e.io, "Input Patterns <F1> help: ", patterns, sizeof(patterns), with_line, true) != nullptr) {
        str_safecopy2(g_cut, sizeof(g_cut), patterns);
        int matches = ledit_history_print_io(e.io, e.out, true, patterns, 0, true);
        if (matches > 0) {
            char id[8] = "";
            if (matches == 1)
                str_safecopy2(id, sizeof(id), "1");
            if (ledit_edit(e.io, "Input history id: ", id, sizeof(id), matches == 1, true) != nullptr &&
                id[0] != '\0') {
                char *end = nullptr;
                long n    = std::strtol(id, &end, 10);
                if (n <= 0 || n > matches) {
                    std::fprintf(e.out, "Invalid history id: %s\n", id);
                } else {
                    int slot = ledit_history_print_io(e.io, e.out, true, patterns, static_cast<int>(n), false);
                    result   = ledit_history_slot(static_cast<uint32_t>(slot - 1));
                }
            }
        }
    }
    str_safecopy2(e.buf, e.size, result != nullptr ? result : saved);
    e.len = std::strlen(e.buf);
    e.pos = e.len;
    redraw_fresh(e);
}

// ---- completion ----

size_t common_length(const ledit_list &list)
{
    size_t common = std::strlen(list.word[0]);
    for (uint32_t i = 1; i < list.count; i++) {
        size_t n = 0;
        while (n < common && list.word[i][n] != '\0' &&
               std::tolower(static_cast<unsigned char>(list.word[i][n])) ==
                   std::tolower(static_cast<unsigned char>(list.word[0][n])))
            n++;
        common = n;
    }
    return common;
}

void pad_to(FILE *out, size_t written, size_t width)
{
    for (size_t i = written; i < width; i++)
        std::fputc(' ', out);
}

void list_words(editor &e, const ledit_list &list)
{
    FILE *out      = e.out;
    const bool tty = e.io->tty;
    size_t width   = 0;
    bool any_help  = false;
    for (uint32_t i = 0; i < list.count; i++) {
        width    = std::max(width, std::strlen(list.word[i]));
        any_help = any_help || list.help[i][0] != '\0';
    }
    ledit_page_start();
    if (any_help) {
        for (uint32_t i = 0; i < list.count; i++) {
            ledit_fset_color(out, tty, list.word_color[i]);
            std::fputs(list.word[i], out);
            ledit_fset_color(out, tty, 0);
            pad_to(out, std::strlen(list.word[i]), width + 4);
            ledit_fset_color(out, tty, list.help_color[i]);
            std::fputs(list.help[i], out);
            ledit_fset_color(out, tty, 0);
            std::fputc('\n', out);
            if (ledit_page_check_io(e.io, static_cast<int>(width + 4 + std::strlen(list.help[i]))) != 0)
                return;
        }
        return;
    }
    int cols = e.cols;
    e.io->window(nullptr, &cols);
    const int w            = static_cast<int>(width);
    const uint32_t per_row = static_cast<uint32_t>(std::max(1, (cols - w - 1) / (w + 4) + 1));
    for (uint32_t i = 0; i < list.count; i++) {
        ledit_fset_color(out, tty, list.word_color[i]);
        std::fputs(list.word[i], out);
        ledit_fset_color(out, tty, 0);
        bool row_end = (i + 1) % per_row == 0;
        if (row_end) {
            std::fputc('\n', out);
            if (ledit_page_check_io(e.io, static_cast<int>(per_row * (width + 4))) != 0)
                return;
        } else if (i + 1 < list.count) {
            pad_to(out, std::strlen(list.word[i]), width + 4);
        }
    }
    if (list.count % per_row != 0)
        std::fputc('\n', out);
}

void complete(editor &e, bool insert)
{
    ledit_complete_hook hook = ledit_get_complete_hook();
    if (e.search || hook == nullptr || e.pos != e.len)
        return;
    // About 330 KB: on the heap, not on the console thread's stack.
    auto list = std::make_unique<ledit_list>();
    hook(e.buf, list.get());
    if (insert && list->count > 0) {
        const char *first = list->word[0];
        const bool single = list->count == 1;
        size_t common     = common_length(*list);
        if (common > 0) {
            size_t tail = std::min(e.len, std::strlen(first));
            while (tail > 0 && strncasecmp(e.buf + e.len - tail, first, tail) != 0)
                tail--;
            // Never shorter than typed, and within the buffer with the blank.
            if (common >= tail && e.len - tail + common + 1 <= e.size - 1) {
                size_t from = e.len - tail;
                std::memcpy(e.buf + from, first, common);
                e.len = from + common;
                if (single)
                    e.buf[e.len++] = ' ';
                e.buf[e.len] = '\0';
                e.pos        = e.len;
                refresh(e, from + 1);
            }
        }
        if (single)
            return;
    }
    if (list->hint[0] == '\0' && list->count == 0)
        return;
    leave_line(e);
    if (list->hint[0] != '\0') {
        std::fputs("Please input: ", e.out);
        ledit_fset_color(e.out, e.io->tty, list->hint_color);
        std::fputs(list->hint, e.out);
        ledit_fset_color(e.out, e.io->tty, 0);
        std::fputc('\n', e.out);
    }
    if (list->count > 0)
        list_words(e, *list);
    redraw_fresh(e);
}

// ---- help, history list and clear, keyboard debug ----

void show_help(editor &e)
{
    leave_line(e);
    ledit_page_start();
    for (const char *const *l = e.search ? ledit_help_search_lines() : ledit_help_edit_lines(); *l != nullptr; l++) {
        std::fprintf(e.out, "%s\n", *l);
        if (ledit_page_check_io(e.io, static_cast<int>(std::strlen(*l)) + 1) != 0)
            break;
    }
    redraw_fresh(e);
}

// A key for a question; the end of input or a window change count as none.
int read_answer(const editor &e)
{
    std::fflush(e.out);
    int c;
    do
        c = e.io->read_byte(e.io->arg);
    while (c == LEDIT_READ_WINCH);
    return c;
}

void clear_history(editor &e)
{
    leave_line(e);
    std::fputs("!!! Confirm to clear history [y]: ", e.out);
    if (read_answer(e) == 'y') {
        std::fputs(k_new_line, e.out);
        std::fputs("History are cleared!", e.out);
        ledit_history_clear();
        e.hindex = 0;
    }
    std::fputc('\n', e.out);
    redraw_fresh(e);
}

void keyboard_debug(editor &e)
{
    leave_line(e);
    std::fputs("Enter keyboard debug mode, <Ctrl-C> to exit debug\n", e.out);
    for (;;) {
        int c = read_answer(e);
        if (c < 0 || c == 3)
            break;
        std::fprintf(e.out, "%3d 0x%02x (%c)\n", c, c, std::isprint(c) ? c : ' ');
    }
    redraw_fresh(e);
}

// ---- the loop ----

char *accept(editor &e)
{
    e.pos = e.len;
    refresh(e, 0);
    std::fputs(k_new_line, e.out);
    if (e.len > 0 && e.buf[e.len - 1] == ' ')
        e.buf[--e.len] = '\0';
    if (!e.search)
        ledit_history_add(e.buf);
    return e.buf;
}

outcome end_of_line(editor &e)
{
    leave_line(e);
    return outcome::end;
}

// Keys that browse or search the history, or list and complete, do nothing
// in the nested reads of the search.
outcome act(editor &e, int32_t key)
{
    switch (key) {
    case 2:
    case LEDIT_KEY_LEFT:
        if (e.pos > 0) {
            e.pos--;
            refresh(e, 0);
        }
        break;
    case 6:
    case LEDIT_KEY_RIGHT:
        if (e.pos < e.len) {
            e.pos++;
            refresh(e, 0);
        }
        break;
    case ledit_key_alt('b'):
    case LEDIT_KEY_ALT_LEFT:
        e.pos = word_back(e);
        refresh(e, 0);
        break;
    case ledit_key_alt('f'):
    case LEDIT_KEY_ALT_RIGHT:
        e.pos = word_forward(e);
        refresh(e, 0);
        break;
    case 1:
    case LEDIT_KEY_HOME:
        e.pos = 0;
        refresh(e, 0);
        break;
    case 5:
    case LEDIT_KEY_END:
        e.pos = e.len;
        refresh(e, 0);
        break;
    case LEDIT_KEY_UP:
        if ((e.pos == e.len || !move_row(e, -1)) && !e.search)
            history_prev(e);
        break;
    case LEDIT_KEY_DOWN:
        if ((e.pos == e.len || !move_row(e, +1)) && !e.search)
            history_next(e);
        break;
    case LEDIT_KEY_ALT_UP:
        move_row(e, -1);
        break;
    case LEDIT_KEY_ALT_DOWN:
        move_row(e, +1);
        break;
    case 16:
        if (!e.search)
            history_prev(e);
        break;
    case 14:
        if (!e.search)
            history_next(e);
        break;
    case ledit_key_alt('<'):
    case LEDIT_KEY_PGUP:
        if (!e.search)
            history_first(e);
        break;
    case ledit_key_alt('>'):
    case LEDIT_KEY_PGDN:
        if (!e.search)
            history_last(e);
        break;
    case 18:
    case 19:
    case LEDIT_KEY_F4:
        if (!e.search)
            search(e, key == LEDIT_KEY_F4);
        break;
    case LEDIT_KEY_F1:
        show_help(e);
        break;
    case LEDIT_KEY_F2:
        if (!e.search && ledit_history_count() > 0) {
            leave_line(e);
            ledit_history_print_io(e.io, e.out, true, nullptr, 0, e.io->tty);
            redraw_fresh(e);
        }
        break;
    case LEDIT_KEY_F3:
        if (!e.search)
            clear_history(e);
        break;
    case LEDIT_KEY_TAB:
        complete(e, true);
        break;
    case ledit_key_alt('='):
    case ledit_key_alt('?'):
        complete(e, false);
        break;
    case 30:
        keyboard_debug(e);
        break;
    case 12:
        e.io->clear();
        redraw_fresh(e);
        break;
    case LEDIT_KEY_BACKSPACE:
        if (e.pos > 0)
            remove_range(e, e.pos - 1, e.pos, false);
        break;
    case 4:
        if (e.len == 0) {
            std::fputc('\n', e.out);
            return outcome::end;
        }
        [[fallthrough]];
    case LEDIT_KEY_DELETE:
        if (e.pos < e.len)
            remove_range(e, e.pos, e.pos + 1, false);
        break;
    case ledit_key_alt('u'):
        change_case(e, case_op::upper);
        break;
    case ledit_key_alt('l'):
        change_case(e, case_op::lower);
        break;
    case ledit_key_alt('c'):
        change_case(e, case_op::capital);
        break;
    case ledit_key_alt('\\'):
        delete_blanks_around(e);
        break;
    case 20:
        transpose(e);
        break;
    case 11:
    case LEDIT_KEY_ALT_END:
        remove_range(e, e.pos, e.len, true);
        break;
    case 21:
    case LEDIT_KEY_ALT_HOME:
        remove_range(e, 0, e.pos, true);
        break;
    case 24:
        remove_range(e, 0, e.len, true);
        break;
    case LEDIT_KEY_ALT_BACKSPACE:
    case ledit_key_alt('\b'):
    case 31:
        remove_range(e, cut_left_start(e, false), e.pos, true);
        break;
    case 23:
        remove_range(e, cut_left_start(e, true), e.pos, true);
        break;
    case ledit_key_alt('d'):
    case LEDIT_KEY_ALT_DELETE:
        remove_range(e, e.pos, word_forward(e), true);
        break;
    case 25:
    case 22:
    case LEDIT_KEY_INSERT:
        insert_text(e, g_cut, std::strlen(g_cut));
        break;
    case ledit_key_alt('r'):
        e.len    = 0;
        e.pos    = 0;
        e.buf[0] = '\0';
        refresh(e, 1);
        break;
    case 10:
    case 13:
        return outcome::accept;
    case 7:
        e.pos = e.len;
        refresh(e, 0);
        std::fputc('\n', e.out);
        errno = EAGAIN;
        return outcome::end;
    case 26:
        e.io->suspend();
        redraw_fresh(e);
        break;
    default:
        if (key >= 32 && key < 127) {
            e.browsing = false;
            char c     = static_cast<char>(key);
            insert_text(e, &c, 1);
        }
        break;
    }
    return outcome::go_on;
}

struct key_source {
    const ledit_io *io;
    bool winch = false;
};

// The decoder's bytes; a window change inside a sequence is kept for later.
int sequence_byte(void *arg)
{
    auto *s = static_cast<key_source *>(arg);
    for (;;) {
        int c = s->io->read_byte(s->io->arg);
        if (c != LEDIT_READ_WINCH)
            return c;
        s->winch = true;
    }
}

// Terminals that wrap their rows again on a resize (tmux, most emulators)
// keep the cursor on its character: the line's first row is found with the
// new width.
void redraw_after_winch(editor &e)
{
    e.io->window(&e.rows, &e.cols);
    e.cols = std::max(e.cols, 1);
    if (row_of(e, e.old_pos) > 0)
        std::fprintf(e.out, "\033[%zuA", row_of(e, e.old_pos));
    std::fputs("\r\033[J", e.out);
    redraw_fresh(e);
}

bool dumb_terminal()
{
    const char *term = std::getenv("TERM");
    if (term == nullptr)
        return false;
    for (const char *dumb : {"dumb", "cons25", "emacs"}) {
        if (strcasecmp(term, dumb) == 0)
            return true;
    }
    return false;
}

char *plain_read(char *buf, size_t size)
{
    if (os_stdin_gets(buf, size) == nullptr) {
        buf[0] = '\0';
        return nullptr;
    }
    size_t n = std::strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = '\0';
    return buf;
}

int term_read_byte(void *)
{
    return ledit_term_read();
}

// Ctrl-C ends the daemon at once with status 1; the quit key takes the stop
// sequence of a stop signal. Either way the terminal is back first.
void term_interrupt(int signo)
{
    ledit_term_restore();
    std::fflush(stdout);
    if (signo == SIGINT)
        os_process_exit(1);
    raise(signo);
}

ledit_io g_term_io = {
    term_read_byte,
    nullptr,
    stdout,
    false,
    ledit_window_size,
    ledit_term_signal_key,
    term_interrupt,
    ledit_term_suspend,
    ledit_clear_screen,
};

}  // namespace

const ledit_io *ledit_term_io()
{
    g_term_io.out = stdout;
    g_term_io.tty = isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
    return &g_term_io;
}

char *ledit_edit(const ledit_io *io, const char *prompt, char *buf, size_t size, bool edit_existing, bool search)
{
    if (io == nullptr || buf == nullptr || size <= 1)
        return nullptr;
    // About 4 KB of saved line per nested read: on the heap.
    auto e    = std::make_unique<editor>();
    e->io     = io;
    e->out    = io->out;
    e->prompt = prompt != nullptr ? prompt : "";
    e->plen   = std::strlen(e->prompt);
    e->buf    = buf;
    e->size   = size;
    e->search = search;
    ledit_get_delimiters(e->delims);
    if (edit_existing) {
        e->len      = strnlen(buf, size - 1);
        buf[e->len] = '\0';
        e->pos      = e->len;
        str_safecopy2(e->saved, sizeof(e->saved), buf);
    } else {
        buf[0] = '\0';
    }
    refresh(*e, 1);
    e->hindex = ledit_history_count();
    for (;;) {
        std::fflush(e->out);
        int c = io->read_byte(io->arg);
        if (c == LEDIT_READ_WINCH) {
            redraw_after_winch(*e);
            continue;
        }
        if (c < 0) {
            end_of_line(*e);
            return nullptr;
        }
        int32_t key;
        if (c == LEDIT_ESC) {
            key_source src{io};
            key = ledit_decode_key(sequence_byte, &src);
            if (src.winch)
                redraw_after_winch(*e);
            if (key == LEDIT_KEY_END_OF_INPUT) {
                end_of_line(*e);
                return nullptr;
            }
            // The digit of an unknown sequence is no typed text.
            if (key < 256)
                continue;
        } else if (int signo = io->signal_key(c); signo != 0) {
            leave_line(*e);
            std::fflush(e->out);
            io->interrupt(signo);
            return nullptr;
        } else {
            key = ledit_key_normalize(c);
        }
        outcome o = act(*e, key);
        if (o == outcome::accept) {
            char *line = accept(*e);
            std::fflush(e->out);
            return line;
        }
        if (o == outcome::end) {
            std::fflush(e->out);
            return nullptr;
        }
    }
}

char *ledit_read(const char *prompt, char *buf, size_t size, bool edit_existing)
{
    if (buf == nullptr || size <= 1)
        return nullptr;
    if (ledit_plain_input())
        return plain_read(buf, size);
    ledit_winch_install();
    ledit_winch_clear();
    if (!ledit_term_raw())
        return plain_read(buf, size);
    char *line = ledit_edit(ledit_term_io(), prompt, buf, size, edit_existing, false);
    int saved  = errno;
    ledit_term_restore();
    std::fflush(stdout);
    errno = saved;
    return line;
}

bool ledit_plain_input()
{
    return !isatty(STDIN_FILENO) || dumb_terminal();
}

char *ledit_readline(const char *prompt, char *buf, size_t size)
{
    return ledit_read(prompt, buf, size, false);
}

char *ledit_editline(const char *prompt, char *buf, size_t size)
{
    return ledit_read(prompt, buf, size, true);
}

int ledit_unsupported()
{
    return -1;
}

void ledit_refresh(const char *prompt, const char *line, size_t old_pos, size_t old_len, size_t pos, size_t len,
                   size_t mode)
{
    if (line == nullptr)
        return;
    editor e;
    e.io      = ledit_term_io();
    e.out     = stdout;
    e.prompt  = prompt != nullptr ? prompt : "";
    e.plen    = std::strlen(e.prompt);
    e.buf     = const_cast<char *>(line);
    e.len     = std::min(len, std::strlen(line));
    e.size    = e.len + 1;
    e.pos     = std::min(pos, e.len);
    e.old_pos = old_pos;
    e.old_len = old_len;
    ledit_window_size(&e.rows, &e.cols);
    refresh(e, mode);
}

void ledit_refresh_full(const char *prompt, const char *line, size_t pos, size_t len)
{
    ledit_refresh(prompt, line, 0, 0, pos, len, 1);
}
