// The daemon's start-up libraries, its instance check, the start and stop of
// its listeners, its main loop and its end on a stop signal.
#define ZLOG_TAG "main"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "libpal/basic/os_sync.h"
#include "libpal/basic/os_thread_name.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_init.h"
#include "libpal/os/posix/os_daemon.h"
#include "libblock/block.h"
#include "libdbg/dbg_http.h"
#include "libdbg/dbg_shell.h"
#include "liblsblk/lsblk.h"
#include "libconf/conf.h"
#include "libvdev/vdev.h"
#include "libpal/value/var_mgr.h"
#include "libsh/libsh.h"
#include "libsh/sh_alias.h"
#include "libnet/libnet.h"
#include "libnet/sock_cli.h"
#include "libpart/libpart.h"
#include "libpal/basic/verr.h"
#include "libpal/network/os_socket.h"
#include "libpal/tframe/app.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/zlog.h"
#include "libnbd/cli_mgr.h"
#include "libnbd/nbdsrv.h"
#include "opt/zorv/zorv.h"

namespace {

constexpr int k_instance_timeout_ms = 1000;
constexpr uint64_t k_loop_step_ms = 1000;
// The stop's wait for debug shell sessions and web requests, all together.
constexpr uint64_t k_debug_stop_ms = 3000;

// 0 not run, 1 running, 2 done.
std::atomic<int> s_stop_state{0};

bool port_in_range(int port)
{
    return port > 0 && port <= 65535;
}

// The address the instance check asks: the one the NBD listener will bind,
// or for a wildcard the loopback address of its family. Another program on
// some other address is nobody's business, and "0.0.0.0" beside "::" on the
// same port is two families, not two instances.
const char *instance_addr(const char *bind_addr)
{
    if (strcmp(bind_addr, "0.0.0.0") == 0)
        return "127.0.0.1";
    if (strcmp(bind_addr, "::") == 0)
        return "::1";
    return bind_addr;
}

// The instance check's connect: true when something accepts on addr:port.
bool instance_answers(const char *addr, int port)
{
    if (!port_in_range(port))
        return false;
    sock_conn_opts opts = {};
    opts.timeout = k_instance_timeout_ms;
    verr err = {};
    const os_socket sock = sock_tcp_connect(addr, static_cast<uint32_t>(port), &opts, &err);
    ZLOG_VERB("sock_connect %s:%d sock=%p\n", addr, port, reinterpret_cast<void *>(sock));
    if (sock == 0)
        return false;
    sock_close(sock);
    return true;
}

// One form for a listener that did not open, on the log's err level (and so
// on standard error, which under -d the waiting parent shows): what it is,
// where, and why.
void listener_failed(const char *what, const char *addr, int port, const char *why, const char *then)
{
    ZLOG_ERR("%s listener [%s]:%d cannot be opened: %s%s\n", what, addr, port, why, then);
}

// The reason of a start that set errno, or one that did not.
const char *errno_reason(int eno)
{
    return eno != 0 ? strerror(eno) : "no reason given";
}

constexpr const char *k_not_a_port = "not a port (1-65535)";
constexpr const char *k_goes_on = "; the service goes on without it";

// A debug listener (web tool, shell) is a help, not the service: one that
// cannot open is reported with its address, port and reason, and start-up
// goes on. Its port is 0 from then on, so the stop leaves it alone. An init
// that gives -2 has refused for its settings and said why itself: no second
// line claims another reason.
constexpr int k_refused_and_said = -2;

void debug_listener_start(const char *what, const char *configured, uint32_t *port, int (*init)(const char *, uint32_t))
{
    if (*port == 0)
        return;
    const char *addr = listen_addr(configured);
    const int wanted = static_cast<int>(*port);
    const char *why = nullptr;
    if (!port_in_range(wanted)) {
        why = k_not_a_port;
    } else {
        errno = 0;
        const int rc = init(addr, *port);
        if (rc == 0)
            return;
        why = rc != k_refused_and_said ? errno_reason(errno) : nullptr;
    }
    if (why != nullptr)
        listener_failed(what, addr, wanted, why, k_goes_on);
    *port = 0;
}

int http_init(const char *addr, uint32_t port)
{
    // Read by the tool while it runs.
    static debug_http_param http = {};
    http = {0, "ZORV Web Debug Tool", g_app_opts.http_user, g_app_opts.http_pwd, "zorv>"};
    debug_http_set_param(&http);
    return debug_http_server_init(addr, port);
}

// The -d loop waits here until the stop sequence has run (the console
// session waits the same way once standard input has ended).
void wait_stopped()
{
    while (std::atomic_ref<uint32_t>(g_app.stopped).load() == 0)
        os_sleep_ms(k_loop_step_ms);
}

rvar s_config_var = {"config", "View configuration parameters", app_conf_show};
rvar s_block_var = {"block", "View system block devices", lsblk_list};
// Only "0" or "1" is taken: the registry refuses any other word, so a typo
// never makes exports writable.
dvar s_readonly_var = {"nbd_readonly_flag", DVAR_TYPE_ENUM, "0|1", nullptr, nullptr, nullptr, {VALUE_TYPE_PINT, {}}};

int app_shell_register()
{
    libsh_rvar_add(&s_config_var);
    libsh_rvar_add(&s_block_var);
    s_readonly_var.value.v.pint = &g_nbd_settings.readonly;
    libsh_dvar_add(&s_readonly_var);
    alias_set("sb", "show block");
    libsh_set_exit_proc(app_stop_server);
    return 0;
}

// The block-driver plug-ins of the section "bd_plugins_load" and the virtual
// devices of the description named by "zorv:vdev_file": each only when the
// configuration names it, before the first client can open anything. Read
// from the configuration the frame read at start, never from the file again.
void optional_drivers_init()
{
    conf_handle *conf = app_conf();
    if (conf == nullptr)
        return;
    if (conf_has_section(conf, "bd_plugins_load"))
        bd_load_conf_plugins_from(conf);
    const char *vdev_file = conf_get_path_str(conf, "zorv:vdev_file", "");
    if (vdev_file[0] != '\0') {
        vdev_init(nullptr);
        if (vdev_init_form_file(vdev_file) != 0)
            ZLOG_ERR("vdev_file=[%s]: no virtual devices\n", vdev_file);
    }
}

}  // namespace

