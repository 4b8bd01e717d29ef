// The key help that F1 shows: the editing help as seven framed sections of
// keys and actions, and the history search's own help. Built once from the
// tables, so every row has the same frame.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "libsh/ledit_imp.h"

namespace {

struct help_row {
    const char *keys;
    const char *what;
};

struct help_section {
    const char *title;
    std::vector<help_row> rows;
};

const std::array<help_section, 7> &sections()
{
    static const std::array<help_section, 7> s = {{
        {" Misc Commands", {{"F1", "Show edit shortcuts help."}, {"Ctrl-^", "Enter keyboard debugging mode."}}},
        {" Move Commands",
         {{"Ctrl-B, Left", "Move back one character."},
          {"Ctrl-F, Right", "Move forward one character."},
          {"Up, ESC+Up", "Up one row, or the previous history entry."},
          {"Ctrl-Up, Alt-Up", "Up one row of a line of several rows."},
          {"Down, ESC+Down", "Down one row, or the next history entry."},
          {"Ctrl-Down,Alt-Down", "Down one row of a line of several rows."},
          {"Alt-B, ESC+Left,", "Move back one word."},
          {"Ctrl-Left, Alt-Left", ""},
          {"Alt-F, ESC+Right,", "Move forward one word."},
          {"Ctrl-Right, Alt-Right", ""},
          {"Ctrl-A, Home", "Move to the start of the line."},
          {"Ctrl-E, End", "Move to the end of the line."},
          {"Ctrl-L", "Clear the screen and redraw the line."}}},
        {" Edit Commands",
         {{"Ctrl-H, Backspace", "Delete the character before the cursor."},
          {"Ctrl-D, DEL", "Delete the character under the cursor."},
          {"Alt-U", "Upper-case the word at or after the cursor."},
          {"Alt-L", "Lower-case the word at or after the cursor."},
          {"Alt-C", "Capitalize the word at or after the cursor."},
          {"Alt-\\", "Delete the blanks around the cursor."},
          {"Ctrl-T", "Transpose the characters at the cursor."}}},
        {" Cut&Paste Commands",
         {{"Ctrl-K, ESC+End,", "Cut from the cursor to the end of the line."},
          {"Ctrl-End, Alt-End", ""},
          {"Ctrl-U, ESC+Home,", "Cut from the start of the line to the cursor."},
          {"Ctrl-Home, Alt-Home", ""},
          {"Ctrl-X", "Cut the whole line."},
          {"Alt-Backspace,", "Cut the word before the cursor."},
          {"Esc+Backspace,", ""},
          {"Clt-Backspace", ""},
          {"Alt-D, ESC+Del,", "Cut the word after the cursor."},
          {"Alt-Del, Ctrl-Del", ""},
          {"Ctrl-W", "Cut back to the previous blank."},
          {"Ctrl-Y, Ctrl-V, Insert", "Paste the last cut text."}}},
        {" Complete Commands",
         {{"TAB, Ctrl-I", "Complete the command or argument."}, {"Alt-=, Alt-?", "List the possible completions."}}},
        {" History Commands",
         {{"Ctrl-P, Up", "Previous history entry."},
          {"Ctrl-N, Down", "Next history entry."},
          {"Alt-<,  PgUp", "First history entry."},
          {"Alt->,  PgDn", "Back to the line being typed."},
          {"Ctrl-R, Ctrl-S", "Search the history with patterns."},
          {"F4", "Search the history with the line as patterns."},
          {"F1", "Show the search help (while searching)."},
          {"F2", "List the history."},
          {"F3", "Clear history (need confirm)."}}},
        {" Control Commands",
         {{"Enter,  Ctrl-J, Ctrl-M", "Accept the line."},
          {"Ctrl-C, Ctrl-G", "Stop the program; abort the line."},
          {"Ctrl-D", "End the input on an empty line."},
          {"Alt-R", "Empty the line."},
          {"Ctrl-Z", "Suspend Job. (Linux Only, fg will resume edit)"}}},
    }};
    return s;
}

constexpr const char *k_notes[] = {
    "",
    " Note: where Alt does not work, press ESC before the key (ESC F for Alt-F).",
    " In a line of several rows, Up and Down move between its rows; at the end",
    " of the line, or in its first (Up) or last (Down) row, they fetch the history.",
    " Ctrl-Up, Alt-Up, Ctrl-Down and Alt-Down move between the rows only and",
    " never fetch the history.",
};

const std::vector<std::string> &edit_lines()
{
    static const std::vector<std::string> lines = [] {
        std::vector<std::string> out;
        const std::string border = " +" + std::string(25, '-') + "+" + std::string(50, '-') + "+";
        for (const help_section &s : sections()) {
            out.emplace_back(s.title);
            out.push_back(border);
            for (const help_row &r : s.rows) {
                char row[160];
                std::snprintf(row, sizeof(row), " | %-24s| %-49s|", r.keys, r.what);
                out.emplace_back(row);
            }
            out.push_back(border);
        }
        for (const char *n : k_notes)
            out.emplace_back(n);
        return out;
    }();
    return lines;
}

constexpr const char *k_search_lines[] = {
    " History search:",
    " Patterns are separated by blanks and matched without regard to case.",
    " Ctrl-Y, Ctrl-V or Insert paste the last patterns.",
    " Examples:",
    "   show                    entries that hold show",
    "   -dvar                   entries that do not hold dvar",
    "   \"log level\"             entries that hold log level, blank included",
    "   -\"show info\"            entries that do not hold show info",
    "   show -dvar \"set log\"    entries with show and set log, without dvar",
    "",
    nullptr,
};

}  // namespace

const char *const *ledit_help_edit_lines()
{
    static const std::vector<const char *> ptrs = [] {
        std::vector<const char *> out;
        for (const std::string &l : edit_lines())
            out.push_back(l.c_str());
        out.push_back(nullptr);
        return out;
    }();
    return ptrs.data();
}

const char *const *ledit_help_search_lines()
{
    return k_search_lines;
}
