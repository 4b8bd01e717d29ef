// Debug shell sessions, the console, the TCP debug shell service and the
// named-pipe sessions.
#include "libdbg/dbg_shell.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#define ZLOG_TAG "dbgsh"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/os/os_init.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/tframe/app_desc.h"

namespace {

struct mode_row {
    uint32_t mode;
    const char *log_line;
    uint32_t conn_type;
};

constexpr mode_row MODES[] = {
    {SH_MODE_STDIO, "STDIO_MODE ==>\n", NET_STDIO_TYPE},
    {SH_MODE_NET, "NET_MODE ==>\n", NET_SOCK_TYPE},
    {SH_MODE_PIPE, "PIPE_MODE ==>\n", NET_PIPE_SRV_TYPE},
};

const mode_row *find_mode(uint32_t mode)
{
    for (const auto &row : MODES) {
        if (row.mode == mode)
            return &row;
    }
    return nullptr;
}

char g_prompt[32] = "";
const char *g_script = nullptr;
uint32_t g_script_next = 0;

std::mutex g_srv_lock;
dbgsrv_handle *g_srv = nullptr;

// The server of the running debug_shell_pipe_loop, for debug_shell_pipe_kill.
std::mutex g_pipe_lock;
os_name_pipe_srv *g_pipe = nullptr;

constexpr int PIPE_STOP_WAIT_MS = 1000;
// The longest line a session takes: the line buffer less its NUL and the one
// byte that shows a line did not fit.
constexpr int LINE_MAX_LEN = DBGSH_LINE_SIZE - 2;
constexpr int LINE_TOO_LONG = -2;

// The bytes of a session's current line, kept across reads: a pause inside a
// line hands control back to the loop as an idle session does, and the rest
// of an over-long line is dropped as it arrives.
struct line_reader {
    char line[DBGSH_LINE_SIZE];
    int len;
    bool discarding;
};

os_name_pipe_srv *pipe_of(const net_conn *conn)
{
    return reinterpret_cast<os_name_pipe_srv *>(static_cast<uintptr_t>(conn->handle));
}

// A session's next line into buf, up to LF or NUL with CRs removed: its
// length (1 with an empty text for an empty line); 0 when no whole line has
// come yet; LINE_TOO_LONG once for a line longer than LINE_MAX_LEN; -1 when
// the session must end (connection failed, peer gone, stop state, pipe killed).
int session_gets(net_conn *conn, line_reader *r, char *buf)
{
    if (conn->type == NET_PIPE_SRV_TYPE && !os_name_pipe_srv_check_connect(pipe_of(conn)))
        return -1;
    // An idle TCP session sleeps until its peer sends or the stop shuts its
    // socket down: no wake-up while nothing happens.
    if (net_wait_readable(conn, -1) < 0)
        return -1;
    for (;;) {
        int got = 0;
        const int c = net_getc(conn, &got);
        if (c < 0 || conn->disconnected != 0)
            return -1;
        if (got == 0) {
            // A pipe client that left mid-line takes its fragment with it.
            if (conn->type == NET_PIPE_SRV_TYPE)
                *r = line_reader{};
            return 0;
        }
        if (c == '\n' || c == '\0') {
            const bool dropped = r->discarding;
            r->line[r->len] = '\0';
            r->len = 0;
            r->discarding = false;
            if (dropped)
                continue;
            str_del_chr(r->line, '\r');
            str_safecopy(buf, DBGSH_LINE_SIZE, r->line);
            const int n = static_cast<int>(std::strlen(buf));
            return n > 0 ? n : 1;
        }
        if (r->discarding)
            continue;
        if (r->len == LINE_MAX_LEN) {
            r->len = 0;
            r->discarding = true;
            return LINE_TOO_LONG;
        }
        r->line[r->len++] = static_cast<char>(c);
    }
}

// The next ";"-field of the console script; the process ends when none is left.
void script_gets(char *buf, size_t size)
{
    const char *p = g_script;
    for (uint32_t i = 0; i < g_script_next && p != nullptr; i++) {
        p = std::strchr(p, ';');
        if (p != nullptr)
            p++;
    }
    if (p == nullptr || *p == '\0')
        os_process_exit(0);
    size_t n = std::strcspn(p, ";");
    if (n >= size)
        n = size - 1;
    std::memcpy(buf, p, n);
    buf[n] = '\0';
    g_script_next++;
}

int read_line(sh_ctx *ctx, line_reader *r, char *buf)
{
    if (ctx->mode != SH_MODE_STDIO)
        return session_gets(static_cast<net_conn *>(ctx->out), r, buf);
    if (g_prompt[0] == '\0')
        str_safecopy(g_prompt, sizeof(g_prompt), ">");
    if (g_script != nullptr) {
        script_gets(buf, DBGSH_LINE_SIZE - 1);
        return static_cast<int>(std::strlen(buf));
    }
    int n = libsh_readline(g_prompt, buf, DBGSH_LINE_SIZE - 1);
    return n < 0 ? -1 : static_cast<int>(std::strlen(buf));
}

// The loop of one session. A TCP session's connection belongs to its service,
// whose close releases it: closing it here would clear a stopper's mark.
int dbgsh_srv_loop(sh_ctx *ctx)
{
    char buf[DBGSH_LINE_SIZE];
    line_reader reader{};
    for (;;) {
        std::memset(buf, 0, sizeof(buf));
        int n = read_line(ctx, &reader, buf);
        ZLOG_VERB("ret=%d cmd=[%s]\n", n, str_log_text(buf).c_str());
        if (n == LINE_TOO_LONG) {
            ctx->printf(ctx->out, "error: command line too long (at most %d bytes)\n", LINE_MAX_LEN);
            ctx->flush(ctx->out);
            continue;
        }
        if (n < 0) {
            ZLOG_VERB("gets return failed break\n");
            if (ctx->mode == SH_MODE_STDIO) {
                // Standard input has ended (Ctrl-D on a terminal): typed lines
                // are no longer read, and the operator is told so and how the
                // program stops now. No busy loop while it serves on.
                fprintf(stdout, "\nconsole input has ended; %s goes on serving: stop it with Ctrl-C or kill %d\n",
                        g_app.app_name != nullptr ? g_app.app_name : "the program", static_cast<int>(getpid()));
                fflush(stdout);
                while (__atomic_load_n(&g_app.stopped, __ATOMIC_ACQUIRE) == 0)
                    os_sleep_ms(1000);
            }
            break;
        }
        if (n == 0)
            continue;
        str_trim(buf);
        if (ctx->mode == SH_MODE_STDIO && std::strcmp(buf, "q") == 0)
            str_safecopy(buf, sizeof(buf), "e");
        exec_commands(ctx, buf);
        if (__atomic_load_n(&ctx->exit_flag, __ATOMIC_ACQUIRE) != 0) {
            ZLOG_VERB("ctx.exit_flag break\n");
            break;
        }
    }
    if (ctx->mode != SH_MODE_NET)
        net_close(static_cast<net_conn *>(ctx->out));
    return 0;
}

}  // namespace

