// The debug web tool: start and stop, the accept callback and connection
// threads, the guards every route passes, the routes, the shell capture and
// the log reader.
#include "libdbg/dbg_http.h"

#include <strings.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#define ZLOG_TAG "dbghttp"
#include "libbsv/bsv_log.h"
#include "libhttpd/httpd_content.h"
#include "liblog/zlog.h"
#include "libnet/sock_srv.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/os/os_path.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"
#include "libpwd/libpwd.h"
#include "libsh/libsh.h"

namespace {

constexpr char k_metrics[] = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";
constexpr char k_page_file[] = "debug.html";

// One start of the tool. Shared by the listener and every request it
// accepted: the last of them to let go frees the HTTP server, so a stop
// never frees it under a request still running (the one that ran "exit"
// included).
struct http_tool : std::enable_shared_from_this<http_tool> {
    debug_http_param param{};
    std::string addrs;
    std::string page;
    char token[DBG_HTTP_TOKEN_SIZE] = "";
    httpd_server *server = nullptr;
    sock_server *listener = nullptr;
    uint32_t port = 0;
    bool own_checker = false;  // the password checker was started for this tool

    ~http_tool() { httpdServerFree(server); }
};

// What a connection thread owns.
struct http_job {
    std::shared_ptr<http_tool> tool;
    httpd_request *request;
    bool reading;  // still waiting for its request; under g_run_lock
};

std::mutex g_start_lock;  // one start or stop at a time
std::mutex g_lock;        // the fields below
debug_http_param g_param{};
std::shared_ptr<http_tool> g_tool;

sock_refusals g_thread_refusals{};  // connections that got no thread

// Requests accepted and not yet finished, over all starts.
std::mutex g_run_lock;
std::condition_variable g_run_idle;
int g_running = 0;
std::set<http_job *> g_jobs;

// The tool of the request this thread serves.
thread_local http_tool *t_tool = nullptr;

// The one "log" reader and its lock: concurrent "/log" requests each get
// other lines.
std::mutex g_log_lock;
bsv_log_reader *g_log = nullptr;

const char *text_or_empty(const char *text) { return text != nullptr ? text : ""; }

void run_begin(http_job *job)
{
    std::lock_guard<std::mutex> g(g_run_lock);
    g_running++;
    g_jobs.insert(job);
}

void run_end(http_job *job)
{
    std::lock_guard<std::mutex> g(g_run_lock);
    g_running--;
    g_jobs.erase(job);
    g_run_idle.notify_all();
}

// The request has been read: from now on a stop lets it finish. false when a
// stop ended its reading first.
bool read_done(http_job *job)
{
    std::lock_guard<std::mutex> g(g_run_lock);
    job->reading = false;
    return job->request->conn.stop.load() == 0;
}

// Requires: g_run_lock held. Connections still waiting for their request
// (idle ones a browser opens ahead, slow clients) sleep in their read until
// their socket is shut down, which ends them at once.
void stop_readers()
{
    for (http_job *job : g_jobs) {
        if (job->reading) {
            job->request->conn.stop.store(NET_STOP_BY_STOPPER);
            os_socket_kill(job->request->conn.handle, 2);
        }
    }
}

// 8 decimal digits from the system's cryptographic source.
bool draw_token(char *token)
{
    uint8_t bytes[8];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes)))
        return false;
    for (size_t i = 0; i < sizeof(bytes); i++)
        token[i] = static_cast<char>('0' + bytes[i] % 10);
    token[8] = '\0';
    return true;
}

std::string html_escape(const char *text)
{
    std::string out;
    for (const char *p = text_or_empty(text); *p != '\0'; p++) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += *p; break;
        }
    }
    return out;
}

// The host name of a Host header value: without its port, an IPv6 literal
// without its brackets.
std::string host_name_of(std::string_view host)
{
    if (!host.empty() && host.front() == '[') {
        const size_t end = host.find(']');
        return std::string(host.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    }
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos)
        host = host.substr(0, colon);
    return std::string(host);
}