int nbdsrv_start()
{
    cli_mgr_init();
    const char *addr = listen_addr(g_nbd_settings.addr);
    errno = 0;
    if (nbd_start_server(addr, static_cast<uint32_t>(g_nbd_settings.port)) == 0)
        return 0;
    // The socket layer's reason is logged below the default level; the
    // operator (under -d, the waiting parent) needs it.
    listener_failed("NBD", addr, g_nbd_settings.port, errno_reason(errno), "");
    return -1;
}

int nbdsrv_stop()
{
    nbd_stop_server();
    cli_mgr_exit();
    return 0;
}

int app_lib_init()
{
    libsh_init();
    app_shell_register();
    debug_shell_param shell = {"zorv>"};
    debug_shell_init(&shell);
    debug_bsv_pipe_srv_init("zorv");
    nbdsrv_init();
    // "vol_idx" in an export name reaches the partition readers through this.
    libpart_init();
    return 0;
}

int app_lib_exit()
{
    debug_bsv_pipe_srv_exit();
    libsh_exit();
    net_exit();
    bd_exit();
    vdev_exit();
    ZLOG_DBG("<==\n");
    os_thread_name_del();
    log2_exit(nullptr);
    pl_exit();
    return 0;
}

int app_check_instance()
{
    ZLOG_VERB("==>\n");
    const char *addr = instance_addr(listen_addr(g_nbd_settings.addr));
    if (!instance_answers(addr, g_nbd_settings.port))
        return 0;
    // Whatever answers may be another program: the operator is told where.
    const char *open = strchr(addr, ':') != nullptr ? "[" : "";
    const char *close = open[0] != '\0' ? "]" : "";
    ZLOG_ERR("Can only run one instance: %s%s%s:%d already answers\n", open, addr, close, g_nbd_settings.port);
    return -1;
}

int app_start_server()
{
    ZLOG_VERB("==>\n");
    // The debug web server and the debug shell server start here, each only
    // when its port is not 0.
    debug_listener_start("debug web", g_app_opts.http_addr, &g_app_opts.http_port, http_init);
    debug_listener_start("debug shell", g_app_opts.shell_addr, &g_app_opts.shell_port, debug_shell_server_init);
    // A port no socket can have ends start-up rather than being cut to 16
    // bits and opening some other port.
    // Port 0 is none at all: the key said 0, or its text was refused (and
    // said) as no number; either way no other number is named here.
    if (g_nbd_settings.port == 0) {
        ZLOG_ERR("NBD listener not started: no port to listen on (nbd_server_port)\n");
        return -1;
    }
    if (!port_in_range(g_nbd_settings.port)) {
        ZLOG_ERR("nbd_server_port=%d is %s\n", g_nbd_settings.port, k_not_a_port);
        return -1;
    }
    optional_drivers_init();
    if (nbdsrv_start() < 0)
        return -1;
    // Under -d the waiting parent now ends with status 0: a client that
    // connects once it has returned is served.
    os_daemon_ready();
    if (g_app_opts.daemon != 0) {
        ZLOG_DBG("run_as_daemon loop...\n");
        wait_stopped();
    } else {
        debug_shell_stdio_loop();
    }
    ZLOG_VERB("<==\n");
    return 0;
}

int app_stop_server()
{
    ZLOG_DBG("==>\n");
    int expected = 0;
    if (!s_stop_state.compare_exchange_strong(expected, 1)) {
        s_stop_state.wait(1);
        return 0;
    }
    nbdsrv_stop();
    nbdsrv_wait_exit();
    // The debug web server stops after the debug shell server; the waits for
    // their sessions and requests share one bound, whatever they run.
    const uint64_t deadline = os_tick_ms() + k_debug_stop_ms;
    if (g_app_opts.shell_port != 0)
        debug_shell_server_exit_by(deadline);
    if (g_app_opts.http_port != 0)
        dbg_http_server_stop_by(deadline);
    std::atomic_ref<uint32_t>(g_app.stopped).store(1);
    s_stop_state.store(2);
    s_stop_state.notify_all();
    return 0;
}

int app_sig_stop_handler(int signo)
{
    (void)signo;
    ZLOG_DBG("stop_server ==>\n");
    app_stop_server();
    app_exit();
    // The main thread may be blocked reading the console: the exit must not
    // wait on standard input.
    os_process_exit(0);
}
