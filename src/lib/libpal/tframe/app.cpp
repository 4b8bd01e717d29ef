// The application frame.
#define ZLOG_TAG "pal"

#include "libpal/tframe/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "libconf/conf.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_hostid.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_opt.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_time_str.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/os/posix/os_pid.h"
#include "libpal/string/path.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/zlog.h"

app_run_opts g_app_opts = {};

namespace {

constexpr size_t k_path_size = 4096;
constexpr size_t k_dump_dir_size = 8192;
constexpr size_t k_banner_size = 256;
constexpr size_t k_env_size = 256;

// 0 not run, 1 running, 2 done.
std::atomic<int> s_exit_state{0};

void check_set(const void *field, const char *expr)
{
    if (field == nullptr)
        ZLOG_ERR("expr[%s]: assert failed\n", expr);
}

void set_pid_env()
{
    os_setenv_fmt("pid", "%u", static_cast<unsigned>(getpid()));
}

// Each argument followed by a blank, one that holds a blank in double
// quotes; what does not fit in the field is cut.
void record_cmdline(int argc, char **argv)
{
    char *out = g_app.cmdline;
    const size_t size = sizeof(g_app.cmdline);
    out[0] = '\0';
    for (int i = 0; i < argc && argv[i] != nullptr; i++) {
        const bool quote = strchr(argv[i], ' ') != nullptr;
        const size_t used = strlen(out);
        str_sprintf_s2(out + used, size - used, quote ? "\"%s\" " : "%s ", argv[i]);
    }
}

// The executable's directory without its trailing "/".
void exe_dir(char *out, size_t size)
{
    out[0] = '\0';
    os_exe_get_dir(out, size);
    const size_t n = strlen(out);
    if (n > 1 && out[n - 1] == '/')
        out[n - 1] = '\0';
}

// The configuration file chosen at start, read once: every reader takes its
// settings from this handle, so each error in the file is reported once.
using conf_owner = std::unique_ptr<conf_handle, decltype(&conf_close)>;
conf_owner s_conf(nullptr, conf_close);

// The logger's level and flags, from the file's [log] section and -l: all
// that a process needs that serves nothing. Such a process (-p, -e, -h, -v,
// a start the instance check refuses) opens no log sink: opening a running
// daemon's log file would truncate, rotate or delete it under it.
void apply_log_level()
{
    log2_ioctl(nullptr, LOG2_CMD_LEVEL_STR, "info", -1);
    log2_ioctl(nullptr, LOG2_CMD_FLAGS_STR, "time|tid|func", -1);
    if (s_conf)
        log2_conf_apply(nullptr, s_conf.get(), nullptr, LOG2_CONF_FORMAT);
    if (g_app_opts.log_level != nullptr)
        log2_ioctl(nullptr, LOG2_CMD_LEVEL_STR, g_app_opts.log_level, -1);
}

// The serving process's log sinks: the [log] section's file, syslog and
// collector (the level is in force already), then -o and -n.
void open_log_sinks()
{
    log2_init_conf(s_conf.get(), nullptr, LOG2_CONF_SINKS);
    if (g_app_opts.log_file != nullptr) {
        log2_ioctl(nullptr, LOG2_CMD_FILE_OPEN, g_app_opts.log_file, -1);
        log2_ioctl(nullptr, LOG2_CMD_FILE_ON, reinterpret_cast<const void *>(intptr_t{1}), -1);
    }
    if (g_app_opts.log_target != nullptr) {
        log2_ioctl(nullptr, LOG2_CMD_SYSLOG_URL, g_app_opts.log_target, -1);
        log2_ioctl(nullptr, LOG2_CMD_SYSLOG_ON, reinterpret_cast<const void *>(intptr_t{1}), -1);
    }
    // The sinks have written what was logged before they opened (warnings
    // from reading the configuration): it need not be kept any longer.
    log2_ioctl(nullptr, LOG2_CMD_EARLY_END, nullptr, 0);
}

// Why a configuration file cannot be used, or nullptr when it can: only a
// regular file the process may read. A FIFO would hold the start-up for ever,
// and a directory or a device is no configuration; none of them is opened.
const char *conf_file_unusable(const char *path, char *why, size_t size)
{
    struct stat st;
    if (stat(path, &st) != 0 || access(path, R_OK) != 0) {
        str_safecopy(why, size, strerror(errno));
        return why;
    }
    if (!S_ISREG(st.st_mode)) {
        str_safecopy(why, size, "not a regular file");
        return why;
    }
    return nullptr;
}

// A relative path an option names is taken from the directory the
// operator started the program in, before it moves into its own directory.
// One that cannot be joined is kept as given.
void from_start_dir(char **slot)
{
    if (*slot == nullptr || path_is_absolute(*slot))
        return;
    char cwd[k_path_size];
    char full[k_dump_dir_size];
    if (getcwd(cwd, sizeof(cwd)) != nullptr && path_build2(full, sizeof(full), cwd, *slot)[0] != '\0')
        app_opt_str_set(slot, full);
}

void banner_text(char *out, size_t size)
{
    str_sprintf_s(out, size, "%s-%s-%s v%s (%s) - %s", g_app.app_name, g_app.os, g_app.arch, g_app.app_ver,
                  g_app.app_ver_date, g_app.app_desc);
}

// In the serving process, once its sinks are open: the banner and the command
// line in the log, with -d or the log banner option.
void log_banner()
{
    if (g_app_opts.daemon == 0 && g_app_opts.log_banner == 0)
        return;
    char banner[k_banner_size];
    banner_text(banner, sizeof(banner));
    ZLOG_DBG("%s\n", banner);
    if (g_app_opts.log_cmdline != 0)
        ZLOG(LOG2_DBG | LOG2_F_NET, "cmdline=[%s] os=[%s]\n", g_app.cmdline, os_host_info_str());
}

[[noreturn]] void road_dump()
{
    if (g_app.conf_dump_proc == nullptr) {
        ZLOG_ERR("g_app.conf_dump_proc = NULL!\n");
    } else if (char *text = g_app.conf_dump_proc(); text != nullptr) {
        printf("%s", text);
        os_free(text);
    }
    os_process_exit(0);
}

[[noreturn]] void road_script()
{
    check_set(reinterpret_cast<const void *>(g_app.shell_stdio_loop), "g_app.shell_stdio_loop!=NULL");
    if (g_app.shell_stdio_loop != nullptr)
        g_app.shell_stdio_loop(g_app_opts.script);
    os_process_exit(0);
}

[[noreturn]] void road_commands()
{
    if (os_getenv_int("QD_SH_DBG") == 0)
        log2_ioctl(nullptr, LOG2_CMD_CONSOLE_ON, reinterpret_cast<const void *>(intptr_t{0}), -1);
    check_set(reinterpret_cast<const void *>(g_app.shell_connet_cmd), "g_app.shell_connet_cmd!=NULL");
    // A shell that cannot be reached is a failure, not an empty answer.
    int rc = -1;
    if (g_app.shell_connet_cmd != nullptr)
        rc = g_app.shell_connet_cmd(g_app_opts.connect_addr, g_app_opts.shell_port, g_app_opts.cmds);
    os_process_exit(rc == 0 ? 0 : 1);
}

void road_start(const char *dir)
{
    // From here the libraries start no thread that would be running when
    // the daemon forks: they start it in the detached process.
    if (g_app_opts.daemon != 0)
        os_daemon_expect();
    if (g_app.pre_start_proc != nullptr)
        g_app.pre_start_proc();
    if (g_app.check_instance_proc != nullptr && g_app.check_instance_proc() < 0)
        os_process_exit(1);
    open_log_sinks();
    log_banner();
    if (g_app_opts.root_required != 0 && !os_is_root())
        ZLOG_WARN("%s privileges are required to run the program\n", "root");
    char *dump = g_app_opts.panic_dump_dir;
    if (dump != nullptr && dump[0] != '\0' && !path_is_absolute(dump)) {
        char full[k_dump_dir_size];
        str_sprintf_s(full, sizeof(full), "%s%c%s", dir, '/', dump);
        app_opt_str_set(&g_app_opts.panic_dump_dir, full);
    }
    os_painc_set_dump_dir(g_app_opts.panic_dump_dir, g_app.app_name);
    const char *ready = g_app_opts.quiet == 0 ? "daemon startup is complete, press any key to continue\n" : nullptr;
    if (g_app_opts.daemon != 0) {
        // -d promises a detached daemon or status 1, never a foreground one.
        if (os_daemonize(ready) != 0)
            os_process_exit(1);
        os_thread_name_set("main");
        set_pid_env();
    }
    // Stop signals reach the stop hook through a thread of this, the final,
    // process: started here, after detaching.
    os_panic_start_stop_thread();
}

}  // namespace

