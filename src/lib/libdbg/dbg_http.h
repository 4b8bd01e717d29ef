// The debug web tool: the HTTP library embedded in a TCP server of the
// connection library, one detached "http_cli" thread per connection, seven
// routes under "/" (the page, "cmd", "log", "config", "update", "metrics",
// "favicon.ico"), JSON replies and optional HTTP Basic authentication
// through the password checker (libpwd), which locks out an address after
// too many failed logins.
// Every route but the icon checks the Host header (an address literal,
// "localhost", this machine's name or a configured listen address) and the
// credentials; "cmd", "log", "config" and "update" also need the page token,
// drawn at random at each start, so that a page of another site cannot
// drive the shell. Log tag "dbghttp".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libhttpd/httpd.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/network/os_socket.h"

struct str_buf;

struct debug_http_param {
    // 0: the user and password below, checked by the password checker that
    // the tool starts with them; other: the checker as the caller started it.
    uint32_t auth_mode;
    const char *title;     // the page's title
    const char *user;      // mode 0: both nullptr or "" for no authentication
    const char *password;
    const char *prompt;    // shown before each console input line
};

constexpr const char *DBG_HTTP_REALM = "qaldo";
// The password checker the tool starts in mode 0: failed logins from one
// address before it is locked out, and for how long.
constexpr uint32_t DBG_HTTP_LOGIN_FAIL_LIMIT = 5;
constexpr uint32_t DBG_HTTP_LOGIN_LOCK_MINUTES = 15;
constexpr size_t DBG_HTTP_TOKEN_SIZE = 9;        // 8 decimal digits and a NUL
constexpr size_t DBG_HTTP_LOG_OUT_SIZE = 16384;  // about this much of "/log" per request
constexpr int DBG_HTTP_BACKLOG = 100;
// Connections served at once; one more is closed at once, so a flood of
// idle connections cannot take every thread the process may have.
constexpr int DBG_HTTP_MAX_RUNNING = 512;
// How long a stop waits for running requests before it leaves the release of
// the HTTP server to the last of them.
constexpr int DBG_HTTP_STOP_WAIT_MS = 3000;
// The output of one "/cmd" line kept for its reply. Past it the rest is
// dropped, the reply ends with "error: output cut at 1048576 bytes" on a line
// of its own, and a "source" stops at its next line.
constexpr size_t DBG_HTTP_CMD_OUT_SIZE = 1 << 20;

// Copies the block; its texts stay the caller's and must outlive the tool.
void debug_http_set_param(const debug_http_param *param);
// Starts the tool on every address of addrs (";" or "," separated; empty:
// all) at port; port 0 does nothing. 0 or -1. In mode 0 with only one of
// user and password set it does not start (an err line says both are
// needed, and it returns -2: the reason is said): the tool would otherwise
// run open.
int debug_http_server_init(const char *addrs, uint32_t port);
// Closes the listener, tells a "source" running in a request to stop, waits
// for the running requests (not for the calling one, when "exit" came through
// "/cmd"), and leaves the HTTP server to be freed by the last request still
// running. 0. dbg_http_server_stop waits DBG_HTTP_STOP_WAIT_MS;
// dbg_http_server_stop_by until deadline (os_tick_ms), a stop's bound shared
// with other waits.
int dbg_http_server_stop();
int dbg_http_server_stop_by(uint64_t deadline);
// The port the tool listens on, 0 when stopped; and its page token ("" when stopped).
uint32_t debug_http_server_port();
const char *debug_http_token();

// The accept callback (event thread) and the connection thread.
int http_accept_proc(os_socket sock, os_ipaddr *peer, void *udata);
int httpd_client_thread(void *job);
// 0 to go on, 1 when the 401 reply has been sent (with the checker's text
// when the address is locked out).
int is_need_auth(httpd_request *request);

// Runs line through the shell with its output captured and appends the
// reply [{"resp":"..."}] (the output up to the first command's end, at most
// DBG_HTTP_CMD_OUT_SIZE bytes, JSON escaped) to out. exec_commands' result.
int http_exec_cmd(const char *line, str_buf *out);
// The capture context's operations (out is http_exec_cmd's own capture).
int http_out_printf(void *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int http_out_write(void *out, const void *bytes, int len);
int http_out_flush(void *out);
// Why the command must stop: its output cut, or the tool stopping.
const char *http_out_ended(void *out);

// The reader of the "log" record stream behind "/log".
int http_log_init();
int http_log_exit();
// The reader's counters as text (free with os_free), or nullptr.
char *http_log_stat();
// Appends [{"log":"...","level":"..."},...] of the pending lines, stopping
// once the output has reached size less one line; "[]" when none is
// pending. The last read result.
int http_log_read_json(const char *token, str_buf *out, size_t size);

// The embedded page (a template of $title, $sh_psa and $token_value) and icon.
extern const char k_dbg_http_page[];
extern const unsigned char k_dbg_http_icon[];
extern const size_t k_dbg_http_icon_size;
