// The command shell: the one interpreter behind the console, every TCP debug
// shell session, the -e client's commands and the web tool's "/cmd". It owns
// the context a handler receives (sh_ctx), the command rows, the line executor
// exec_commands, the shell's copy of the environment, the glue to the three
// variable registries and the exit hook. Process-wide state (remembered line,
// aliases, environment copy, registries) is serialised by one shell lock,
// taken for each access and never held while a handler runs, so "source" can
// run lines recursively and "exit" can stop other sessions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libsh/sh_getopt.h"

struct dvar;
struct fvar;
struct ledit_list;
struct rvar;

enum : uint32_t {
    SH_MODE_STDIO = 0,  // console: standard input and output
    SH_MODE_NET   = 1,  // one TCP session
    SH_MODE_WEB   = 2,  // the web tool's capture
    SH_MODE_PIPE  = 3,  // named pipe
};

constexpr size_t SH_LINE_SIZE = 4096;  // a command line, NUL included

// One per session or request; the channel fills mode and the three operations.
struct sh_ctx {
    uint32_t mode;
    uint32_t exit_flag;  // set by "exit" and "quit"; the session loop then ends
    void *out;
    int (*printf)(void *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int (*write)(void *out, const void *bytes, int len);
    // Marks the end of one executed command's output (a NUL on a TCP session).
    // The commands a "source" runs are part of its output: their marks are
    // dropped, so that one command line gets one reply.
    int (*flush)(void *out);
    // Optional (nullptr: never): why the session cannot go on (its peer gone,
    // its connection stopped, its output full), or nullptr while it can.
    // "source" asks it between lines.
    const char *(*ended)(void *out);
    sh_getopt_state opt;
};

using sh_cmd_proc = int (*)(sh_ctx *ctx, int argc, char **argv);

constexpr size_t SH_COMPLETE_WORDS = 4;
constexpr size_t SH_COMPLETE_WORD_SIZE = 256;  // a word of the line, NUL included

// What a command's completion callback receives: the start of the line as
// typed so far, and the list it adds its candidates to.
struct sh_complete_ctx {
    char word[SH_COMPLETE_WORDS][SH_COMPLETE_WORD_SIZE];  // the first blank-separated words, each cut to 255 bytes
    uint32_t count;                                       // words found, 0 to 4
    char last;                                            // the line's last character, NUL for an empty line
    ledit_list *list;
};

// One command row; a table ends with a row whose name is nullptr.
struct sh_cmd {
    const char *name;
    sh_cmd_proc handler;
    void (*complete)(sh_complete_ctx *req);  // Tab after the command word; nullptr offers nothing
    const char *help;
};

// Start and stop; a second libsh_init returns 0 at once.
int libsh_init();
int libsh_exit();

// Runs one command line: ";" outside quotes splits it, "#" pieces are
// comments, the first word may be an alias, NAME=value pieces go to the
// environment copy, an empty line runs the remembered line. flush once per
// executed command. The last handler's result (a negative one stops the
// line), 0 when no command ran, -1 when the line could not be split or was too
// long, -12 for an unknown command.
int exec_commands(sh_ctx *ctx, const char *line);

// One line from the console through the line editor: its length, 0 for an
// empty line (and for a line abandoned with Ctrl-G), -1 at the end of input.
int libsh_readline(const char *prompt, char *buf, size_t size);

// Registries: the entry is kept by address; duplicates and entries without
// their callback are refused with -1.
int libsh_dvar_add(dvar *var);
int libsh_rvar_add(rvar *var);
int libsh_fvar_add(fvar *var);
// err holds 4096 bytes. The registry's result; -12 for an unknown name.
int libsh_dvar_set(const char *name, const char *value, char *err);
// The settable variables as a JSON array; free with os_free.
char *libsh_dvar_json();

int libsh_set_exit_proc(int (*proc)());
int libsh_set_app_cmds(const sh_cmd *table);
// A built-in row wins over an application row of the same name.
const sh_cmd *libsh_cmd_find(const char *name);
sh_cmd_proc libsh_cmd_handler(const char *name);
// "get cmd help failed" for an unknown name.
const char *libsh_cmd_help_text(const char *name);

// Completion. libsh_complete is the line editor's hook (installed by
// libsh_init): while the first word is no command it offers the command
// names of the application table, then of the built-in table; after a
// command it calls that row's completion callback.
void libsh_complete(const char *line, ledit_list *list);
// Adds every candidate (a nullptr-ended array) that begins with prefix,
// ignoring case; an empty prefix matches all. With helps (parallel to
// words) the words are coloured by their index, without them they are bright
// magenta. An empty prefix with exactly one candidate adds it a second time
// first, as a plain word.
void libsh_complete_words(ledit_list *list, const char *prefix, const char *const *words, const char *const *helps);
// One plain word without colour or help text.
void libsh_complete_hint(ledit_list *list, const char *word);
// Every row whose name begins with typed (ignoring case), with its help text,
// coloured by the row's index.
void libsh_complete_cmds(const sh_cmd *table, const char *typed, ledit_list *list);

// The shell's copy of the environment ("name=value" entries).
int init_envv(char **envp);
void free_envv();
// The value after "=" of the first entry for name, or nullptr. The pointer
// stays valid until the entry is changed or removed.
const char *sh_getenv(const char *name);
// value nullptr stores "name=". 0, or -1 when memory runs out.
int sh_setenv(const char *name, const char *value);
// 0 when removed, -1 when not there.
int sh_unsetenv(const char *name);
