// The editor's settings. The editing loop runs on the console thread, but the
// shell may start (and install its hook) from a server thread, so each
// setting is read and written whole.
#include "libsh/ledit.h"

#include <array>
#include <atomic>
#include <mutex>

#include "libpal/string/str_safe.h"

namespace {

// The blank and every printable ASCII character that is neither a letter nor
// a digit, in table order.
constexpr std::array<char, LEDIT_DELIM_SIZE> default_delimiters()
{
    std::array<char, LEDIT_DELIM_SIZE> d{};
    size_t n = 0;
    for (char c = ' '; c <= '~'; c++) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum)
            d[n++] = c;
    }
    return d;
}

std::atomic<ledit_complete_hook> g_complete_hook{nullptr};
std::atomic<uint32_t> g_prompt_color{0};

std::mutex g_delim_lock;
std::array<char, LEDIT_DELIM_SIZE> g_delimiters = default_delimiters();

}  // namespace

void ledit_set_complete_hook(ledit_complete_hook hook) { g_complete_hook.store(hook); }
ledit_complete_hook ledit_get_complete_hook() { return g_complete_hook.load(); }

void ledit_set_prompt_color(uint32_t color) { g_prompt_color.store(color); }
uint32_t ledit_get_prompt_color() { return g_prompt_color.load(); }

void ledit_set_delimiters(const char *text)
{
    if (text == nullptr)
        return;
    std::lock_guard<std::mutex> g(g_delim_lock);
    str_safecopy2(g_delimiters.data(), g_delimiters.size(), text);
}

void ledit_get_delimiters(char *out)
{
    if (out == nullptr)
        return;
    std::lock_guard<std::mutex> g(g_delim_lock);
    str_safecopy2(out, LEDIT_DELIM_SIZE, g_delimiters.data());
}
