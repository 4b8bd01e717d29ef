// The application descriptor g_app: one per process. The program's main fills
// its name, version, description and hooks; the platform start-up fills the
// system identity; the application frame records the command line. Written on
// the main thread before other threads start, read everywhere afterwards
// (only the stopped flag is written later).
#pragma once

#include <cstdint>

struct app_desc_info {
    const char *app_name;
    const char *app_ver;
    const char *app_ver_date;
    const char *app_desc;   // one-line description
    const char *copyright;  // may be nullptr
    char cmdline[4096];     // the program's arguments joined by the frame

    // System identity, filled by pl_init.
    const char *os;
    const char *arch;
    uint64_t sid;         // host identifier (first link-layer address)
    uint64_t bid;         // boot identifier; 0
    uint64_t start_tick;  // os_tick_ms at start-up
    char hostname[128];
    uint64_t stime;   // wall-clock seconds at start-up
    uint16_t app_id;  // 0 until the binary-record packet writer derives it from app_name
    uint8_t os_id;
    uint8_t arch_id;

    uint32_t ver;               // packed version: one byte per component, major first
    const char *app_conf_file;  // default configuration file name
    uint32_t stopped;           // set once the program's stop sequence has run
    uint32_t exit_on_stop;      // a stop signal without a stop hook ends the process

    // Hooks; any may be nullptr. Results other than those of conf_dump_proc
    // (a new text the frame frees) and check_instance_proc (negative: the
    // instance check failed) are ignored.
    int (*shell_stdio_loop)(const char *script);
    int (*shell_connet_cmd)(const char *addr, uint32_t port, const char *cmd);
    int (*opt_parse_proc)(int argc, char **argv);
    int (*conf_load_proc)(const char *path);
    char *(*conf_dump_proc)();
    int (*pre_start_proc)();
    int (*check_instance_proc)();
    int (*user_stop_proc)(int signo);
    int (*lib_init_proc)();
    int (*lib_exit_proc)();
};

extern app_desc_info g_app;
