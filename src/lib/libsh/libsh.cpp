// The shell core: start and stop, the line executor, the environment copy,
// the registry glue and the command tables.
#include "libsh/libsh.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#define ZLOG_TAG "mish"
#include "liblog/flog.h"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_cmdline.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/value/var_mgr.h"
#include "libsh/ledit.h"
#include "libsh/ledit_term.h"
#include "libsh/sh_alias.h"
#include "libsh/sh_imp.h"

extern char **environ;

namespace {

constexpr size_t SH_WORD_SIZE = 256;  // a first word, an assignment's name or value, with NUL

struct shell_state {
    bool running = false;
    dvar_mgr *dvars = nullptr;
    rvar_mgr *rvars = nullptr;
    fvar_mgr *fvars = nullptr;
    int (*exit_proc)() = nullptr;
    char last_line[SH_LINE_SIZE] = "";
    char **envv = nullptr;  // owned "name=value" strings, nullptr-terminated
    size_t envc = 0;
    const sh_cmd *app_cmds = nullptr;
    uint32_t app_count = 0;
    uint32_t builtin_count = 0;
};

shell_state g_sh;
std::mutex g_sh_lock;

using guard = std::lock_guard<std::mutex>;

const sh_cmd *find_row(const sh_cmd *table, const char *name)
{
    for (const sh_cmd *row = table; row != nullptr && row->name != nullptr; row++) {
        if (std::strcmp(row->name, name) == 0)
            return row;
    }
    return nullptr;
}

uint32_t count_rows(const sh_cmd *table)
{
    uint32_t n = 0;
    while (table != nullptr && table[n].name != nullptr)
        n++;
    return n;
}

// The index of name's entry in the environment copy, or -1. Requires the lock.
long env_find(const char *name)
{
    size_t n = std::strlen(name);
    for (size_t i = 0; i < g_sh.envc; i++) {
        if (std::strncmp(g_sh.envv[i], name, n) == 0 && g_sh.envv[i][n] == '=')
            return static_cast<long>(i);
    }
    return -1;
}

// NAME=value with a non-empty name and value, no blank before the "=" and no
// second "=". Both parts are bounded; a longer one makes the piece a command.
bool sh_env_assign(const char *piece)
{
    const char *eq = std::strchr(piece, '=');
    if (eq == nullptr || eq == piece)
        return false;
    for (const char *p = piece; p < eq; p++) {
        if (*p == ' ' || *p == '\t')
            return false;
    }
    const char *value = eq + 1;
    if (*value == '\0' || std::strchr(value, '=') != nullptr)
        return false;
    size_t name_len = static_cast<size_t>(eq - piece);
    if (name_len >= SH_WORD_SIZE || std::strlen(value) >= SH_WORD_SIZE)
        return false;
    char name[SH_WORD_SIZE];
    std::memcpy(name, piece, name_len);
    name[name_len] = '\0';
    sh_setenv(name, value);
    return true;
}

// A line-sized buffer on the heap, nullptr when memory runs out. "source"
// nests exec_commands, exec_piece and the alias lookup once per level: their
// lines kept on the stack, 16 levels took most of a session thread's 256 KiB
// and overflowed it under the sanitizers.
std::unique_ptr<char[]> line_buffer() { return std::unique_ptr<char[]>(new (std::nothrow) char[SH_LINE_SIZE]); }

// The piece with its first word replaced by that word's alias (once), in out.
void expand_alias(const char *piece, char *out, size_t size)
{
    char word[SH_WORD_SIZE];
    str_safecopy2(out, size, piece);
    size_t n = strcspn(piece, " ");
    if (n >= sizeof(word))
        return;
    std::memcpy(word, piece, n);
    word[n] = '\0';
    const auto value = line_buffer();
    if (value == nullptr || !alias_get(word, value.get(), SH_LINE_SIZE))
        return;
    if (str_sprintf_s(out, size, "%s%s", value.get(), piece + n) < 0 || out[0] == '\0')
        str_safecopy2(out, size, piece);
}

void set_last_line(const char *line)
{
    guard g(g_sh_lock);
    str_safecopy2(g_sh.last_line, sizeof(g_sh.last_line), line);
}

// Runs one piece; *ran tells whether a command ran (and so was flushed).
int exec_piece(sh_ctx *ctx, char *piece, bool *ran)
{
    *ran = false;
    str_trim(piece);
    if (piece[0] == '#')
        return 0;
    const auto cmd = line_buffer();
    if (cmd == nullptr)
        return -1;
    expand_alias(piece, cmd.get(), SH_LINE_SIZE);
    if (sh_env_assign(cmd.get()))
        return 0;
    int argc = 0;
    char **argv = sh_imp::split_words(cmd.get(), &argc);
    if (argv == nullptr)
        return -1;
    const char *name = argc > 0 ? argv[0] : "";
    ZLOG_VERB("cmd=[%s] func=[%s]\n", str_log_text(cmd.get()).c_str(), str_log_text(name).c_str());
    int rc;
    sh_cmd_proc handler = libsh_cmd_handler(name);
    if (handler == nullptr) {
        ctx->printf(ctx->out, "command not found: [%s]\n", name);
        ctx->printf(ctx->out, "Type `help` to learn how to use prompt\n");
        set_last_line("");
        rc = -12;
    } else {
        sh_getopt_reset(&ctx->opt);
        rc = handler(ctx, argc, argv);
    }
    ctx->flush(ctx->out);
    *ran = true;
    os_free(argv);
    return rc;
}

}  // namespace