int dbgout_write_imp(net_conn *conn, const char *text)
{
    char *crlf = str_replace_dup(text, "\n", "\r\n");
    if (crlf == nullptr) {
        ZLOG_DBG("str_relace return failed\n");
        return -1;
    }
    str_rtrim_set(crlf, " \t\v\f");
    int rc = net_write(conn, crlf, static_cast<int32_t>(std::strlen(crlf)));
    os_free(crlf);
    return rc;
}

int dbgout_printf(void *out, const char *fmt, ...)
{
    // On the heap: a message may come from the deepest level of a nested
    // "source", where the session thread's stack has the least room left.
    const std::unique_ptr<char[]> text(new (std::nothrow) char[DBGSH_LINE_SIZE]);
    if (text == nullptr)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = str_vsprintf_s2(text.get(), DBGSH_LINE_SIZE, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    return dbgout_write_imp(static_cast<net_conn *>(out), text.get());
}

int dbgout_write(void *out, const void *text, int)
{
    return dbgout_write_imp(static_cast<net_conn *>(out), static_cast<const char *>(text));
}

int dbgout_flush(void *out) { return net_put_nul(static_cast<net_conn *>(out)); }

const char *dbgout_ended(void *out)
{
    const auto *conn = static_cast<const net_conn *>(out);
    if (conn->stop.load() != 0)
        return "the session is being stopped";
    if (conn->disconnected != 0)
        return "the peer has gone";
    return nullptr;
}

namespace {

// The session's side of the binding: its connection's read time-out and the
// context's operations. Nothing here is read by a stopper.
void session_bind(sh_ctx *ctx, net_conn *conn)
{
    conn->timeout = DBGSH_TIMEOUT_MS;
    if (ctx->mode == SH_MODE_STDIO && g_script == nullptr) {
        os_sleep_ms(300);
        fputs("\nType `help` to learn how to use prompt\n", stdout);
        fflush(stdout);
    }
    ctx->exit_flag = 0;
    ctx->out = conn;
    ctx->printf = dbgout_printf;
    ctx->write = dbgout_write;
    ctx->flush = dbgout_flush;
    ctx->ended = dbgout_ended;
}

}  // namespace

int dbgsh_srv_ctx_init(sh_ctx *ctx, net_conn *conn, uint32_t mode, uint64_t handle)
{
    const mode_row *row = find_mode(mode);
    ctx->mode = mode;
    if (row == nullptr) {
        ZLOG_ERR("mode=%d invalid\n", static_cast<int>(mode));
        return -1;
    }
    conn->handle = handle;
    conn->type = row->conn_type;
    session_bind(ctx, conn);
    return 0;
}

int dbgsh_srv_imp(sh_ctx *ctx)
{
    const mode_row *row = find_mode(ctx->mode);
    if (row == nullptr)
        return -1;
    ZLOG_VERB("%s", row->log_line);
    return dbgsh_srv_loop(ctx);
}

int dbgsh_srv_run(uint32_t mode, uint64_t handle)
{
    sh_ctx ctx{};
    net_conn conn{};
    if (dbgsh_srv_ctx_init(&ctx, &conn, mode, handle) != 0)
        return -1;
    return dbgsh_srv_imp(&ctx);
}

int debug_shell_stdio_loop() { return dbgsh_srv_run(SH_MODE_STDIO, 0); }

int debug_shell_stdio_script(const char *script)
{
    g_script = script;
    g_script_next = 0;
    return dbgsh_srv_run(SH_MODE_STDIO, 0);
}

int debug_shell_init(const debug_shell_param *param)
{
    if (param == nullptr) {
        ZLOG_ERR("expr[%s]: assert failed\n", "param!=NULL");
        return -1;
    }
    if (param->prompt == nullptr)
        str_safecopy(g_prompt, sizeof(g_prompt), ">");
    else
        str_safecopy(g_prompt, sizeof(g_prompt), param->prompt);
    return 0;
}

int netsh_srv_thread(void *rec)
{
    ZLOG_VERB("==>\n");
    auto *item = static_cast<dbgsh_item *>(rec);
    sock_ctx *service = item->head.ctx;
    // The service stored the socket and type under its pool's lock, and a
    // stopper reads them under it: this thread only binds its session.
    item->sh.mode = SH_MODE_NET;
    session_bind(&item->sh, &item->head.conn);
    dbgsh_srv_imp(&item->sh);
    sock_tcp_ctx_close(service, rec);
    ZLOG_VERB("<==\n");
    return 0;
}

int accept_proc(os_socket sock, os_ipaddr *, void *udata)
{
    // A refusal is reported by the service, at most once a second.
    if (sock_tcp_ctx_open(static_cast<sock_ctx *>(udata), sock) == nullptr) {
        sock_close(sock);
        return -1;
    }
    return 0;
}

dbgsrv_handle *dbgsrv_tcp_open(const char *addrs, uint32_t *port)
{
    sock_tcp_ctx_param cp{"netsh_srv", sizeof(dbgsh_item), nullptr, netsh_srv_thread};
    sock_ctx *ctx = sock_tcp_ctx_init(&cp);
    if (ctx == nullptr)
        return nullptr;
    sock_srv_param sp{};
    sp.name = "netsh";
    sp.reuse = 1;
    sp.backlog = 5;
    sp.accept_proc = accept_proc;
    sp.udata = ctx;
    sock_server *srv = sock_tcp_server(addrs, *port, &sp);
    auto *h = srv != nullptr ? static_cast<dbgsrv_handle *>(os_malloc(sizeof(dbgsrv_handle))) : nullptr;
    if (h == nullptr) {
        if (srv != nullptr)
            sock_server_close(srv);
        sock_tcp_ctx_exit(ctx);
        return nullptr;
    }
    *port = sp.bind_port;
    new (h) dbgsrv_handle{0, sp.bind_port, ctx, srv, {}, {}, nullptr, nullptr};
    return h;
}

int pipe_srv_thread(void *arg)
{
    ZLOG_DBG("==>\n");
    auto *h = static_cast<dbgsrv_handle *>(arg);
    dbgsh_srv_imp(&h->sh);
    ZLOG_DBG("<==\n");
    return 0;
}

namespace {

// The pipe name of a "pipe://./NAME" URL: its path without "/" and "\\".
void pipe_name_of(const url_info &info, char *name, size_t size)
{
    str_safecopy(name, size, info.path != nullptr ? info.path : "");
    str_del_chrs(name, "/\\");
}

os_name_pipe_srv *pipe_srv_open(const char *name)
{
    os_name_pipe_srv *pipe = os_name_pipe_srv_open(name);
    if (pipe == nullptr)
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "os_name_pipe_srv_open [%s] error: ", name);
    return pipe;
}

dbgsrv_handle *pipe_open(const char *name)
{
    // "stdio" asks for mode 2, the standard streams, which no session binds
    // to a pipe handle: the binding refuses it and the open fails.
    constexpr uint32_t stdio_pipe_mode = 2;
    const uint32_t mode = std::strcmp(name, "stdio") == 0 ? stdio_pipe_mode : SH_MODE_PIPE;
    os_name_pipe_srv *pipe = nullptr;
    if (mode == SH_MODE_PIPE && (pipe = pipe_srv_open(name)) == nullptr)
        return nullptr;
    void *mem = os_zalloc(sizeof(dbgsrv_handle));
    auto *h = mem != nullptr ? new (mem) dbgsrv_handle{} : nullptr;
    if (h != nullptr) {
        h->kind = 1;
        h->pipe = pipe;
        if (dbgsh_srv_ctx_init(&h->sh, &h->conn, mode, reinterpret_cast<uintptr_t>(pipe)) == 0)
            h->thread = os_thread_init("pipe_srv", pipe_srv_thread, h, 0);
    }
    if (h == nullptr || h->thread == nullptr) {
        if (pipe != nullptr)
            os_name_pipe_srv_close(pipe);
        os_free(h);
        return nullptr;
    }
    return h;
}

// Wakes the session, waits for its thread and only then closes the pipe it
// reads; a thread not joined in time runs on, never cancelled, and keeps its
// handle and pipe for good.
int pipe_close(dbgsrv_handle *h)
{
    os_name_pipe_srv_kill(h->pipe);
    __atomic_store_n(&h->sh.exit_flag, 1u, __ATOMIC_RELEASE);
    const int r = os_thread_wait_kill_exit(h->thread, PIPE_STOP_WAIT_MS, nullptr);
    if (r != 0) {
        ZLOG_ERR("os_thread_wait_kill_exit ret=%d error=%d\n", r, errno);
        return 0;
    }
    os_name_pipe_srv_close(h->pipe);
    os_free(h);
    return 0;
}

}  // namespace

