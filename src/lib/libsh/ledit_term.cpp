// The terminal under the line editor. One console: the state is process-wide.
// The saved settings are written only under the lock, before raw mode is
// published; the fault path reads them without the lock (a signal handler
// cannot take it), which is safe because they never change while raw.
#include "libsh/ledit_term.h"

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "libpal/os/posix/os_panic.h"
#include "libpal/os/posix/os_system.h"

namespace {

constexpr int k_default_cols = 160;
constexpr int k_default_rows = 24;

std::mutex g_term_lock;
termios g_saved{};
std::atomic<bool> g_raw{false};
bool g_closed   = false;  // under g_term_lock
bool g_hook_set = false;

std::atomic<int> g_winch{0};
std::atomic<bool> g_winch_installed{false};
std::atomic<bool> g_editor_set{false};
pthread_t g_editor;

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers read these atomics, which must not take a lock");

void report_tcsetattr()
{
    std::fprintf(stderr, "tcsetattr: %s\n", std::strerror(errno));
}

// On the faulting thread, inside the signal handler: async-signal-safe only.
void restore_on_fault()
{
    if (g_raw.load())
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

termios raw_of(const termios &t)
{
    termios raw = t;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    // Ctrl-S and Ctrl-Q are editing keys, not flow control.
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
    raw.c_cc[VMIN]  = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

// Requires g_term_lock.
bool go_raw_locked()
{
    if (g_raw.load())
        return true;
    if (g_closed || !isatty(STDIN_FILENO))
        return false;
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        report_tcsetattr();
        return false;
    }
    g_saved     = saved;
    termios raw = raw_of(saved);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        report_tcsetattr();
        return false;
    }
    if (!g_hook_set) {
        os_panic_set_hook(restore_on_fault);
        g_hook_set = true;
    }
    g_raw.store(true);
    return true;
}

// Requires g_term_lock.
void restore_locked()
{
    if (!g_raw.load())
        return;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &g_saved) != 0)
        report_tcsetattr();
    g_raw.store(false);
}

void on_winch(int)
{
    const int saved = errno;
    g_winch.store(1);
    // The system hands a process signal to any thread; the editor's read
    // must see it to redraw at once.
    if (g_editor_set.load() && !pthread_equal(pthread_self(), g_editor))
        pthread_kill(g_editor, SIGWINCH);
    errno = saved;
}

}  // namespace

bool ledit_term_raw()
{
    std::lock_guard<std::mutex> hold(g_term_lock);
    return go_raw_locked();
}

void ledit_term_restore()
{
    std::lock_guard<std::mutex> hold(g_term_lock);
    restore_locked();
}

void ledit_term_exit()
{
    std::lock_guard<std::mutex> hold(g_term_lock);
    // Raw means the editor waits for a key after its prompt: the line is
    // ended, so the user's shell prompt starts on a line of its own.
    const bool editing = g_raw.load();
    restore_locked();
    g_closed = true;
    if (editing) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
}

int ledit_term_read()
{
    for (;;) {
        if (g_winch.exchange(0) != 0)
            return LEDIT_READ_WINCH;
        unsigned char c = 0;
        ssize_t n       = read(STDIN_FILENO, &c, 1);
        if (n == 1)
            return c;
        if (n == 0)
            return LEDIT_READ_END;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            // A descriptor left non-blocking by someone else: wait, do not spin.
            pollfd in = {STDIN_FILENO, POLLIN, 0};
            if (poll(&in, 1, -1) >= 0 || errno == EINTR)
                continue;
        }
        return LEDIT_READ_END;
    }
}

int ledit_getch()
{
    std::fflush(stdout);
    bool made_raw = false;
    {
        std::lock_guard<std::mutex> hold(g_term_lock);
        if (!g_raw.load()) {
            made_raw = go_raw_locked();
            if (!made_raw && !g_closed && !isatty(STDIN_FILENO))
                report_tcsetattr();
        }
    }
    int c = LEDIT_READ_END;
    for (;;) {
        unsigned char b = 0;
        ssize_t n       = read(STDIN_FILENO, &b, 1);
        if (n == 1) {
            c = b;
            break;
        }
        if (n == 0 || errno != EINTR)
            break;
    }
    if (made_raw)
        ledit_term_restore();
    return c;
}

