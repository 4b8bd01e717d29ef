// The fourteen built-in commands, the hidden directory change, and the
// shell's own show-values and call functions. Handlers write only through
// the session's operations, so the same commands serve every channel.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#define ZLOG_TAG "mish"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/os/os_hostid.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/os/posix/os_pid.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app_desc.h"
#include "libpal/value/var_mgr.h"
#include "libsh/ledit_term.h"
#include "libsh/sh_alias.h"
#include "libsh/sh_imp.h"

namespace {

using guard = std::lock_guard<std::mutex>;

constexpr int SOURCE_MAX_DEPTH = 16;  // a file that sources itself stops here

void put_text(sh_ctx *ctx, const std::string &text)
{
    if (!text.empty())
        ctx->write(ctx->out, text.c_str(), static_cast<int>(text.size()));
}

std::string owned_text(char *text)
{
    std::string s = text != nullptr ? text : "";
    os_free(text);
    return s;
}

// "%s\n%s": the command's help text and the registry's help lines.
int print_usage(sh_ctx *ctx, const char *cmd, char *lines, int rc)
{
    std::string text = libsh_cmd_help_text(cmd);
    text += '\n';
    text += owned_text(lines);
    put_text(ctx, text);
    return rc;
}

bool is_help_arg(int argc, char **argv) { return argc == 2 && std::strcmp(argv[1], "-h") == 0; }

// True when the options asked for help (option string "h"); the rest are ignored.
bool wants_help(sh_ctx *ctx, int argc, char **argv)
{
    int c;
    while ((c = sh_getopt(ctx, argc, argv, "h")) != -1) {
        if (c == 'h')
            return true;
    }
    return false;
}

int cmd_show(sh_ctx *ctx, int argc, char **argv)
{
    if (argc == 2) {
        rvar *var;
        {
            guard g(sh_imp::lock());
            var = rvar_mgr_find(sh_imp::rvars(), argv[1]);
        }
        if (var != nullptr) {
            put_text(ctx, owned_text(var->get()));
            return 0;
        }
        if (std::strcmp(argv[1], "-h") != 0) {
            ctx->printf(ctx->out, "error: The show variable '%s' does not exist\n", argv[1]);
            return -12;
        }
    }
    char *lines;
    {
        guard g(sh_imp::lock());
        lines = rvar_mgr_help(sh_imp::rvars());
    }
    return print_usage(ctx, "show", lines, 0);
}

int cmd_set(sh_ctx *ctx, int argc, char **argv)
{
    if (argc == 3) {
        char err[DVAR_ERR_SIZE] = "";
        int rc = libsh_dvar_set(argv[1], argv[2], err);
        if (rc < 0)
            ctx->printf(ctx->out, "error: %s\n", err);
        return rc;
    }
    char *lines;
    {
        guard g(sh_imp::lock());
        lines = dvar_mgr_help(sh_imp::dvars());
    }
    return print_usage(ctx, "set", lines, is_help_arg(argc, argv) ? 0 : -1);
}

int cmd_call(sh_ctx *ctx, int argc, char **argv)
{
    fvar *var = nullptr;
    if (argc >= 2) {
        guard g(sh_imp::lock());
        var = fvar_mgr_find(sh_imp::fvars(), argv[1]);
    }
    if (var != nullptr)
        return var->func(ctx, argc - 1, argv + 1);
    if (argc >= 2 && !is_help_arg(argc, argv)) {
        ctx->printf(ctx->out, "error: The call func '%s' does not exist\n", argv[1]);
        return -12;
    }
    char *lines;
    {
        guard g(sh_imp::lock());
        lines = fvar_mgr_help(sh_imp::fvars(), "call");
    }
    return print_usage(ctx, "call", lines, argc >= 2 ? 0 : -1);
}

int cmd_pwd(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "pwd", "pwd");
    char dir[4096];
    if (getcwd(dir, sizeof(dir)) == nullptr) {
        ctx->printf(ctx->out, "os_getcwd err: [%s]\n", strerror(errno));
        return -1;
    }
    ctx->printf(ctx->out, "%s\n", dir);
    return 0;
}