bool listed(const std::string &name, const std::string &list)
{
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find_first_of(";,", pos);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(pos, end - pos);
        if (!item.empty() && strcasecmp(item.c_str(), name.c_str()) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

// A browser sends the name it was given: a page of another site that makes
// its own name point at this machine (DNS rebinding) still sends that name.
// No Host at all comes from no browser.
bool host_is_ours(const http_tool &tool, const char *host)
{
    if (host[0] == '\0')
        return true;
    const std::string name = host_name_of(host);
    if (os_ipv4_cstr_is_valid(name.c_str()) || os_ipv6_cstr_is_valid(name.c_str()))
        return true;
    if (strcasecmp(name.c_str(), "localhost") == 0)
        return true;
    char own[256] = "";
    os_get_hostname(own, sizeof(own));
    return strcasecmp(name.c_str(), own) == 0 || listed(name, tool.addrs);
}

const char *var_of(httpd_request *r, const char *name)
{
    const httpd_var *v = httpdVarFind(r, name);
    return v != nullptr ? v->value : "";
}

// The Host check, then the credentials, then (need_token) the page token.
// false when the request has been answered.
bool admitted(httpd_server *server, httpd_request *r, bool need_token)
{
    if (!host_is_ours(*t_tool, r->host)) {
        ZLOG_WARN("refused Host [%s] from %s\n", str_log_text(r->host).c_str(), r->peer);
        httpdSend403(server, r);
        return false;
    }
    if (is_need_auth(r) != 0)
        return false;
    if (need_token && std::strcmp(var_of(r, "token"), t_tool->token) != 0) {
        ZLOG_DBG("request [%s] from %s without the page token\n", str_log_text(r->path).c_str(), r->peer);
        httpdSend403(server, r);
        return false;
    }
    return true;
}

// The replies of the shell's routes are data, typed as such: with the
// nosniff header no browser runs a peer's text inside them as a page.
void send_json(httpd_request *r, const char *json)
{
    httpdContentTypeSet(r, "application/json\r\n");
    httpdSendText(r, json);
}

void route_page(httpd_server *server, httpd_request *r)
{
    ZLOG_VERB("[%s]\n", str_log_text(r->query).c_str());
    if (!admitted(server, r, false))
        return;
    // Only the server's own values are substituted, never the client's.
    httpdVarFreeAll(r);
    httpdVarSet(r, "title", html_escape(t_tool->param.title).c_str());
    httpdVarSet(r, "sh_psa", html_escape(t_tool->param.prompt).c_str());
    httpdVarSet(r, "token_value", t_tool->token);
    httpdSendTemplate(r, t_tool->page.c_str());
}

void route_cmd(httpd_server *server, httpd_request *r)
{
    ZLOG_VERB("[%s]\n", str_log_text(r->query).c_str());
    if (!admitted(server, r, true))
        return;
    const char *command = var_of(r, "command");
    ZLOG_DBG("ucmd=[%s]\n", str_log_text(command).c_str());
    str_buf *out = str_buf_new();
    if (out == nullptr)
        return;
    http_exec_cmd(command, out);
    ZLOG_VERB("ret=[%s]\n", str_log_text(str_buf_cstr(out)).c_str());
    send_json(r, str_buf_cstr(out));
    str_buf_free(out);
}

void route_log(httpd_server *server, httpd_request *r)
{
    if (!admitted(server, r, true))
        return;
    str_buf *out = str_buf_new();
    if (out == nullptr)
        return;
    http_log_read_json(var_of(r, "token"), out, DBG_HTTP_LOG_OUT_SIZE);
    send_json(r, str_buf_cstr(out));
    str_buf_free(out);
}

void route_config(httpd_server *server, httpd_request *r)
{
    ZLOG_VERB("[%s]\n", str_log_text(r->query).c_str());
    if (!admitted(server, r, true))
        return;
    char *json = libsh_dvar_json();
    send_json(r, json != nullptr ? json : "[]");
    os_free(json);
}

void route_update(httpd_server *server, httpd_request *r)
{
    if (!admitted(server, r, true))
        return;
    char err[LIBPWD_TEXT_SIZE] = "";
    if (libsh_dvar_set(var_of(r, "name"), var_of(r, "value"), err) >= 0) {
        send_json(r, "{ \"success\" : true, \"msg\" : \"ok\" }");
        return;
    }
    ZLOG_DBG("%s conf_set failed: %s\n", str_log_text(r->query).c_str(), str_log_text(err).c_str());
    char *escaped = str_escape_json_dup(err);
    char reply[512];
    str_sprintf_s2(reply, sizeof(reply), "{ \"success\" : false, \"msg\" : \"%s\" }", text_or_empty(escaped));
    os_free(escaped);
    send_json(r, reply);
}

void route_metrics(httpd_server *server, httpd_request *r)
{
    ZLOG_VERB("[%s]\n", str_log_text(r->query).c_str());
    if (admitted(server, r, false))
        httpdSendBytes(r, k_metrics, static_cast<int>(sizeof(k_metrics) - 1));
}

void route_favicon(httpd_server *server, httpd_request *r)
{
    ZLOG_VERB("[%s]\n", str_log_text(r->query).c_str());
    if (!host_is_ours(*t_tool, r->host)) {
        httpdSend403(server, r);
        return;
    }
    httpdSendBytes(r, k_dbg_http_icon, static_cast<int>(k_dbg_http_icon_size));
}

struct route_row {
    const char *name;
    httpd_callback proc;
};

constexpr route_row k_routes[] = {
    {"", route_page},          {"cmd", route_cmd},         {"log", route_log},
    {"config", route_config},  {"update", route_update},   {"metrics", route_metrics},
    {"favicon.ico", route_favicon},
};

int http_add_routes(httpd_server *server)
{
    for (const auto &row : k_routes) {
        if (httpdContentAddCallback(server, "/", row.name, 0, nullptr, row.proc) != 0)
            return -1;
    }
    return 0;
}

// What "/cmd" keeps of a command line's output: the first command's, up to
// its end mark and at most DBG_HTTP_CMD_OUT_SIZE bytes.
struct web_capture {
    str_buf *text;
    bool marked;  // the first command has ended: nothing more is shown
    bool cut;     // output past the bound was dropped
};

// Set by a stop, so that a "source" still running in a request stops at its
// next line and the request ends within the stop's bound.
std::atomic<bool> g_stopping{false};

int capture_append(void *out, const void *bytes, size_t len)
{
    auto *c = static_cast<web_capture *>(out);
    if (c->marked)
        return static_cast<int>(len);
    size_t room = DBG_HTTP_CMD_OUT_SIZE - std::min(c->text->len, DBG_HTTP_CMD_OUT_SIZE);
    if (len > room)
        c->cut = true;
    return str_buf_append(c->text, bytes, std::min(len, room)) == 0 ? static_cast<int>(len) : -1;
}

// nullptr when the tool cannot start; *refused is set when its settings
// forbid it (said at err level here).
std::shared_ptr<http_tool> tool_new(const char *addrs, bool *refused)
{
    auto tool = std::make_shared<http_tool>();
    {
        std::lock_guard<std::mutex> g(g_lock);
        tool->param = g_param;
    }
    tool->addrs = text_or_empty(addrs);
    debug_http_param &p = tool->param;
    if (p.auth_mode == 0) {
        const bool has_user = text_or_empty(p.user)[0] != '\0';
        const bool has_password = text_or_empty(p.password)[0] != '\0';
        if (has_user != has_password) {
            ZLOG_ERR("debug web tool not started: only the %s is set, a login needs both a user and a password\n",
                     has_user ? "user" : "password");
            *refused = true;
            return nullptr;
        }
        if (std::strlen(text_or_empty(p.user)) >= HTTPD_CRED_SIZE ||
            std::strlen(text_or_empty(p.password)) >= HTTPD_CRED_SIZE)
            ZLOG_ERR("web user or password longer than %d characters: no login can match\n", HTTPD_CRED_SIZE - 1);
        if (has_user) {
            p.auth_mode = 1;
            tool->own_checker = true;
        }
    }
    if (!draw_token(tool->token)) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "getrandom failed: ");
        return nullptr;
    }
    char *file = os_file_read_text(k_page_file);
    if (file != nullptr) {
        ZLOG_DBG("load debug.html ok\n");
        tool->page = file;
        os_free(file);
    } else {
        tool->page = k_dbg_http_page;
    }
    return tool;
}

