// The history ring, its file form and listing, the search patterns and the pager.
#include "libsh/ledit_hist.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "libpal/string/str_safe.h"
#include "libsh/ledit_imp.h"
#include "libsh/ledit_term.h"

namespace {

std::array<std::array<char, LEDIT_HISTORY_LINE>, LEDIT_HISTORY_SLOTS> g_hist{};
uint32_t g_count = 0;

// Rows printed since the last pause; negative while paging is off.
int g_page_rows = 0;

constexpr std::string_view k_more = "*** Press <Space> or <Enter> to continue . . .";
static_assert(k_more.size() == 46);

uint32_t first_retained()
{
    return g_count > LEDIT_HISTORY_SLOTS ? g_count - LEDIT_HISTORY_SLOTS : 0;
}

void store(const char *line)
{
    str_safecopy2(g_hist[g_count % LEDIT_HISTORY_SLOTS].data(), LEDIT_HISTORY_LINE, line);
    g_count++;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

void lower_copy(char *dst, size_t size, std::string_view src)
{
    size_t n = std::min(src.size(), size - 1);
    for (size_t i = 0; i < n; i++)
        dst[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(src[i])));
    dst[n] = '\0';
}

}  // namespace

void ledit_history_clear()
{
    for (auto &slot : g_hist)
        slot[0] = '\0';
    g_count = 0;
}

void ledit_history_add(const char *line)
{
    if (line == nullptr || line[0] == '\0' || std::strcmp(line, "history") == 0)
        return;
    // Compared as it would be stored: a long line repeated is a duplicate too.
    if (g_count > 0 && std::strncmp(ledit_history_entry(g_count - 1), line, LEDIT_HISTORY_LINE - 1) == 0)
        return;
    store(line);
}

uint32_t ledit_history_count()
{
    return g_count;
}

const char *ledit_history_entry(uint32_t k)
{
    if (k >= g_count || k < first_retained())
        return "";
    return g_hist[k % LEDIT_HISTORY_SLOTS].data();
}

const char *ledit_history_slot(uint32_t slot)
{
    return g_hist[slot % LEDIT_HISTORY_SLOTS].data();
}

int ledit_history_load(const char *path)
{
    if (path == nullptr)
        return -1;
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return -1;
    char piece[LEDIT_HISTORY_LINE];
    bool continued = false;  // the previous piece ended without a line feed
    while (std::fgets(piece, sizeof(piece), f) != nullptr) {
        // A NUL byte ends the text; the line's own end is then hidden behind it.
        size_t n   = std::strlen(piece);
        bool ended = n > 0 && piece[n - 1] == '\n';
        while (n > 0 && (piece[n - 1] == '\n' || piece[n - 1] == '\r'))
            piece[--n] = '\0';
        // The line feed of a line that filled the previous piece exactly.
        if (!(continued && n == 0 && ended))
            store(piece);
        continued = !ended && std::strlen(piece) + 1 == sizeof(piece);
    }
    std::fclose(f);
    return 0;
}

int ledit_history_save(const char *path)
{
    if (path == nullptr)
        return -1;
    FILE *f = std::fopen(path, "w");
    if (f == nullptr)
        return -1;
    for (uint32_t k = first_retained(); k < g_count; k++)
        std::fprintf(f, "%s\n", ledit_history_entry(k));
    return std::fclose(f) == 0 ? 0 : -1;
}

int ledit_history_print_io(const ledit_io *io, FILE *stream, bool numbered, const char *patterns, int n, bool paging)
{
    auto pats   = std::make_unique<ledit_patterns>();
    bool filter = patterns != nullptr;
    if (filter)
        ledit_pattern_split(patterns, pats.get());
    if (paging)
        ledit_page_start();
    int matched   = 0;
    int last_slot = 0;
    for (uint32_t k = first_retained(); k < g_count; k++) {
        const char *line = ledit_history_entry(k);
        if (line[0] == '\0' || (filter && !ledit_pattern_match(line, pats->pat, pats->count)))
            continue;
        matched++;
        last_slot = static_cast<int>(k % LEDIT_HISTORY_SLOTS) + 1;
        if (n > 0) {
            if (matched == n)
                return last_slot;
            continue;
        }
        if (numbered)
            std::fprintf(stream, "%4d  %s\n", matched, line);
        else
            std::fprintf(stream, "%s\n", line);
        int chars = static_cast<int>(std::strlen(line)) + (numbered ? 7 : 1);
        if (paging && ledit_page_check_io(io, chars) != 0)
            break;
    }
    return matched;
}

