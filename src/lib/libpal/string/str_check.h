// The validity tests that URL and configuration code apply to names, keys
// and values, and two small helpers of command texts.
#pragma once

bool str_is_digits(const char *text);  // true for the empty text
bool str_has_multi_colon(const char *text);
// None of ";/\\\"'?:@# " (a missing text is valid).
bool str_name_is_valid(const char *text);
bool str_key_is_valid(const char *text);  // nor "&="
bool str_val_is_valid(const char *text);  // no "&"
// The characters the checks above refuse.
extern const char *const STR_NAME_INVALID_CHARS;
extern const char *const STR_KEY_INVALID_CHARS;
// Mode bits: 1 not empty, 2 name characters, 4 none of "&=", 8 no "&",
// 16 none of "[]". false with the reason in reason (4096 bytes).
bool str_name_check(const char *text, int mode, char *reason);
// Inside stretches between quote characters, every from becomes to.
char *str_replace_chr_quoted(char *text, char quote, char from, char to);
// Cuts a leading double-quoted argument after its closing quote, else at the
// first blank; the cut position, or nullptr.
char *str_cut_first_arg(char *text);