namespace sh_imp {

std::mutex &lock() { return g_sh_lock; }
dvar_mgr *dvars() { return g_sh.dvars; }
rvar_mgr *rvars() { return g_sh.rvars; }
fvar_mgr *fvars() { return g_sh.fvars; }

const sh_cmd *app_cmds()
{
    guard g(g_sh_lock);
    return g_sh.app_cmds;
}

int (*exit_proc())()
{
    guard g(g_sh_lock);
    return g_sh.exit_proc;
}

bool getenv_copy(const char *name, std::string &value)
{
    guard g(g_sh_lock);
    long i = env_find(name);
    if (i < 0)
        return false;
    value = g_sh.envv[i] + std::strlen(name) + 1;
    return true;
}

std::string env_text()
{
    guard g(g_sh_lock);
    std::string text;
    for (size_t i = 0; i < g_sh.envc; i++) {
        text += g_sh.envv[i];
        text += '\n';
    }
    return text;
}

std::string help_rows()
{
    const sh_cmd *tables[2] = {app_cmds(), g_sh_builtin_cmds};
    std::string text;
    char line[512];
    for (const sh_cmd *table : tables) {
        for (const sh_cmd *row = table; row != nullptr && row->name != nullptr; row++) {
            str_sprintf_s2(line, sizeof(line), "%-10s\t%s\n", row->name, row->help);
            text += line;
        }
    }
    return text;
}

char **split_words(const char *line, int *argc)
{
    int slots = 0;
    size_t bytes = 0;
    if (str_parse_cmdline(line, nullptr, nullptr, &slots, &bytes) != 0)
        return nullptr;
    size_t vec = static_cast<size_t>(slots) * sizeof(char *);
    auto **argv = static_cast<char **>(os_malloc(vec + bytes + 1));
    if (argv == nullptr)
        return nullptr;
    char *args = reinterpret_cast<char *>(argv) + vec;
    if (str_parse_cmdline(line, argv, args, &slots, &bytes) != 0) {
        os_free(argv);
        return nullptr;
    }
    *argc = slots - 1;
    argv[*argc] = nullptr;
    return argv;
}

}  // namespace sh_imp