void ledit_winch_install()
{
    g_editor = pthread_self();
    g_editor_set.store(true);
    if (g_winch_installed.exchange(true))
        return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_winch;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the editor's read returns so the line is redrawn now,
    // not at the next key.
    sa.sa_flags = 0;
    sigaction(SIGWINCH, &sa, nullptr);
}

void ledit_winch_clear()
{
    g_winch.store(0);
}

int ledit_term_signal_key(int byte)
{
    if (byte == 3)
        return SIGINT;
    if (!g_raw.load() || byte == _POSIX_VDISABLE)
        return 0;
    if (byte == g_saved.c_cc[VINTR])
        return SIGINT;
    if (byte == g_saved.c_cc[VQUIT])
        return SIGQUIT;
    return 0;
}

void ledit_term_suspend()
{
    bool was_raw = g_raw.load();
    ledit_term_restore();
    std::fflush(stdout);
    raise(SIGSTOP);
    if (was_raw)
        ledit_term_raw();
}

void ledit_window_size(int *rows, int *cols)
{
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0)
        ws = winsize{};
    if (rows != nullptr)
        *rows = ws.ws_row <= 1 ? k_default_rows : ws.ws_row;
    if (cols != nullptr)
        *cols = ws.ws_col <= 1 ? k_default_cols : ws.ws_col;
}

void ledit_clear_screen()
{
    (void)os_system("clear");
}

void ledit_fmove_cursor(FILE *out, int rows, int cols)
{
    if (cols > 0)
        std::fprintf(out, "\033[%dC", cols);
    else if (cols < 0)
        std::fprintf(out, "\033[%dD", -cols);
    if (rows > 0)
        std::fprintf(out, "\033[%dB", rows);
    else if (rows < 0)
        std::fprintf(out, "\033[%dA", -rows);
}

void ledit_move_cursor(int rows, int cols)
{
    ledit_fmove_cursor(stdout, rows, cols);
}

void ledit_goto(int row, int col)
{
    std::printf("\033[%d;%dH", row + 1, col + 1);
}

int ledit_get_cursor(int *row, int *col)
{
    std::fputs("\033[6n", stdout);
    char reply[32];
    size_t n = 0;
    while (n < sizeof(reply) - 1) {
        int c = ledit_getch();
        if (c < 0)
            return -1;
        reply[n++] = static_cast<char>(c);
        if (c == 'R')
            break;
    }
    reply[n] = '\0';
    int r    = 0;
    int c    = 0;
    if (std::sscanf(reply, "\033[%d;%dR", &r, &c) != 2)
        return -1;
    if (row != nullptr)
        *row = r - 1;
    if (col != nullptr)
        *col = c - 1;
    return 0;
}

void ledit_show_cursor(bool hide)
{
    std::printf("\033[?25%c", hide ? 'l' : 'h');
}

void ledit_fset_color(FILE *out, bool tty, uint32_t code)
{
    if (!tty)
        return;
    std::fputs("\033[m", out);
    uint32_t fg = code & 0x7f;
    if (fg >= 1 && fg <= 8)
        std::fprintf(out, "\033[%um", 29 + fg + ((code & 0x80) != 0 ? 60 : 0));
    uint32_t bg = (code >> 8) & 0x7f;
    if (bg >= 1 && bg <= 8)
        std::fprintf(out, "\033[%um", 39 + bg + ((code & 0x8000) != 0 ? 60 : 0));
    if ((code & 0x10000) != 0)
        std::fputs("\033[4m", out);
}

void ledit_set_color(uint32_t code)
{
    ledit_fset_color(stdout, isatty(STDOUT_FILENO) != 0, code);
}