// The login a request carries, through the password checker: LIBPWD_OK,
// LIBPWD_REFUSED or LIBPWD_LOCKED (its text in err). A request without
// credentials (a browser's first) asks as the user ":", which the checker
// refuses without counting; credentials that cannot be read whole are a
// failed login, counted without being compared.
int check_login(const httpd_request *r, char *err)
{
    if (r->cred_len == 0)
        return libpwd_check_user_pwd(r->peer, ":", "", err);
    if (r->cred_len > 0)
        return libpwd_check_user_pwd(r->peer, r->user, r->password, err);
    if (ipcheck_check(r->peer, err) == LIBPWD_LOCKED)
        return LIBPWD_LOCKED;
    ZLOG_WARN("ip=[%s] user=[%s] credentials with a NUL byte or too long\n", r->peer, str_log_text(r->user).c_str());
    ipcheck_login_fail(r->peer, r->user);
    str_safecopy(err, LIBPWD_TEXT_SIZE, "Wrong user or password");
    return LIBPWD_REFUSED;
}

// The HTTP server, its routes and the listener. false when one of them
// could not be made.
bool tool_serve(http_tool &tool, uint32_t port)
{
    tool.server = httpdServerNew();
    if (tool.server == nullptr) {
        ZLOG(LOG2_ERR | LOG2_F_ERRNO, "Could not create web server: ");
        return false;
    }
    if (http_add_routes(tool.server) != 0)
        return false;
    sock_srv_param sp{};
    sp.name = "dbg_http";
    sp.reuse = 1;
    sp.backlog = DBG_HTTP_BACKLOG;
    sp.accept_proc = http_accept_proc;
    sp.udata = &tool;
    tool.listener = sock_tcp_server(tool.addrs.empty() ? nullptr : tool.addrs.c_str(), port, &sp);
    if (tool.listener == nullptr)
        return false;
    tool.port = sp.bind_port;
    return true;
}

}  // namespace