int libsh_init()
{
    {
        guard g(g_sh_lock);
        if (g_sh.running)
            return 0;
        g_sh.running = true;
    }
    ZLOG_VERB("==>\n");
    init_envv(environ);
    ledit_set_complete_hook(libsh_complete);
    ledit_set_prompt_color(LEDIT_COLOR_BRIGHT_GREEN);
    alias_init();
    dvar_mgr *d = dvar_mgr_new();
    rvar_mgr *r = rvar_mgr_new();
    fvar_mgr *f = fvar_mgr_new();
    if (d == nullptr || r == nullptr || f == nullptr)
        ZLOG_CRIT("malloc failed\n");
    {
        guard g(g_sh_lock);
        g_sh.builtin_count = count_rows(g_sh_builtin_cmds);
        g_sh.dvars = d;
        g_sh.rvars = r;
        g_sh.fvars = f;
        log_level_var_add(d);
    }
    rvar_init();
    fvar_init();
    return 0;
}

int libsh_exit()
{
    ZLOG_DBG("==>\n");
    // The process is ending, maybe while the console waits for a key: the
    // terminal goes back to its settings and stays so.
    ledit_term_exit();
    {
        guard g(g_sh_lock);
        if (!g_sh.running)
            return 0;
        g_sh.running = false;
    }
    alias_exit();
    free_envv();
    guard g(g_sh_lock);
    dvar_mgr_free(g_sh.dvars);
    rvar_mgr_free(g_sh.rvars);
    fvar_mgr_free(g_sh.fvars);
    g_sh.dvars = nullptr;
    g_sh.rvars = nullptr;
    g_sh.fvars = nullptr;
    g_sh.exit_proc = nullptr;
    g_sh.last_line[0] = '\0';
    return 0;
}

int exec_commands(sh_ctx *ctx, const char *line)
{
    if (ctx == nullptr || line == nullptr)
        return -1;
    // A line the buffer cannot hold is refused, not cut: a cut line would run
    // a command the user did not type.
    if (std::strlen(line) >= SH_LINE_SIZE) {
        ctx->printf(ctx->out, "error: command line too long (%zu bytes, at most %zu)\n", std::strlen(line),
                    SH_LINE_SIZE - 1);
        ctx->flush(ctx->out);
        return -1;
    }
    const auto owned = line_buffer();
    if (owned == nullptr)
        return -1;
    char *buf = owned.get();
    str_safecopy(buf, SH_LINE_SIZE, line);
    str_trim(buf);
    if (buf[0] == '\0') {
        guard g(g_sh_lock);
        str_safecopy(buf, SH_LINE_SIZE, g_sh.last_line);
    }
    if (buf[0] == '\0') {
        ctx->flush(ctx->out);
        return 0;
    }
    str_vector pieces;
    str_vector_init(&pieces, 0);
    if (str_split_esape(buf, ";", "\"'", &pieces) < 0) {
        str_vector_exit(&pieces);
        set_last_line("");
        return -1;
    }
    set_last_line(buf);
    int rc = 0;
    for (uint32_t i = 0; i < pieces.count; i++) {
        bool ran = false;
        int piece_rc = exec_piece(ctx, pieces.items[i], &ran);
        if (ran || piece_rc < 0)
            rc = piece_rc;
        if (rc < 0)
            break;
    }
    str_vector_exit(&pieces);
    return rc;
}

int libsh_readline(const char *prompt, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return -1;
    buf[0] = '\0';
    libsh_init();
    // The editor shows no prompt on a plain read; the console still does, so
    // a program at the other end of a pipe sees when a command has ended.
    if (prompt != nullptr && ledit_plain_input()) {
        fputs(prompt, stdout);
        fflush(stdout);
    }
    errno = 0;
    if (ledit_readline(prompt, buf, size) == nullptr) {
        buf[0] = '\0';
        // Ctrl-G abandons the line, not the console.
        return errno == EAGAIN ? 0 : -1;
    }
    return static_cast<int>(std::strlen(buf));
}

int libsh_dvar_add(dvar *var)
{
    guard g(g_sh_lock);
    return dvar_mgr_add(g_sh.dvars, var);
}

int libsh_rvar_add(rvar *var)
{
    guard g(g_sh_lock);
    return rvar_mgr_add(g_sh.rvars, var);
}

int libsh_fvar_add(fvar *var)
{
    guard g(g_sh_lock);
    return fvar_mgr_add(g_sh.fvars, var);
}

