// The shell's option parser: short options in the GNU manner (non-options
// permuted to the end of argv, "--" ending the options, a leading "+" in the
// option string or POSIXLY_CORRECT in the shell's environment stopping at the
// first non-option, a leading "-" returning non-options as option 1), with its
// whole state in the caller's record so that every session and every nested
// "source" parses on its own. Messages about bad options go to the session.
#pragma once

struct sh_ctx;

struct sh_getopt_state {
    int optind;       // next argv index to look at
    int optopt;       // the option character that caused an error
    int opterr;       // non-zero: report errors through the session
    char *optarg;     // the current option's argument, or nullptr
    const char *nextchar;  // the rest of an option group being scanned
    int first_nonopt; // non-options skipped so far: [first_nonopt, last_nonopt)
    int last_nonopt;
    int ordering;     // 0 until the first call
};

// The state exec_commands sets before every command: index 1, errors
// reported, optopt '?'.
void sh_getopt_reset(sh_getopt_state *st);
// The next option character; '?' for an unknown option or a missing argument
// (':' for the latter when optstring begins with ':'); -1 when the options
// end, with optind at the first non-option.
int sh_getopt(sh_ctx *ctx, int argc, char **argv, const char *optstring);
