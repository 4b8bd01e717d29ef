// The debug client of the -e option.
#include "libdbg/dbg_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#define ZLOG_TAG "dbgcli"
#include "liblog/zlog.h"
#include "libnet/sock_cli.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_init.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/tframe/app_desc.h"
#include "libsh/libsh.h"

namespace {

constexpr size_t CLI_LINE_SIZE = 16384;

int print_line(const char *text) { return puts(text); }

bool interactive(const dbgcli_param *p) { return p->cmd == nullptr || std::strcmp(p->cmd, "sh") == 0; }

// The next command into buf; false when the input or the list has ended.
bool next_command(dbgcli_param *p, int *index, char *buf)
{
    buf[0] = '\0';
    if (!interactive(p))
        return dbgsh_field_gets(p->cmd, (*index)++, buf, CLI_LINE_SIZE - 2) > 0;
    if (p->use_ledit != 0)
        return libsh_readline(p->prompt, buf, CLI_LINE_SIZE) >= 0;
    if (p->gets == os_stdin_gets) {
        fputs(p->prompt, stdout);
        fflush(stdout);
    }
    if (p->gets(buf, CLI_LINE_SIZE) == nullptr)
        return false;
    buf[std::strcspn(buf, "\r\n")] = '\0';
    return true;
}

// The pipe named by the URL's path without "/" and "\\".
int pipe_exec_cmd(const url_info &info, dbgcli_param *p)
{
    ZLOG_DBG("open...");
    char name[URL_BUF_SIZE];
    str_safecopy(name, sizeof(name), info.path != nullptr ? info.path : "");
    str_del_chrs(name, "/\\");
    os_name_pipe_cli *cli = os_name_pipe_cli_open(name);
    if (cli == nullptr) {
        std::fprintf(stderr, "cannot reach the debug shell: os_name_pipe_cli_open [%s] error: %s\n", name,
                     std::strerror(errno));
        return -1;
    }
    ZLOG_DBG("open...1");
    net_conn conn{};
    conn.type = NET_PIPE_CLI_TYPE;
    conn.handle = reinterpret_cast<uintptr_t>(cli);
    const int rc = debug_shell_exec_loop(&conn, p);
    os_name_pipe_cli_close(cli);
    return rc;
}

}  // namespace

int dbgsh_field_gets(const char *list, int index, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return 0;
    buf[0] = '\0';
    const char *p = list;
    for (int i = 0; i < index && p != nullptr; i++) {
        p = std::strchr(p, ';');
        if (p != nullptr)
            p++;
    }
    if (p == nullptr)
        return 0;
    size_t n = std::strcspn(p, ";");
    if (n == 0 || n >= size)
        return 0;
    std::memcpy(buf, p, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

int debug_shell_exec_loop(net_conn *conn, dbgcli_param *p)
{
    if (p->gets == nullptr)
        p->gets = os_stdin_gets;
    if (p->print == nullptr)
        p->print = print_line;
    conn->timeout = static_cast<int32_t>(p->timeout != 0 ? p->timeout : DBGCLI_REPLY_TIMEOUT_MS);
    std::vector<char> buf(CLI_LINE_SIZE);
    int index = 0;
    int rc = 0;
    for (;;) {
        p->state = DBGCLI_INPUT;
        if (!next_command(p, &index, buf.data()))
            break;
        str_trim(buf.data());
        if (std::strcmp(buf.data(), "quit") == 0 || std::strcmp(buf.data(), "q") == 0)
            break;
        int32_t len = static_cast<int32_t>(std::strlen(buf.data())) + 1;  // with its NUL
        if (net_write(conn, buf.data(), len) != len) {
            ZLOG_ERR("error: execution command failed\n");
            rc = -1;
            break;
        }
        p->state = DBGCLI_REPLY;
        rc = net_read_str(conn, buf.data(), static_cast<int>(CLI_LINE_SIZE - 1));
        ZLOG_VERB("ret=%d\n", rc);
        if (rc < 0) {
            ZLOG_DBG("read command returns error\n");
            break;
        }
        if (rc == 0) {
            ZLOG_ERR("read command returns timeout\n");
            continue;
        }
        size_t n = std::strlen(buf.data());
        if (n > 0 && buf[n - 1] == '\n')
            buf[n - 1] = '\0';
        if (p->reply != nullptr) {
            str_safecopy(p->reply, p->reply_size, buf.data());
            rc = 0;
            break;
        }
        p->print(buf.data());
        fflush(stdout);
        rc = 0;
    }
    net_close(conn);
    p->state = DBGCLI_DONE;
    return rc;
}

int debug_shell_connet_exec_cmd(const char *host, uint32_t port, dbgcli_param *p)
{
    ZLOG_VERB("ip=%s port=%d cmd=[%s]\n", host, static_cast<int>(port), p->cmd != nullptr ? p->cmd : "");
    sock_conn_opts opts{};
    opts.timeout = DBGCLI_CONNECT_TIMEOUT_MS;
    opts.buf_size = DBGCLI_SOCK_BUF;
    verr err{};
    os_socket sock = sock_tcp_connect(host, port, &opts, &err);
    // Said on standard error whatever the log's console setting: a command
    // that reached no shell must not look like one with an empty answer.
    if (sock == 0) {
        std::fprintf(stderr, "cannot reach the debug shell: sock_connect %s:%u error: %s\n", host, port,
                     verr_msg(&err));
        return -1;
    }
    net_conn conn{};
    conn.type = NET_SOCK_TYPE;
    conn.handle = sock;
    return debug_shell_exec_loop(&conn, p);
}

int dbgcli_exec_cmd(const char *url, const char *cmd, char *reply, size_t reply_size)
{
    url_info info;
    char store[URL_BUF_SIZE];
    if (url == nullptr || url_parser(&info, store, url) != 0) {
        ZLOG_ERR("url_parse error\n");
        return -1;
    }
    dbgcli_param p{};
    if (g_app.app_name != nullptr && g_app.app_name[0] != '\0')
        str_sprintf_s2(p.prompt, sizeof(p.prompt), "%s>", g_app.app_name);
    else
        str_safecopy(p.prompt, sizeof(p.prompt), ">");
    p.cmd = cmd;
    p.reply = reply;
    p.reply_size = reply_size;
    p.use_ledit = 1;
    if (info.protocol != nullptr && std::strcmp(info.protocol, "tcp") == 0)
        return debug_shell_connet_exec_cmd(info.host, info.port, &p);
    if (info.protocol != nullptr && std::strcmp(info.protocol, "pipe") == 0)
        return pipe_exec_cmd(info, &p);
    ZLOG_ERR("not supprot [%s]", url);
    return -1;
}

int dbgcli_shell(const char *url) { return dbgcli_exec_cmd(url, nullptr, nullptr, 0); }

int dbgcli_local_exec_cmd(const char *pipe, uint32_t port, const char *cmd)
{
    char url[URL_BUF_SIZE];
    if (pipe != nullptr && pipe[0] != '\0')
        str_sprintf_s2(url, sizeof(url), "pipe://./%s", pipe);
    else if (port != 0)
        str_sprintf_s2(url, sizeof(url), "tcp://127.0.0.1:%u", port);
    else {
        std::fputs("No debugging interface defined: the debug shell's port is 0\n", stderr);
        return -1;
    }
    return dbgcli_exec_cmd(url, cmd, nullptr, 0);
}