int cmd_unset(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "unset [var ...]", "unset");
    if (ctx->opt.optind >= argc) {
        ctx->printf(ctx->out, "unsetenv: Too few arguments\n");
        return -1;
    }
    for (int i = ctx->opt.optind; i < argc; i++)
        sh_unsetenv(argv[i]);
    return 0;
}

// A leading word of only "n", "e", "E", "h" after its "-" is an option.
bool echo_option(const char *word)
{
    return word[0] == '-' && word[1] != '\0' && word[std::strspn(word + 1, "neEh") + 1] == '\0';
}

// Appends word with its escapes decoded; a "\c" drops the final newline.
void echo_decode(const char *word, std::string &out, bool *newline)
{
    for (const char *p = word; *p != '\0';) {
        if (*p != '\\') {
            out += *p++;
            continue;
        }
        p++;
        if (*p == '\0') {
            out += '\\';
        } else if (*p == 'c') {
            *newline = false;
            p++;
        } else {
            out += static_cast<char>(str_cescape_get_chr(&p));
        }
    }
}

int cmd_echo(sh_ctx *ctx, int argc, char **argv)
{
    bool newline = true;
    bool escapes = false;
    int i = 1;
    for (; i < argc && echo_option(argv[i]); i++) {
        for (const char *o = argv[i] + 1; *o != '\0'; o++) {
            if (*o == 'n')
                newline = false;
            else if (*o == 'e')
                escapes = true;
            else if (*o == 'E')
                escapes = false;
            else {
                sh_imp::plain_usage(ctx, "echo [opt] [string|var]...", "echo");
                return 1;
            }
        }
    }
    std::string out;
    for (int first = i; i < argc; i++) {
        if (i > first)
            out += ' ';
        if (escapes)
            echo_decode(argv[i], out, &newline);
        else
            out += argv[i];
    }
    if (newline)
        out += '\n';
    put_text(ctx, out);
    return 0;
}

int cmd_env(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "env", "env");
    put_text(ctx, sh_imp::env_text());
    return 0;
}

thread_local int t_source_depth = 0;

constexpr size_t SOURCE_LINE_MAX = SH_LINE_SIZE - 1;

// Only a regular file: /dev/zero would never end, a FIFO would hold the
// session until a writer came (O_NONBLOCK keeps the open itself from
// waiting), and neither is a script. nullptr with the reason in *why.
FILE *open_script(const char *path, const char **why)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else {
        const int flags = fcntl(fd, F_GETFL);
        FILE *f = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "r") : nullptr;
        if (f != nullptr)
            return f;
        *why = strerror(errno);
    }
    close(fd);
    return nullptr;
}

enum class script_line { line, too_long, end };

// The next line into buf (SH_LINE_SIZE bytes) without its LF, and its length
// in *len. A line longer than SOURCE_LINE_MAX is read to its end without
// being kept: a file of one endless line costs one buffer.
script_line read_script_line(FILE *f, char *buf, size_t *len)
{
    size_t n = 0;
    int c = getc_unlocked(f);
    if (c == EOF)
        return script_line::end;
    for (; c != EOF && c != '\n'; c = getc_unlocked(f)) {
        if (n < SOURCE_LINE_MAX)
            buf[n] = static_cast<char>(c);
        n++;
    }
    *len = n;
    if (n > SOURCE_LINE_MAX)
        return script_line::too_long;
    buf[n] = '\0';
    return script_line::line;
}

// Why the lines of a "source" must stop, or nullptr while they may go on.
const char *source_stop_reason(sh_ctx *ctx)
{
    if (__atomic_load_n(&ctx->exit_flag, __ATOMIC_ACQUIRE) != 0)
        return "the session has ended";
    if (std::atomic_ref<uint32_t>(g_app.stopped).load() != 0)
        return "the service is stopping";
    return ctx->ended != nullptr ? ctx->ended(ctx->out) : nullptr;
}

