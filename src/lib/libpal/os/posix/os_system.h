// Running a command for its status or for one value of its output: the line
// editor clears the screen with os_system; device tools are read through
// get_popen_val. Neither is ever handed a path that came from a client.
#pragma once

#include <cstddef>

// The decoded wait status (os_waitpid_status_2_eno) of command run by
// "/bin/sh -c" with the caller's standard descriptors, or -1 when it cannot
// be run. The child starts with default signal dispositions.
int os_system(const char *command);

// Runs command (mode "r") and copies into out the trimmed text before "#" of
// the first output line whose trimmed text after "#" is key; out is empty
// when no line has it. The output is read for at most GET_POPEN_VAL_WAIT_MS;
// a command still writing then is left to end on its own. Returns out, or
// nullptr when the command cannot start.
constexpr unsigned GET_POPEN_VAL_WAIT_MS = 10000;
char *get_popen_val(const char *command, const char *key, char *out, size_t size);
