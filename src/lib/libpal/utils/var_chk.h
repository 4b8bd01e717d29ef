// Range checks of integer settings read from configuration or URLs (the
// connection time-outs): a value outside its range is replaced by a fix
// value, with a warning naming the setting.
#pragma once

// value below min, or above a non-zero max, gives fix (logged at warn level
// when name is given); anything else is returned unchanged.
int var_int_check(int value, const char *name, int min, int max, int fix);
