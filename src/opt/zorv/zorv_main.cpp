// The zorv daemon: its identity, run options and hooks in the application
// frame, then the frame's start-up, the service and the shutdown.
#include "libdbg/dbg_cli.h"
#include "libdbg/dbg_shell.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_opt.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/tframe/app.h"
#include "libpal/tframe/app_desc.h"
#include "libpal/value/value2.h"
#include "libnbd/nbdsrv.h"
#include "opt/zorv/zorv.h"

namespace {

// The keys "-s key=value" may set, applied over the configuration file.
os_opt_kv s_keys[] = {
    {"nbd_server_port", &g_nbd_settings.port, VALUE_TYPE_INT, nullptr},
    {"nbd_server_address", &g_nbd_settings.addr, VALUE_TYPE_STRING, nullptr},
    {"nbd_readonly_flag", &g_nbd_settings.readonly, VALUE_TYPE_INT, nullptr},
    {"http_server_port", &g_app_opts.http_port, VALUE_TYPE_INT, nullptr},
    {"http_server_addr", &g_app_opts.http_addr, VALUE_TYPE_STRING, nullptr},
    {"debug_server_port", &g_app_opts.shell_port, VALUE_TYPE_INT, nullptr},
    {"debug_server_addr", &g_app_opts.shell_addr, VALUE_TYPE_STRING, nullptr},
    {"daemon_close_all_fd", &g_daemon_close_all_fd, VALUE_TYPE_INT, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void fill_app()
{
    g_app.app_name = "zorv";
    g_app.app_ver = "1.2.3.0";
    g_app.ver = 0x01020300;
    g_app.app_ver_date = "2025-2-14";
    g_app.app_desc = "QALDO Network Block Device Service";
    g_app.copyright = "Copyright (c) 2025 the zorv developers";
    g_app.app_conf_file = "zorv.ini";

    g_app_opts.kv = s_keys;
    g_app_opts.root_required = 1;
    g_app_opts.log_cmdline = 1;
    g_app_opts.log_banner = 0;
    g_app_opts.move_to_exe_dir = 1;
    // In force only when no configuration file loads; their addresses, as
    // every listener's, are the loopback address unless one is named
    // (listen_addr).
    g_app_opts.shell_port = 6781;
    g_app_opts.http_port = 6780;

    g_app.shell_stdio_loop = debug_shell_stdio_script;
    g_app.shell_connet_cmd = dbgcli_local_exec_cmd;
    g_app.opt_parse_proc = app_opt_parse;
    g_app.conf_load_proc = app_conf_file_init;
    g_app.conf_dump_proc = app_conf_show;
    g_app.pre_start_proc = nullptr;
    g_app.check_instance_proc = app_check_instance;
    g_app.user_stop_proc = app_sig_stop_handler;
    g_app.lib_init_proc = app_lib_init;
    g_app.lib_exit_proc = app_lib_exit;
}

}  // namespace

int main(int argc, char **argv)
{
    fill_app();
    app_init(argc, argv);
    const int rc = app_start_server();
    // A console session that ended with "quit" has not stopped the service.
    app_stop_server();
    app_exit();
    // Threads of the platform (the stop thread) still run: no static
    // destructors under them.
    os_process_exit(rc & 0xff);
}
