// The debug client of the -e option.
#include "libdbg/dbg_cli.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#define ZLOG_TAG "dbgcli"
#include "liblog/zlog.h"
#include "libnet/sock_cli.h"
#include "libpal/basic/os_sync.h"
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

// The shell's bytes as they come, kept across replies: a command that ends
// its reply twice ("exit", "tlog") leaves the second end mark for the next.
struct reply_reader {
    std::vector<char> buf = std::vector<char>(CLI_LINE_SIZE);
    size_t pos = 0;
    size_t len = 0;
};

// Where one reply goes: to p->reply (its first CLI_LINE_SIZE bytes), to
// p->print, or to standard output as it comes. CRs are dropped; at its end a
// reply is shown with one line feed.
struct reply_sink {
    dbgcli_param *p;
    std::string text;
    bool copied = false;

    explicit reply_sink(dbgcli_param *param) : p(param) {}

    void add(const char *bytes, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            if (bytes[i] != '\r')
                text += bytes[i];
        }
        if (text.size() >= CLI_LINE_SIZE - 1)
            emit(false);
    }

    // A long reply reaches p->print in pieces; standard output gets it whole.
    // A piece's last line feed waits for the next: it may be the reply's last.
    void emit(bool last)
    {
        const bool lf = !text.empty() && text.back() == '\n';
        if (lf)
            text.pop_back();
        if (p->reply != nullptr) {
            if (!copied)
                str_safecopy(p->reply, p->reply_size, text.c_str());
            copied = true;
        } else if (p->print != nullptr) {
            p->print(text.c_str());
        } else {
            std::fputs(text.c_str(), stdout);
            if (last)
                std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        text.assign(lf && !last ? "\n" : "");
    }

    void end() { emit(true); }
};

// One reply up to its NUL into sink, before deadline (os_tick_ms): 1 when it
// ended, 0 when the deadline came first, -1 when the connection failed or
// the shell went away.
int read_reply(net_conn *conn, reply_reader &r, uint64_t deadline, reply_sink &sink)
{
    for (;;) {
        if (r.pos == r.len) {
            const uint64_t now = os_tick_ms();
            if (now >= deadline)
                return 0;
            const auto left = static_cast<int32_t>(std::min<uint64_t>(deadline - now, INT32_MAX));
            const int w = net_wait_readable(conn, left);
            if (w <= 0)
                return w;
            int32_t n = net_read_avail(conn, r.buf.data(), static_cast<int32_t>(r.buf.size()));
            if (n == 0) {
                // Other carriers than a socket are always "readable": one
                // byte under the time left, where nothing before it means
                // the shell has gone.
                const int32_t saved = conn->timeout;
                conn->timeout = left;
                n = net_read(conn, r.buf.data(), 1);
                conn->timeout = saved;
                if (n == 0 && os_tick_ms() < deadline)
                    return -1;
            }
            if (n < 0)
                return -1;
            r.pos = 0;
            r.len = static_cast<size_t>(n);
            continue;
        }
        const char *from = r.buf.data() + r.pos;
        const auto *nul = static_cast<const char *>(std::memchr(from, '\0', r.len - r.pos));
        const size_t n = nul != nullptr ? static_cast<size_t>(nul - from) : r.len - r.pos;
        sink.add(from, n);
        r.pos += n;
        if (nul != nullptr) {
            r.pos++;
            return 1;
        }
    }
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
    const uint32_t timeout = p->timeout != 0 ? p->timeout : DBGCLI_REPLY_TIMEOUT_MS;
    conn->timeout = static_cast<int32_t>(timeout);
    std::vector<char> buf(CLI_LINE_SIZE);
    reply_reader reader;
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
        reply_sink sink(p);
        const int got = read_reply(conn, reader, os_tick_ms() + timeout, sink);
        ZLOG_VERB("ret=%d\n", got);
        if (got == 0) {
            // A reply that never ends must not hold the client: what came is
            // shown, the rest would be read as the next command's.
            sink.end();
            std::fprintf(stderr, "no whole reply from the debug shell within %u ms: [%s]\n", timeout, buf.data());
            rc = -1;
            break;
        }
        if (got < 0) {
            ZLOG_DBG("read command returns error\n");
            rc = -1;
            break;
        }
        sink.end();
        rc = 0;
        if (p->reply != nullptr)
            break;
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
