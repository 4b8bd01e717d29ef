// Wildcard patterns: "*", "?", bracketed sets ("[a-c]", "[!x]", "]" first is a
// member) and "\" escapes, alone or as "|"-separated lists. Used to find old
// log files, to pick configuration files and sections and by the device
// lister's filter. A pattern matches only the whole text.
#pragma once

// fold: compare without regard to case (the locale's lower-case mapping).
// debug: log the reason of a failed match at dbg level.
bool pl_glob_match(const char *pattern, const char *text, bool fold, bool debug);

// True when any pattern of the "|"-separated list matches; an empty entry
// matches only the empty text.
bool pl_glob_match_list_imp(const char *text, const char *patterns, bool fold, bool debug);
bool pl_glob_match_list(const char *text, const char *patterns);
bool pl_glob_match_list_i(const char *text, const char *patterns);
bool pl_glob_match_list_dbg(const char *text, const char *patterns);
bool pl_glob_match_list_i_dbg(const char *text, const char *patterns);

int pl_glob_fold(int c);