int ledit_history_print(FILE *stream, bool numbered, const char *patterns, int n, bool paging)
{
    if (stream == nullptr)
        return 0;
    return ledit_history_print_io(ledit_term_io(), stream, numbered, patterns, n, paging);
}

void ledit_history_list()
{
    ledit_history_print(stdout, true, nullptr, 0, ledit_term_io()->tty);
}

void ledit_pattern_split(const char *text, ledit_patterns *out)
{
    out->count = 0;
    if (text == nullptr)
        return;
    std::string_view rest(text, strnlen(text, LEDIT_PATTERN_TEXT - 1));
    char *w = out->text;
    while (out->count < LEDIT_PATTERN_MAX) {
        while (!rest.empty() && is_blank(rest.front()))
            rest.remove_prefix(1);
        if (rest.empty())
            break;
        bool exclude = rest.size() > 1 && rest[0] == '-' && rest[1] == '"';
        if (exclude)
            rest.remove_prefix(1);
        std::string_view pat;
        if (rest.front() == '"') {
            rest.remove_prefix(1);
            size_t end = std::min(rest.find('"'), rest.size());
            pat        = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
        } else {
            size_t end = 0;
            while (end < rest.size() && !is_blank(rest[end]))
                end++;
            pat = rest.substr(0, end);
            rest.remove_prefix(end);
        }
        // Nothing to look for: an empty pair of quotes, or "-" alone.
        if (pat.empty() || (!exclude && pat == "-"))
            continue;
        char *p = w;
        if (exclude)
            *w++ = '-';
        lower_copy(w, pat.size() + 1, pat);
        w += pat.size() + 1;
        out->pat[out->count++] = p;
    }
}

bool ledit_pattern_match(const char *line, const char *const *patterns, uint32_t count)
{
    if (line == nullptr)
        return false;
    char low[LEDIT_HISTORY_LINE];
    lower_copy(low, sizeof(low), line);
    for (uint32_t i = 0; i < count; i++) {
        const char *p = patterns[i];
        if (p == nullptr)
            continue;
        bool exclude = p[0] == '-';
        bool found   = std::strstr(low, exclude ? p + 1 : p) != nullptr;
        if (found == exclude)
            return false;
    }
    return true;
}

void ledit_page_start()
{
    if (g_page_rows > 0)
        g_page_rows = 0;
}

int ledit_page_check_io(const ledit_io *io, int chars)
{
    if (g_page_rows < 0 || !io->tty)
        return 0;
    int rows = 0;
    int cols = 0;
    io->window(&rows, &cols);
    cols = std::max(cols, 1);
    g_page_rows += (std::max(chars, 0) + cols - 1) / cols;
    if (g_page_rows < rows - 1)
        return 0;
    std::fputs(k_more.data(), io->out);
    std::fflush(io->out);
    int key;
    do
        key = io->read_byte(io->arg);
    while (key == 0 || key == LEDIT_READ_WINCH);
    std::string back(k_more.size(), '\b');
    std::fprintf(io->out, "%s%s%s", back.c_str(), std::string(k_more.size(), ' ').c_str(), back.c_str());
    g_page_rows = 0;
    return key == ' ' || key == '\r' || key == '\n' ? 0 : 1;
}

int ledit_page_check(int chars)
{
    return ledit_page_check_io(ledit_term_io(), chars);
}

int ledit_paging(int on)
{
    int was     = g_page_rows >= 0 ? 1 : 0;
    g_page_rows = on != 0 ? 0 : -1;
    return was;
}