conf_handle *app_conf()
{
    return s_conf.get();
}

void app_opt_str_set(char **slot, const char *text)
{
    char *copy = text != nullptr ? safe_strdup(text) : nullptr;
    os_free(*slot);
    *slot = copy;
}

void app_init(int argc, char **argv)
{
    pl_init();
    os_thread_name_set("main");
    char now[k_env_size];
    os_now_cstr(OS_TIME_DIGITS, now, sizeof(now));
    os_setenv("proc_start_time", now, 1);
    set_pid_env();
    if (g_app.lib_init_proc != nullptr)
        g_app.lib_init_proc();
    if (argv != nullptr)
        record_cmdline(argc, argv);
    if (g_app.opt_parse_proc != nullptr) {
        g_app.opt_parse_proc(argc, argv);
        app_opt_set();
    }
}

int app_opt_set()
{
    check_set(g_app.app_name, "g_app.app_name!=NULL");
    check_set(g_app.app_desc, "g_app.app_desc!=NULL");
    check_set(g_app.app_ver, "g_app.app_ver!=NULL");
    check_set(g_app.app_ver_date, "g_app.app_ver_date!=NULL");

    const bool named = g_app_opts.conf_file != nullptr;
    from_start_dir(&g_app_opts.conf_file);
    from_start_dir(&g_app_opts.log_file);
    char dir[k_path_size];
    exe_dir(dir, sizeof(dir));
    if (g_app_opts.move_to_exe_dir != 0 && os_chdir(dir) != 0)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_chdir(%s) error: ", dir);

    if (!named) {
        check_set(g_app.app_conf_file, "g_app.app_conf_file!=NULL");
        char path[k_path_size];
        str_sprintf_s(path, sizeof(path), "%s%c%s", dir, '/', g_app.app_conf_file != nullptr ? g_app.app_conf_file : "");
        app_opt_str_set(&g_app_opts.conf_file, path);
    }
    // A file that cannot be used falls back to the default name; one that
    // was not named is no news. The default file is checked the same way.
    char why[k_banner_size];
    char fallback_said[k_path_size] = "";
    if (conf_file_unusable(g_app_opts.conf_file, why, sizeof(why)) != nullptr) {
        const char *fallback = g_app.app_conf_file != nullptr ? g_app.app_conf_file : "";
        if (named)
            str_sprintf_s(fallback_said, sizeof(fallback_said), "config file %s cannot be read (%s): Load default %s",
                          g_app_opts.conf_file, why, fallback);
        app_opt_str_set(&g_app_opts.conf_file, fallback);
        if (conf_file_unusable(fallback, why, sizeof(why)) != nullptr)
            app_opt_str_set(&g_app_opts.conf_file, nullptr);
    }
    s_conf.reset(g_app_opts.conf_file != nullptr ? conf_load(g_app_opts.conf_file) : nullptr);
    apply_log_level();
    // Said before anything can end the start (the instance check among
    // them): the settings that follow are not the ones the operator asked
    // for. A serving process's sinks get it once they open.
    if (fallback_said[0] != '\0')
        ZLOG_WARN("%s\n", fallback_said);
    if (g_app.conf_load_proc != nullptr)
        g_app.conf_load_proc(g_app_opts.conf_file != nullptr ? g_app_opts.conf_file : "");
    if (g_app_opts.kv != nullptr) {
        os_opt_kv_apply(g_app_opts.kv);
        os_opt_kv_free(g_app_opts.kv);
    }
    app_baner();

    if (g_app_opts.dump != 0)
        road_dump();
    if (g_app_opts.script != nullptr)
        road_script();
    if (g_app_opts.cmds != nullptr)
        road_commands();
    road_start(dir);
    return 0;
}

void app_baner()
{
    if (g_app_opts.quiet == 0) {
        char banner[k_banner_size];
        banner_text(banner, sizeof(banner));
        fprintf(stderr, "%s\n", banner);
        if (g_app.copyright != nullptr)
            fprintf(stderr, "%s\n", g_app.copyright);
        fflush(stderr);
    }
}

void app_exit()
{
    int expected = 0;
    if (!s_exit_state.compare_exchange_strong(expected, 1)) {
        s_exit_state.wait(1);
        return;
    }
    if (g_app.lib_exit_proc != nullptr)
        g_app.lib_exit_proc();
    s_conf.reset();
    for (char **slot : {&g_app_opts.conf_file, &g_app_opts.log_file, &g_app_opts.log_target, &g_app_opts.log_level,
                        &g_app_opts.cmds, &g_app_opts.connect_addr, &g_app_opts.shell_addr, &g_app_opts.http_user,
                        &g_app_opts.http_pwd, &g_app_opts.http_addr, &g_app_opts.panic_dump_dir, &g_app_opts.script})
        app_opt_str_set(slot, nullptr);
    os_thread_name_del();
    pl_exit();
    s_exit_state.store(2);
    s_exit_state.notify_all();
}
