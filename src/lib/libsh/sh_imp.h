// What the shell's own modules share beyond libsh.h: the shell lock, the
// registries and the built-in table. Private to src/lib/libsh.
#pragma once

#include <mutex>
#include <string>

#include "libsh/libsh.h"

struct dvar_mgr;
struct fvar_mgr;
struct rvar_mgr;

namespace sh_imp {

// Taken for each single access to process-wide shell state, never across a handler.
std::mutex &lock();
// Valid while the shell runs; read and used under lock().
dvar_mgr *dvars();
rvar_mgr *rvars();
fvar_mgr *fvars();
// The application command table, or nullptr; read under the lock.
const sh_cmd *app_cmds();
// The exit hook, read under the lock.
int (*exit_proc())();
// A copy of an environment value; false when not set.
bool getenv_copy(const char *name, std::string &value);
// Every entry of the environment copy, one "%s\n" each.
std::string env_text();
// Help lines of every application row, then every built-in row.
std::string help_rows();
// Splits line into a vector (one allocation for pointers and words; free with
// os_free). nullptr when memory runs out.
char **split_words(const char *line, int *argc);
// "synopsis\n<help text>\n\t-h Display this help\n", the usage a command
// prints for -h (and so for "help cmd"); 0.
int plain_usage(sh_ctx *ctx, const char *synopsis, const char *cmd);

}  // namespace sh_imp

// The built-in commands and the shell's own registry entries (sh_cmds.cpp).
extern const sh_cmd g_sh_builtin_cmds[];
int rvar_init();
int fvar_init();
int cmd_cd(sh_ctx *ctx, int argc, char **argv);

// The completion callbacks of "set", "show" and "call" (sh_complete.cpp).
void sh_complete_set(sh_complete_ctx *req);
void sh_complete_show(sh_complete_ctx *req);
void sh_complete_call(sh_complete_ctx *req);
