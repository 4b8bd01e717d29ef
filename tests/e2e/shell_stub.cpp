// A stand-in for the daemon's shell side, for the end-to-end shell tests
// until the daemon serves its debug shell: it takes the daemon's options
// -q, -s debug_server_port=N (other -s keys ignored) and -e "cmd;...", registers
// what the daemon registers (show-values "config" and "block", the
// set-variable "nbd_readonly_flag", the alias "sb", the stop sequence as exit
// hook), serves the TCP debug shell on 127.0.0.1 and runs the console session.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "libdbg/dbg_cli.h"
#include "libdbg/dbg_shell.h"
#include "liblog/log2.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app_desc.h"
#include "libpal/value/var_mgr.h"
#include "libsh/sh_alias.h"

namespace {

int g_readonly = 1;
std::atomic<bool> g_stopping{false};

char *config_get() { return safe_strdup("nbd_readonly=true\n"); }
char *block_get() { return safe_strdup(""); }

rvar g_config{"config", "View configuration parameters", config_get};
rvar g_block{"block", "View system block devices", block_get};
dvar g_readonly_var{"nbd_readonly_flag", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {VALUE_TYPE_PINT, {}}};

// Runs once, on whichever thread asks first.
int stop_server()
{
    if (g_stopping.exchange(true))
        return 0;
    debug_shell_server_exit();
    __atomic_store_n(&g_app.stopped, 1u, __ATOMIC_RELEASE);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    g_app.app_name = "zorv";
    g_app.app_ver = "1.2.3.0";
    g_app.app_ver_date = "2025-2-14";
    pl_init();
    log2_set_level_str(nullptr, "info");
    uint32_t port = 6781;
    const char *cmd = nullptr;
    int c;
    while ((c = getopt(argc, argv, "qs:e:")) != -1) {
        if (c == 's' && std::strncmp(optarg, "debug_server_port=", 18) == 0)
            port = static_cast<uint32_t>(std::atoi(optarg + 18));
        else if (c == 'e')
            cmd = optarg;
    }
    if (cmd != nullptr) {
        dbgcli_local_exec_cmd(nullptr, port, cmd);
        os_process_exit(0);
    }
    libsh_init();
    g_readonly_var.value.v.pint = &g_readonly;
    libsh_rvar_add(&g_config);
    libsh_rvar_add(&g_block);
    libsh_dvar_add(&g_readonly_var);
    alias_set("sb", "show block");
    libsh_set_exit_proc(stop_server);
    debug_shell_param param{"zorv>"};
    debug_shell_init(&param);
    if (debug_shell_server_init("127.0.0.1", port) != 0)
        os_process_exit(255);
    debug_shell_stdio_loop();
    stop_server();
    os_process_exit(0);
}
