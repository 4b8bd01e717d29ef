// Application frame: the reusable start-up and shutdown of a program. The
// program's main fills g_app (app_desc.h) and g_app_opts, then calls
// app_init, runs its service, and calls app_exit. app_init starts the
// platform, names the main thread, runs the program's hooks in a fixed order,
// finds the configuration file (a relative -c or -o is taken from the
// starting directory; only a regular file that can be read is used, else a -c
// file is warned about with its reason, before anything can end the start,
// and the default name is tried), reads it once (app_conf), applies the log
// level and the -s keys, prints the banner and takes one of four
// roads: print the configuration, run a console script or send commands to a
// running instance (each ends the process with status 0; 1 when the commands
// reached no instance), or the normal start (instance check, then the log
// sinks, root warning, panic dump directory, optional detaching, and the
// thread that runs the stop hook on a stop signal). Only the normal start
// opens log sinks. Runs on the main
// thread; texts in g_app_opts are heap copies that app_exit frees.
#pragma once

#include <cstdint>

struct os_opt_kv;
struct conf_handle;

struct app_run_opts {
    os_opt_kv *kv;          // the keys -s may set; nullptr: none
    char *conf_file;        // -c, else computed by app_opt_set
    char *log_level;        // -l
    char *log_file;         // -o
    char *log_target;       // -n (syslog URL)
    uint32_t daemon;        // -d
    uint32_t quiet;         // -q: no banner on standard error
    uint32_t dump;          // -p
    uint32_t root_required; // warn when not running as root
    uint32_t log_cmdline;   // log the command line with a logged banner
    uint32_t log_banner;    // log the banner also without -d
    uint32_t move_to_exe_dir;
    char *cmds;             // -e
    char *script;           // a console script for shell_stdio_loop
    uint32_t shell_port;    // debug shell; 0 off
    char *shell_addr;       // nullptr or empty: the program chooses
    char *connect_addr;     // the first argument of shell_connet_cmd
    uint32_t http_port;     // debug web tool; 0 off
    char *http_addr;
    char *http_user;
    char *http_pwd;
    char *panic_dump_dir;   // made absolute by app_opt_set
};

extern app_run_opts g_app_opts;

// Start-up up to the program's own service. The dump, script and commands
// roads and a failed instance check end the process inside it.
void app_init(int argc, char **argv);
// The part of start-up after option parsing; called by app_init when
// opt_parse_proc is set. 0.
int app_opt_set();
// Prints the banner on standard error (unless quiet). The normal start logs
// it, with -d or the log banner option, once the log sinks are open.
void app_baner();
// Shutdown once the service has ended: lib_exit_proc, the option texts, the
// thread name, the platform. Runs once; a second caller (a stop signal
// during a console "exit") waits until the first has finished.
void app_exit();
// The configuration file chosen at start, read once by app_opt_set; nullptr
// when none could be read. The frame owns it until app_exit. The hooks and
// the program read their settings from it: reading the file again would
// report each of its errors again.
conf_handle *app_conf();
// Replaces *slot by a heap copy of text (nullptr clears it), freeing the old.
void app_opt_str_set(char **slot, const char *text);