int no_end_mark(void *) { return 0; }

// While a file runs, its commands' end marks are dropped: the output of
// every level reaches the reply of the one line that ran "source".
struct end_marks_held {
    sh_ctx *ctx;
    int (*mark)(void *out);
    explicit end_marks_held(sh_ctx *c) : ctx(c), mark(c->flush) { c->flush = no_end_mark; }
    ~end_marks_held() { ctx->flush = mark; }
    end_marks_held(const end_marks_held &) = delete;
    end_marks_held &operator=(const end_marks_held &) = delete;
};

// Runs every line of one file; -1 when it cannot be opened, nests too deep
// or was stopped. Only the outermost level says why it stopped.
int source_file(sh_ctx *ctx, const char *path)
{
    if (t_source_depth >= SOURCE_MAX_DEPTH) {
        ctx->printf(ctx->out, "source: [%s] nested deeper than %d, not run\n", path, SOURCE_MAX_DEPTH);
        return -1;
    }
    const char *why = nullptr;
    FILE *f = open_script(path, &why);
    if (f == nullptr) {
        ctx->printf(ctx->out, "open:[%s] error:%s\n", path, why);
        return -1;
    }
    const std::unique_ptr<char[]> line(new (std::nothrow) char[SH_LINE_SIZE]);
    const char *stopped = line == nullptr ? "out of memory" : nullptr;
    {
        const end_marks_held held(ctx);
        t_source_depth++;
        size_t len = 0;
        script_line got = script_line::end;
        while (stopped == nullptr && (got = read_script_line(f, line.get(), &len)) != script_line::end) {
            if (got == script_line::too_long)
                ctx->printf(ctx->out, "error: command line too long (%zu bytes, at most %zu)\n", len, SOURCE_LINE_MAX);
            else if (line[std::strspn(line.get(), " \t\r\v\f")] != '\0')
                exec_commands(ctx, line.get());
            stopped = source_stop_reason(ctx);
        }
        t_source_depth--;
    }
    fclose(f);
    if (stopped != nullptr && t_source_depth == 0)
        ctx->printf(ctx->out, "source: [%s] stopped: %s\n", path, stopped);
    return stopped != nullptr ? -1 : 0;
}

int cmd_source(sh_ctx *ctx, int argc, char **argv)
{
    bool help = wants_help(ctx, argc, argv);
    if (help || ctx->opt.optind >= argc) {
        ctx->printf(ctx->out, "source [opt] [file]...\n%s\n-h: Display this help\n", libsh_cmd_help_text("source"));
        return help ? 0 : 1;
    }
    for (int i = ctx->opt.optind; i < argc; i++) {
        if (source_file(ctx, argv[i]) != 0)
            return -1;
    }
    return 0;
}

// "help exit" runs "exit -h": it must print and stop nothing.
int cmd_exit(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "exit", "exit");
    ctx->flush(ctx->out);
    int (*proc)() = sh_imp::exit_proc();
    if (proc != nullptr)
        proc();
    ctx->exit_flag = 1;
    return 0;
}

int cmd_quit(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "quit", "quit");
    ctx->flush(ctx->out);
    ctx->exit_flag = 1;
    return 0;
}

int cmd_help(sh_ctx *ctx, int argc, char **argv)
{
    const sh_cmd *row = argc >= 2 ? libsh_cmd_find(argv[1]) : nullptr;
    if (row != nullptr) {
        char line[512];
        str_sprintf_s2(line, sizeof(line), "%s -h", argv[1]);
        int n = 0;
        char **words = sh_imp::split_words(line, &n);
        if (words == nullptr)
            return 1;
        sh_getopt_reset(&ctx->opt);
        row->handler(ctx, n, words);
        os_free(words);
        return 0;
    }
    std::string text = sh_imp::help_rows();
    text += "\nFor more information, type 'help command' for each command.\n";
    text += "e.g. help pwd\n";
    put_text(ctx, text);
    return 0;
}