dbgsrv_handle *dbgsrv_open(const char *url)
{
    libsh_init();
    url_info info;
    char store[URL_BUF_SIZE];
    if (url == nullptr || url_parser(&info, store, url) != 0) {
        ZLOG_ERR("url_parse error\n");
        return nullptr;
    }
    if (info.protocol != nullptr && std::strcmp(info.protocol, "tcp") == 0) {
        uint32_t port = info.port;
        return dbgsrv_tcp_open(info.host, &port);
    }
    if (info.protocol != nullptr && std::strcmp(info.protocol, "pipe") == 0) {
        char name[URL_BUF_SIZE];
        pipe_name_of(info, name, sizeof(name));
        return pipe_open(name);
    }
    ZLOG_ERR("not supprot [%s]", url);
    return nullptr;
}

int dbgsrv_close(dbgsrv_handle *h) { return dbgsrv_close_by(h, os_tick_ms() + DBGSH_STOP_WAIT_MS); }

int dbgsrv_close_by(dbgsrv_handle *h, uint64_t deadline)
{
    if (h == nullptr)
        return -1;
    if (h->kind == 1)
        return pipe_close(h);
    if (h->kind != 0) {
        ZLOG_ERR("invalid type=%d", static_cast<int>(h->kind));
        return -1;
    }
    sock_server_close(h->srv);
    sock_tcp_ctx_exit_by(h->ctx, deadline);
    os_free(h);
    return 0;
}

