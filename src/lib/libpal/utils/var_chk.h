// Range checks of integer settings read from text (URL parameters,
// configuration keys): an out-of-range value is replaced by a fix and the
// replacement is reported at warn level, so a bad setting never silently
// reaches a time-out or a size.
#pragma once

// A value below min gives fix ("[%s]=%d < min=%d fix=%d"); a max of 0 means
// no upper bound, otherwise a value above max gives fix ("[%s]=%d > max=%d
// fix=%d"). Nothing is logged when name is nullptr. Any other value is
// returned unchanged.
int var_int_check(int value, const char *name, int min, int max, int fix);
