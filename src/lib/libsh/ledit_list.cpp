// The completion list's fill calls; the editing loop reads the fields directly.
#include "libsh/ledit_list.h"

#include "libpal/string/str_safe.h"

void ledit_list_add(ledit_list *list, const char *word, uint32_t word_color, const char *help, uint32_t help_color)
{
    if (list == nullptr || word == nullptr || list->count >= LEDIT_LIST_MAX)
        return;
    uint32_t i = list->count;
    str_safecopy2(list->word[i], LEDIT_WORD_SIZE, word);
    list->word_color[i] = word_color;
    if (help != nullptr) {
        str_safecopy2(list->help[i], LEDIT_HELP_SIZE, help);
        list->help_color[i] = help_color;
    } else {
        list->help[i][0] = '\0';
        list->help_color[i] = 0;
    }
    list->count = i + 1;
}

void ledit_list_add_word(ledit_list *list, const char *word, const char *help)
{
    ledit_list_add(list, word, 0, help, 0);
}

void ledit_hint_set_color(ledit_list *list, const char *text, uint32_t color)
{
    if (list == nullptr)
        return;
    str_safecopy2(list->hint, LEDIT_HINT_SIZE, text != nullptr ? text : "");
    list->hint_color = color;
}

void ledit_hint_set(ledit_list *list, const char *text) { ledit_hint_set_color(list, text, 0); }