void debug_http_set_param(const debug_http_param *param)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_param = param != nullptr ? *param : debug_http_param{};
}

int debug_http_server_init(const char *addrs, uint32_t port)
{
    if (port == 0)
        return 0;
    std::lock_guard<std::mutex> start(g_start_lock);
    if (debug_http_server_port() != 0) {
        ZLOG_ERR("debug web server already running\n");
        return -1;
    }
    bool refused = false;
    std::shared_ptr<http_tool> tool = tool_new(addrs, &refused);
    if (refused)
        return -2;
    if (tool == nullptr || http_log_init() != 0)
        return -1;
    g_stopping.store(false);
    if (tool->own_checker) {
        const libpwd_param checker{tool->param.user, tool->param.password, nullptr, 0, DBG_HTTP_LOGIN_FAIL_LIMIT,
                                   DBG_HTTP_LOGIN_LOCK_MINUTES, 0};
        libpwd_init(&checker);
    }
    if (!tool_serve(*tool, port)) {
        if (tool->own_checker)
            libpwd_exit();
        http_log_exit();
        return -1;
    }
    std::lock_guard<std::mutex> g(g_lock);
    g_tool = tool;
    ZLOG_DBG("debug web server on port %u\n", static_cast<unsigned>(tool->port));
    return 0;
}