// Changes directory and remembers the old one as OLDPWD.
int change_dir(sh_ctx *ctx, const char *path)
{
    char old[4096];
    if (getcwd(old, sizeof(old)) == nullptr) {
        ctx->printf(ctx->out, "getcwd err: [%s]\n", strerror(errno));
        return -1;
    }
    if (os_chdir(path) != 0) {
        ctx->printf(ctx->out, "cd: %s err: [%s]\n", path, strerror(errno));
        return -1;
    }
    sh_setenv("OLDPWD", old);
    return 0;
}

// Values shown with single quotes only when they hold a blank, tab or ";".
std::string quoted(const char *value)
{
    if (std::strpbrk(value, " \t;") == nullptr)
        return value;
    return std::string("'") + value + "'";
}

std::string duration(double seconds)
{
    char buf[128];
    return str_fmt_duration(buf, sizeof(buf), seconds);
}

char *info_get()
{
    char os_info[1024] = "";
    os_get_info(os_info, sizeof(os_info));
    std::string t;
    t += std::string("ver=") + (g_app.app_ver != nullptr ? g_app.app_ver : "") + "\n";
    t += "ver_date=" + quoted(g_app.app_ver_date != nullptr ? g_app.app_ver_date : "") + "\n";
    t += "start_time=" + quoted(duration(static_cast<double>(os_tick_ms() - g_app.start_tick) / 1000.0).c_str()) + "\n";
    t += std::string("is_root=") + (os_is_root() ? "1" : "0") + "\n";
    t += std::string("log_level=") + log2_get_level_str(nullptr) + "\n";
    // The binary-record pipe server is not part of this system: its name is empty.
    t += "bsv_pipe_name=\n";
    t += "cpu_endian=little\n";
    t += "os_info=" + quoted(os_info) + "\n";
    t += std::string("hw_info=") + os_host_id_str() + "\n";
    t += "os_start_time=" + quoted(duration(static_cast<double>(os_tick_ms()) / 1000.0).c_str()) + "\n";
    return safe_strdup(t.c_str());
}

char *memory_get() { return safe_strdup(""); }
char *llog_get()
{
    char recent[LOG2_RECENT_SIZE];
    log2_get_recent(nullptr, recent, sizeof(recent));
    return safe_strdup(recent);
}

char *dvar_get()
{
    guard g(sh_imp::lock());
    return dvar_mgr_dump(sh_imp::dvars());
}

// Ends the process as a segmentation fault on this thread would: the panic
// handler logs it and ends with 254, or a core is written.
[[noreturn]] void fault_path()
{
    for (;;)
        raise(SIGSEGV);
}

int panic_thread(void *)
{
    ZLOG_DBG("==>\n");
    fault_path();
}

int stack_over_thread(void *)
{
    ZLOG_DBG("stack_size=%d n_size=%d\n", 262144, 221184);
    ZLOG_DBG("<==\n");
    return 0;
}

int call_kill(sh_ctx *ctx, int, char **)
{
    ZLOG_WARN("user req exit!!\n");
    ctx->flush(ctx->out);
    // From a TCP session the console may be waiting for a key in raw mode.
    ledit_term_exit();
    os_process_exit(0);
}

int call_null(sh_ctx *ctx, int, char **)
{
    ZLOG_WARN("user req null=0 !!\n");
    ctx->flush(ctx->out);
    fault_path();
}

int start_detached(const char *name, os_thread_proc proc)
{
    os_thread *t = os_thread_init(name, proc, nullptr, 0);
    if (t != nullptr)
        os_thread_release(t);
    return 0;
}

int call_thread_except(sh_ctx *ctx, int, char **)
{
    ZLOG_WARN("test thread_panic\n");
    ctx->flush(ctx->out);
    return start_detached("panic_thread", panic_thread);
}

int call_stack_over(sh_ctx *ctx, int, char **)
{
    ZLOG_WARN("stack_over pass!\n");
    ctx->flush(ctx->out);
    return start_detached("stack_over", stack_over_thread);
}

