// The daemon's command line, its configuration keys and its configuration text.
#define ZLOG_TAG "main"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libconf/conf.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/os/os_init.h"
#include "libpal/os/os_opt.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_tools.h"
#include "libpal/tframe/app.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/zlog.h"
#include "libnbd/nbdsrv.h"
#include "opt/zorv/zorv.h"

namespace {

constexpr const char *k_usage =
    "Usage: zorv [opt] [arguments] ...\n"
    "\t-c [config_file]  set config file\n"
    "\t-p dump current config\n"
    "\t-s [list|key=val] Set configuration options\n"
    "\t-e [\"cmd;...\"] execute string 'cmd'\n"
    "\t-v show version\n"
    "\t-q Do not display the startup banner and copyright message\n"
    "\t-d Run as a daemon\n"
    "\t-o [log_file]     set output log file\n"
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
    "\t-h display this help\n";

constexpr size_t k_quote_size = 4096;

[[noreturn]] void usage_exit(int status)
{
    app_baner();
    fputs(k_usage, stderr);
    os_process_exit(status);
}

// A text key into a heap slot of the run options.
void read_text(conf_handle *conf, const char *path, char **slot)
{
    app_opt_str_set(slot, conf_get_path_str(conf, path, ""));
}

// A port key. A text that is no number (or one beyond any int) is refused
// aloud as written and gives 0: the listener is then not started, and no
// later message names a number that was never written. A number outside the
// ports is left to the listener's start, which names it.
int read_port(conf_handle *conf, const char *section, const char *key, int def, const char *then)
{
    char path[64];
    snprintf(path, sizeof(path), "%s:%s", section, key);
    int port = 0;
    if (conf_get_path_int_chk(conf, path, def, INT_MIN, INT_MAX, &port) == 0)
        return port;
    conf_refuse(conf, section, key, then);
    return 0;
}

// The configured word, read as a boolean word; anything else keeps exports
// read-only.
int read_readonly(conf_handle *conf)
{
    const char *word = conf_get_path_str(conf, "zorv:nbd_readonly", "true");
    const int value = str_to_bool(word);
    if (value < 0) {
        ZLOG_WARN("error: nbd_readonly=%s [true | false]\n", word);
        return 1;
    }
    return value;
}

const char *quoted(const char *text, char *out)
{
    return str_quote_sq(text != nullptr ? text : "", out, k_quote_size);
}

}  // namespace

const char *listen_addr(const char *configured)
{
    return configured != nullptr && configured[0] != '\0' ? configured : "127.0.0.1";
}

int app_opt_parse(int argc, char **argv)
{
    // "+": options end at the first argument that is none, as the BSD getopt does.
    int c;
    while ((c = getopt(argc, argv, "+c:o:n:l:dqpiue:vhs:w")) != -1) {
        switch (c) {
        case 'c': app_opt_str_set(&g_app_opts.conf_file, optarg); break;
        case 'o': app_opt_str_set(&g_app_opts.log_file, optarg); break;
        case 'n': app_opt_str_set(&g_app_opts.log_target, optarg); break;
        case 'l': app_opt_str_set(&g_app_opts.log_level, optarg); break;
        case 'd': g_app_opts.daemon = 1; break;
        case 'q': g_app_opts.quiet = 1; break;
        case 'p': g_app_opts.dump = 1; break;
        case 'e': app_opt_str_set(&g_app_opts.cmds, optarg); break;
        // A mistyped key or value must not start a daemon with settings
        // other than the ones asked for.
        case 's':
            if (os_opt_kv_get(g_app_opts.kv, optarg) != 0)
                os_process_exit(1);
            break;
        case 'v':
            printf("%s\n", g_app.app_ver);
            os_process_exit(0);
        case 'h': usage_exit(0);
        default: usage_exit(1);
        }
    }
    return 0;
}

int app_conf_file_init(const char *path)
{
    conf_handle *h = app_conf();
    if (h == nullptr) {
        ZLOG_DBG("load [%s] error\n", path != nullptr ? path : "");
        return -1;
    }
    g_nbd_settings.port = read_port(h, "zorv", "nbd_server_port", 10809, "not a port (1-65535); nothing is served");
    // A missing or empty address is the loopback address (listen_addr).
    read_text(h, "zorv:nbd_server_addr", &g_nbd_settings.addr);
    g_nbd_settings.readonly = read_readonly(h);
    g_app_opts.shell_port = static_cast<uint32_t>(
        read_port(h, "debug", "shell_server_port", 0, "not a port (1-65535, 0: off); the debug shell stays off"));
    read_text(h, "debug:shell_server_addr", &g_app_opts.shell_addr);
    g_app_opts.http_port = static_cast<uint32_t>(
        read_port(h, "debug", "http_server_port", 0, "not a port (1-65535, 0: off); the web tool stays off"));
    read_text(h, "debug:http_server_addr", &g_app_opts.http_addr);
    read_text(h, "debug:http_server_user", &g_app_opts.http_user);
    read_text(h, "debug:http_server_pwd", &g_app_opts.http_pwd);
    read_text(h, "debug:panic_dump_dir", &g_app_opts.panic_dump_dir);
    return 0;
}

char *app_conf_show()
{
    str_buf *sb = str_buf_new();
    if (sb == nullptr)
        return nullptr;
    const std::unique_ptr<char[]> q(new (std::nothrow) char[k_quote_size]);
    if (!q) {
        str_buf_free(sb);
        return nullptr;
    }
    str_buf_appendf(sb, "nbd_server_port=%d\n", g_nbd_settings.port);
    str_buf_appendf(sb, "nbd_server_address=%s\n", quoted(listen_addr(g_nbd_settings.addr), q.get()));
    str_buf_appendf(sb, "http_server_port=%d\n", static_cast<int>(g_app_opts.http_port));
    str_buf_appendf(sb, "http_server_addr=%s\n", quoted(listen_addr(g_app_opts.http_addr), q.get()));
    str_buf_appendf(sb, "debug_server_port=%d\n", static_cast<int>(g_app_opts.shell_port));
    str_buf_appendf(sb, "debug_server_addr=%s\n", quoted(listen_addr(g_app_opts.shell_addr), q.get()));
    str_buf_appendf(sb, "panic_dump_dir=%s\n", quoted(g_app_opts.panic_dump_dir, q.get()));
    if (char *log = log2_info_dump(nullptr); log != nullptr) {
        str_buf_append_str(sb, log);
        os_free(log);
    }
    return str_buf_detach_nonnull(sb);
}