int dbg_http_server_stop() { return dbg_http_server_stop_by(os_tick_ms() + DBG_HTTP_STOP_WAIT_MS); }

int dbg_http_server_stop_by(uint64_t deadline)
{
    ZLOG_DBG("==>\n");
    std::lock_guard<std::mutex> stop(g_start_lock);
    std::shared_ptr<http_tool> tool;
    {
        std::lock_guard<std::mutex> g(g_lock);
        tool.swap(g_tool);
    }
    if (tool == nullptr)
        return 0;
    sock_server_close(tool->listener);
    tool->listener = nullptr;
    g_stopping.store(true);
    bool idle = true;
    {
        // The request that ran "exit" is never waited for: it is this thread.
        const int own = t_tool != nullptr ? 1 : 0;
        const uint64_t now = os_tick_ms();
        const auto left = std::chrono::milliseconds(deadline > now ? deadline - now : 0);
        std::unique_lock<std::mutex> g(g_run_lock);
        stop_readers();
        idle = g_run_idle.wait_for(g, left, [own] { return g_running <= own; });
        if (!idle)
            ZLOG_WARN("%d web requests still running: the last of them frees the server\n", g_running - own);
    }
    // The checker's credentials are wiped only when no request can still be
    // reading them (the one that ran "exit" has logged in already).
    if (tool->own_checker && idle)
        libpwd_exit();
    http_log_exit();
    return 0;
}

uint32_t debug_http_server_port()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_tool != nullptr ? g_tool->port : 0;
}

const char *debug_http_token()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_tool != nullptr ? g_tool->token : "";
}

int http_accept_proc(os_socket sock, os_ipaddr *peer, void *udata)
{
    auto *tool = static_cast<http_tool *>(udata);
    {
        std::lock_guard<std::mutex> g(g_run_lock);
        if (g_running >= DBG_HTTP_MAX_RUNNING) {
            ZLOG_WARN("%d web requests running, connection refused\n", g_running);
            os_socket_exit(sock);
            return -1;
        }
    }
    httpd_request *r = httpdAccpetConnection(sock, tool->server);
    if (r == nullptr) {
        ZLOG_ERR("httpdAccpetConnection sock=%p error\n", reinterpret_cast<void *>(sock));
        if (tool->server->last_error == -3)
            os_socket_exit(sock);
        return -1;
    }
    if (peer == nullptr || os_ipaddr_host_cstr(peer, r->peer, sizeof(r->peer)) == nullptr)
        r->peer[0] = '\0';
    auto job = std::make_unique<http_job>(http_job{tool->shared_from_this(), r, true});
    run_begin(job.get());
    os_thread *thread = os_thread_init("http_cli", httpd_client_thread, job.get(), 0);
    if (thread == nullptr) {
        uint64_t count = 0;
        if (sock_refusal_due(&g_thread_refusals, &count))
            ZLOG_ERR("Failed to create a new thread (httpd): %llu connections refused since the last report\n",
                     static_cast<unsigned long long>(count));
        run_end(job.get());
        httpdRequestFree(r);
        return -1;
    }
    job.release();
    os_thread_release(thread);
    return 0;
}

int httpd_client_thread(void *arg)
{
    std::unique_ptr<http_job> job(static_cast<http_job *>(arg));
    t_tool = job->tool.get();
    httpd_server *server = job->tool->server;
    const int rc = httpdReadRequest(server, job->request);
    if (read_done(job.get()) && rc == 0)
        httpdProcessRequest(server, job->request);
    else
        ZLOG_DBG("No valid request received\n");
    httpdRequestFree(job->request);
    t_tool = nullptr;
    // The tool goes before the count: a stop that saw the count reach zero
    // finds no request still holding it.
    job->tool.reset();
    run_end(job.get());
    return 0;
}