int call_tlog(sh_ctx *ctx, int, char **)
{
    ZLOG_VERB("log_verb\n");
    ZLOG_DBG("log_debug\n");
    ZLOG_INFO("log_info\n");
    ZLOG_NOTI("log_notice\n");
    ZLOG_WARN("log_warn\n");
    ZLOG_ERR("log_error\n");
    ZLOG(LOG2_CRIT | LOG2_F_NOEXIT, "log_crit2\n");
    ctx->flush(ctx->out);
    return 0;
}

rvar g_rvars[] = {
    {"info", "View program running global info", info_get},
    {"memory", "View program memory stats", memory_get},
    {"llog", "show last log", llog_get},
    {"dvar", "View program Dynamic variable", dvar_get},
};

fvar g_fvars[] = {
    {"kill", "Execute exit() to exit the process", call_kill},
    {"null", "null memory access exception", call_null},
    {"thread_except", "Thread exception handling test", call_thread_except},
    {"stack_over", "Test thread stack exceeded limit", call_stack_over},
    {"tlog", "Test All log level output", call_tlog},
};

}  // namespace

int sh_imp::plain_usage(sh_ctx *ctx, const char *synopsis, const char *cmd)
{
    ctx->printf(ctx->out, "%s\n%s\n\t-h Display this help\n", synopsis, libsh_cmd_help_text(cmd));
    return 0;
}

const sh_cmd g_sh_builtin_cmds[] = {
    {"show", cmd_show, sh_complete_show, "Show the status of the program"},
    {"set", cmd_set, sh_complete_set, "Set public options"},
    {"call", cmd_call, sh_complete_call, "call application commands"},
    {"pwd", cmd_pwd, nullptr, "Print working directory"},
    {"alias", cmd_alias, nullptr, "Define or display alias"},
    {"unalias", cmd_unalias, nullptr, "Delete the alias set by alias"},
    {"unset", cmd_unset, nullptr, "Cancel environment variable"},
    {"echo", cmd_echo, nullptr, "Echo the STRING(s) to output"},
    {"env", cmd_env, nullptr, "Display all variables"},
    {"source", cmd_source, nullptr, "Exec commands from file"},
    {"exit", cmd_exit, nullptr, "Exit the service program"},
    {"quit", cmd_quit, nullptr, "Quit the current session"},
    {"help", cmd_help, nullptr, "Display this text"},
    {"?", cmd_help, nullptr, "Synonym for `help'"},
    {nullptr, nullptr, nullptr, nullptr},
};

int rvar_init()
{
    for (rvar &v : g_rvars)
        libsh_rvar_add(&v);
    return 0;
}

int fvar_init()
{
    for (fvar &v : g_fvars)
        libsh_fvar_add(&v);
    return 0;
}

int cmd_cd(sh_ctx *ctx, int argc, char **argv)
{
    if (wants_help(ctx, argc, argv))
        return sh_imp::plain_usage(ctx, "cd [directory]", "cd");
    int n = argc - ctx->opt.optind;
    if (n > 1) {
        ctx->printf(ctx->out, "cd: too many arguments\n");
        return -1;
    }
    std::string target;
    const char *arg = n == 1 ? argv[ctx->opt.optind] : nullptr;
    if (arg == nullptr || std::strcmp(arg, "--") == 0) {
        // Without HOME in the environment copy there is nowhere to go: nothing changes.
        if (!sh_imp::getenv_copy("HOME", target))
            return arg == nullptr ? 0 : -1;
        int rc = change_dir(ctx, target.c_str());
        return arg == nullptr ? 0 : rc;
    }
    if (std::strcmp(arg, "-") == 0) {
        if (!sh_imp::getenv_copy("OLDPWD", target)) {
            ctx->printf(ctx->out, "cd: OLDPWD not set\n");
            return -1;
        }
        return change_dir(ctx, target.c_str());
    }
    return change_dir(ctx, arg);
}