int debug_shell_pipe_loop(const char *name)
{
    ZLOG_DBG("==>\n");
    os_name_pipe_srv *pipe = pipe_srv_open(name != nullptr ? name : "");
    if (pipe == nullptr)
        return -1;
    {
        std::lock_guard<std::mutex> g(g_pipe_lock);
        if (g_pipe != nullptr) {
            ZLOG_ERR("pipe session already running\n");
            os_name_pipe_srv_close(pipe);
            return -1;
        }
        g_pipe = pipe;
    }
    const int rc = dbgsh_srv_run(SH_MODE_PIPE, reinterpret_cast<uintptr_t>(pipe));
    {
        std::lock_guard<std::mutex> g(g_pipe_lock);
        g_pipe = nullptr;
    }
    os_name_pipe_srv_close(pipe);
    ZLOG_DBG("<==\n");
    return rc;
}

int debug_shell_pipe_kill()
{
    std::lock_guard<std::mutex> g(g_pipe_lock);
    if (g_pipe != nullptr)
        os_name_pipe_srv_kill(g_pipe);
    return 0;
}

int debug_shell_server_init(const char *addrs, uint32_t port)
{
    libsh_init();
    dbgsrv_handle *h = dbgsrv_tcp_open(addrs, &port);
    if (h == nullptr)
        return -1;
    std::lock_guard<std::mutex> g(g_srv_lock);
    if (g_srv != nullptr) {
        dbgsrv_close(h);
        return -1;
    }
    g_srv = h;
    return 0;
}

int debug_shell_server_exit() { return debug_shell_server_exit_by(os_tick_ms() + DBGSH_STOP_WAIT_MS); }

int debug_shell_server_exit_by(uint64_t deadline)
{
    ZLOG_VERB("==>\n");
    dbgsrv_handle *h;
    {
        std::lock_guard<std::mutex> g(g_srv_lock);
        h = g_srv;
        g_srv = nullptr;
    }
    if (h != nullptr)
        dbgsrv_close_by(h, deadline);
    return 0;
}

uint32_t debug_shell_server_port()
{
    std::lock_guard<std::mutex> g(g_srv_lock);
    return g_srv != nullptr ? g_srv->port : 0;
}

int debug_bsv_pipe_srv_init(const char *)
{
    log2_printf(nullptr, LOG2_VERB, "bsv", __FILE__, __LINE__, __func__, "==>\n");
    return -1;
}

int debug_bsv_pipe_srv_exit() { return 0; }

const char *debug_bsv_pipe_name() { return ""; }
