// Tab completion for the shell: the hook the line editor calls with the line
// up to the cursor, the helpers that fill its list, and the callbacks of
// "set", "show" and "call" that offer registry names and enumeration values.
#include <cctype>
#include <cstring>
#include <new>
#include <vector>

#include "libpal/string/str_array.h"
#include "libpal/value/var_mgr.h"
#include "libsh/ledit.h"
#include "libsh/libsh.h"
#include "libsh/sh_imp.h"

namespace {

using guard = std::lock_guard<std::mutex>;

constexpr uint32_t FIRST_ROWS = 8;  // rows and candidates shown in the first colour

bool is_blank(char c) { return c != '\0' && std::isspace(static_cast<unsigned char>(c)) != 0; }

bool begins_with(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

uint32_t word_color(uint32_t i) { return i < FIRST_ROWS ? LEDIT_COLOR_BRIGHT_YELLOW : LEDIT_COLOR_BRIGHT_CYAN; }
uint32_t help_color(uint32_t i) { return i % 2 == 0 ? LEDIT_COLOR_CYAN : LEDIT_COLOR_WHITE; }

// The first words of line, separated by white space. A word longer than its
// field is cut and the rest of it skipped, so it never turns into a second word.
void split_words(const char *line, sh_complete_ctx *req)
{
    const char *p = line;
    while (req->count < SH_COMPLETE_WORDS) {
        while (is_blank(*p))
            p++;
        if (*p == '\0')
            break;
        size_t n = 0;
        for (; *p != '\0' && !is_blank(*p); p++) {
            if (n < SH_COMPLETE_WORD_SIZE - 1)
                req->word[req->count][n++] = *p;
        }
        req->word[req->count][n] = '\0';
        req->count++;
    }
}

// The index of the word the cursor is in (or after a blank: the next one),
// and the part of it typed so far.
uint32_t typing_word(const sh_complete_ctx *req, const char **prefix)
{
    if (req->count == 0 || is_blank(req->last)) {
        *prefix = "";
        return req->count;
    }
    *prefix = req->word[req->count - 1];
    return req->count - 1;
}

// Offers the texts of an array that the caller no longer needs.
void offer(ledit_list *list, const char *prefix, ptr_array *texts)
{
    if (texts == nullptr)
        return;
    try {
        std::vector<const char *> words;
        words.reserve(texts->count + 1);
        for (uint32_t i = 0; i < texts->count; i++)
            words.push_back(static_cast<const char *>(texts->items[i]));
        words.push_back(nullptr);
        libsh_complete_words(list, prefix, words.data(), nullptr);
    } catch (const std::bad_alloc &) {
        // Without memory Tab offers nothing; the line stays as typed.
    }
    ptr_array_free(texts);
}

// The second word names an entry of a registry.
template <typename Names>
void complete_name(sh_complete_ctx *req, Names names)
{
    const char *prefix;
    if (typing_word(req, &prefix) != 1)
        return;
    ptr_array *texts;
    {
        guard g(sh_imp::lock());
        texts = names();
    }
    offer(req->list, prefix, texts);
}

}  // namespace

void libsh_complete_words(ledit_list *list, const char *prefix, const char *const *words, const char *const *helps)
{
    if (list == nullptr || words == nullptr)
        return;
    if (prefix == nullptr)
        prefix = "";
    if (prefix[0] == '\0' && words[0] != nullptr && words[1] == nullptr)
        ledit_list_add_word(list, words[0], nullptr);
    for (uint32_t i = 0; words[i] != nullptr; i++) {
        if (!begins_with(words[i], prefix))
            continue;
        if (helps != nullptr)
            ledit_list_add(list, words[i], word_color(i), helps[i], help_color(i));
        else
            ledit_list_add(list, words[i], LEDIT_COLOR_BRIGHT_MAGENTA, nullptr, 0);
    }
}

void libsh_complete_hint(ledit_list *list, const char *word) { ledit_list_add_word(list, word, nullptr); }

void libsh_complete_cmds(const sh_cmd *table, const char *typed, ledit_list *list)
{
    if (table == nullptr)
        return;
    if (typed == nullptr)
        typed = "";
    for (uint32_t i = 0; table[i].name != nullptr; i++) {
        if (begins_with(table[i].name, typed))
            ledit_list_add(list, table[i].name, word_color(i), table[i].help, help_color(i));
    }
}

void libsh_complete(const char *line, ledit_list *list)
{
    if (line == nullptr || list == nullptr)
        return;
    sh_complete_ctx req{};
    split_words(line, &req);
    size_t len = std::strlen(line);
    req.last = len > 0 ? line[len - 1] : '\0';
    req.list = list;
    const sh_cmd *row = libsh_cmd_find(req.word[0]);
    if (row == nullptr) {
        if (req.count <= 1) {
            libsh_complete_cmds(sh_imp::app_cmds(), line, list);
            libsh_complete_cmds(g_sh_builtin_cmds, line, list);
        }
        return;
    }
    if (row->complete != nullptr)
        row->complete(&req);
}

void sh_complete_set(sh_complete_ctx *req)
{
    const char *prefix;
    uint32_t at = typing_word(req, &prefix);
    if (at == 1) {
        complete_name(req, [] { return dvar_mgr_names(sh_imp::dvars()); });
        return;
    }
    if (at != 2)
        return;
    ptr_array *values = nullptr;
    {
        guard g(sh_imp::lock());
        const dvar *var = dvar_mgr_find(sh_imp::dvars(), req->word[1]);
        if (var != nullptr && var->type == DVAR_TYPE_ENUM)
            values = dvar_mgr_enum_values(sh_imp::dvars(), req->word[1]);
    }
    offer(req->list, prefix, values);
}

void sh_complete_show(sh_complete_ctx *req)
{
    complete_name(req, [] { return rvar_mgr_names(sh_imp::rvars()); });
}

void sh_complete_call(sh_complete_ctx *req)
{
    complete_name(req, [] { return fvar_mgr_names(sh_imp::fvars()); });
}