int is_need_auth(httpd_request *r)
{
    if (t_tool->param.auth_mode == 0)
        return 0;
    char err[LIBPWD_TEXT_SIZE] = "";
    const int verdict = check_login(r, err);
    if (verdict == LIBPWD_OK)
        return 0;
    ZLOG_DBG("authentication error: %s\n", err);
    httpdSend401(r, DBG_HTTP_REALM);
    if (verdict == LIBPWD_LOCKED)
        httpdSendCountedText(r, err);
    return 1;
}

int http_out_printf(void *out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    const int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    const int rc = capture_append(out, text, static_cast<size_t>(n));
    free(text);
    return rc;
}

int http_out_write(void *out, const void *bytes, int len)
{
    return len > 0 ? capture_append(out, bytes, static_cast<size_t>(len)) : 0;
}

int http_out_flush(void *out)
{
    static_cast<web_capture *>(out)->marked = true;
    return 1;
}

const char *http_out_ended(void *out)
{
    if (static_cast<const web_capture *>(out)->cut)
        return "the output passed its bound";
    return g_stopping.load() ? "the web tool is stopping" : nullptr;
}

int http_exec_cmd(const char *line, str_buf *out)
{
    ZLOG_VERB("==>\n");
    ZLOG_VERB("cmd=%s\n", str_log_text(line).c_str());
    web_capture capture{str_buf_new(), false, false};
    if (capture.text == nullptr)
        return -1;
    sh_ctx ctx{};
    ctx.mode = SH_MODE_WEB;
    ctx.out = &capture;
    ctx.printf = http_out_printf;
    ctx.write = http_out_write;
    ctx.flush = http_out_flush;
    ctx.ended = http_out_ended;
    const int rc = exec_commands(&ctx, text_or_empty(line));
    if (rc < 0)
        ZLOG_DBG("exec [%s] failed\n", str_log_text(line).c_str());
    if (capture.cut)
        str_buf_appendf(capture.text, "\nerror: output cut at %zu bytes\n", DBG_HTTP_CMD_OUT_SIZE);
    char *escaped = str_escape_json_dup(str_buf_cstr(capture.text));
    str_buf_appendf(out, "[{\"resp\":\"%s\"}]", text_or_empty(escaped));
    os_free(escaped);
    str_buf_free(capture.text);
    ZLOG_VERB("<==\n");
    return rc;
}

int http_log_init()
{
    log2_printf(nullptr, LOG2_DBG, "bsv", __FILE__, __LINE__, __func__, "==>\n");
    std::lock_guard<std::mutex> g(g_log_lock);
    if (g_log != nullptr)
        return 0;
    g_log = bsv_open_log();
    if (g_log == nullptr) {
        log2_printf(nullptr, LOG2_DBG, "bsv", __FILE__, __LINE__, __func__, "bsv_open_log failed\n");
        return -1;
    }
    return 0;
}

int http_log_exit()
{
    std::lock_guard<std::mutex> g(g_log_lock);
    if (g_log == nullptr)
        return -1;
    bsv_close_log(g_log);
    g_log = nullptr;
    return 0;
}

char *http_log_stat()
{
    std::lock_guard<std::mutex> g(g_log_lock);
    return g_log != nullptr ? bsv_log_stat_text(g_log) : nullptr;
}

int http_log_read_json(const char *, str_buf *out, size_t size)
{
    constexpr size_t line_size = 1472;
    std::lock_guard<std::mutex> g(g_log_lock);
    const size_t start = out->len;
    str_buf_putc(out, '[');
    int rc = 0;
    char line[line_size];
    while (g_log != nullptr && out->len - start + line_size <= size) {
        int level = 0;
        rc = bsv_read_log(g_log, &level, line, sizeof(line));
        if (rc <= 0)
            break;
        char *escaped = str_escape_json_dup(line);
        str_buf_appendf(out, "{\"log\":\"%s\",\"level\":\"%s\"},", text_or_empty(escaped),
                        text_or_empty(log2_level_2_web_name(level)));
        os_free(escaped);
    }
    if (out->text[out->len - 1] == ',')
        out->text[out->len - 1] = ']';
    else
        str_buf_putc(out, ']');
    return rc;
}