int libsh_dvar_set(const char *name, const char *value, char *err)
{
    guard g(g_sh_lock);
    return dvar_mgr_set(g_sh.dvars, name, value, err);
}

char *libsh_dvar_json()
{
    guard g(g_sh_lock);
    return dvar_mgr_json(g_sh.dvars);
}

int libsh_set_exit_proc(int (*proc)())
{
    guard g(g_sh_lock);
    g_sh.exit_proc = proc;
    return 0;
}

int libsh_set_app_cmds(const sh_cmd *table)
{
    guard g(g_sh_lock);
    g_sh.app_cmds = table;
    g_sh.app_count = count_rows(table);
    return 0;
}

const sh_cmd *libsh_cmd_find(const char *name)
{
    if (name == nullptr)
        return nullptr;
    const sh_cmd *row = find_row(g_sh_builtin_cmds, name);
    if (row != nullptr)
        return row;
    guard g(g_sh_lock);
    return find_row(g_sh.app_cmds, name);
}

sh_cmd_proc libsh_cmd_handler(const char *name)
{
    const sh_cmd *row = libsh_cmd_find(name);
    return row != nullptr ? row->handler : nullptr;
}

const char *libsh_cmd_help_text(const char *name)
{
    const sh_cmd *row = libsh_cmd_find(name);
    return row != nullptr ? row->help : "get cmd help failed";
}

int init_envv(char **envp)
{
    guard g(g_sh_lock);
    size_t n = 0;
    while (envp != nullptr && envp[n] != nullptr)
        n++;
    auto **v = static_cast<char **>(os_malloc((n + 1) * sizeof(char *)));
    if (v == nullptr)
        return -1;
    size_t kept = 0;
    for (; kept < n; kept++) {
        size_t len = std::strlen(envp[kept]) + 1;
        v[kept] = static_cast<char *>(os_malloc(len));
        if (v[kept] == nullptr) {
            ZLOG_ERR("strdup error\n");
            break;
        }
        std::memcpy(v[kept], envp[kept], len);
    }
    v[kept] = nullptr;
    g_sh.envv = v;
    g_sh.envc = kept;
    return 0;
}

void free_envv()
{
    guard g(g_sh_lock);
    for (size_t i = 0; i < g_sh.envc; i++)
        os_free(g_sh.envv[i]);
    os_free(g_sh.envv);
    g_sh.envv = nullptr;
    g_sh.envc = 0;
}

const char *sh_getenv(const char *name)
{
    if (name == nullptr)
        return nullptr;
    guard g(g_sh_lock);
    long i = env_find(name);
    return i < 0 ? nullptr : g_sh.envv[i] + std::strlen(name) + 1;
}

int sh_setenv(const char *name, const char *value)
{
    if (name == nullptr)
        return -1;
    if (value == nullptr)
        value = "";
    size_t len = std::strlen(name) + std::strlen(value) + 2;
    auto *entry = static_cast<char *>(os_malloc(len));
    if (entry == nullptr)
        return -1;
    str_sprintf_s(entry, len, "%s=%s", name, value);
    guard g(g_sh_lock);
    long i = env_find(name);
    if (i >= 0) {
        os_free(g_sh.envv[i]);
        g_sh.envv[i] = entry;
        return 0;
    }
    auto **v = static_cast<char **>(os_realloc(g_sh.envv, (g_sh.envc + 2) * sizeof(char *)));
    if (v == nullptr) {
        os_free(entry);
        return -1;
    }
    v[g_sh.envc++] = entry;
    v[g_sh.envc] = nullptr;
    g_sh.envv = v;
    return 0;
}

int sh_unsetenv(const char *name)
{
    if (name == nullptr)
        return -1;
    guard g(g_sh_lock);
    long i = env_find(name);
    if (i < 0)
        return -1;
    os_free(g_sh.envv[i]);
    std::memmove(g_sh.envv + i, g_sh.envv + i + 1, (g_sh.envc - static_cast<size_t>(i)) * sizeof(char *));
    g_sh.envc--;
    return 0;
}
