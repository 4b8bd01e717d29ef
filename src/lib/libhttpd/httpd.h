// The embeddable HTTP/1.1 server: the embedding application owns the
// listening socket and the threads; it creates one httpd_server, registers
// content under paths (httpd_content.h), and for each accepted connection
// creates a request, reads it, lets the library dispatch it and frees it.
// One reply per connection, then "Connection: close"; no keep-alive, no
// request body. Every reply carries "X-Content-Type-Options: nosniff" and
// "X-Frame-Options: DENY". Used by the debug web tool. Log tag "httpd".
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"

struct httpd_server;
struct httpd_request;
struct httpd_var;
struct httpd_dir;
struct httpd_content;
struct httpd_acl;

using httpd_callback = void (*)(httpd_server *server, httpd_request *request);
using httpd_preload = int (*)(httpd_server *server);
// A custom 304, 403 or 404 reply: produces the whole reply itself.
using httpd_error_callback = void (*)(httpd_server *server, httpd_request *request, int code);

constexpr int HTTPD_METHOD_NONE = 0;
constexpr int HTTPD_METHOD_GET = 1;
constexpr int HTTPD_METHOD_POST = 2;

constexpr int HTTPD_READ_BUF_SIZE = 4096;   // one refill of the read buffer
// The wait for a refill's first byte; the refill then takes what has already
// come, without waiting for more.
constexpr int HTTPD_TIMEOUT_MS = 2000;
constexpr int HTTPD_LINE_SIZE = 65536;      // a header line, NUL included
constexpr int HTTPD_TEXT_SIZE = 1024;       // path, host, status, header texts
constexpr int HTTPD_QUERY_SIZE = 16384;     // the query: a whole shell line, URL-encoded
constexpr int HTTPD_CRED_SIZE = 256;        // user and password, NUL included
constexpr int HTTPD_OUT_SIZE = 65536;       // template and formatted output
constexpr int HTTPD_METHOD_MAX = 16;        // a longer method is refused
// A request's headers must come whole within these bounds: a client that
// trickles bytes or sends headers without end cannot hold a thread.
constexpr int HTTPD_REQUEST_DEADLINE_MS = 10000;
constexpr int HTTPD_HEADER_MAX = 1 << 20;

struct httpd_server {
    int32_t start_time;  // seconds since the epoch; static content's modification time
    int32_t last_error;  // -3 no memory for a request, 2 the ACL refused one
    char file_base[HTTPD_TEXT_SIZE];
    httpd_dir *content;  // the root directory, named ""
    httpd_acl *acl;
    FILE *access_log;  // the caller's streams, or nullptr
    FILE *error_log;
    httpd_error_callback error304;
    httpd_error_callback error403;
    httpd_error_callback error404;
};

struct httpd_request {
    net_conn conn;  // the accepted socket, 2000 ms time-out
    char peer[80];  // the peer's host text, filled by the embedding application
    // The peer's address text, read by the ACL check and the two logs; filled
    // from the socket on accept.
    char client_addr[80];

    // Read state.
    char read_buf[HTTPD_READ_BUF_SIZE + 1];
    int32_t read_left;
    int32_t read_pos;
    uint64_t read_deadline;  // os_tick_ms after which no refill is made
    int64_t read_total;      // bytes taken for this request

    int32_t method;
    int32_t version;   // 1 "HTTP/1.0", 2 anything else
    int32_t gzip;      // the client accepts gzip
    // The decoded Basic credentials' length, 0 when none; -1 when they cannot
    // be read whole (a NUL byte inside, or user or password too long for its
    // buffer): no check may then compare them.
    int32_t cred_len;
    char method_text[HTTPD_METHOD_MAX + 1];
    char path[HTTPD_TEXT_SIZE];
    char query[HTTPD_QUERY_SIZE];
    char host[HTTPD_TEXT_SIZE];
    char if_modified_since[HTTPD_TEXT_SIZE];  // no header fills it
    char user[HTTPD_CRED_SIZE];
    char password[HTTPD_CRED_SIZE];

    // Reply state.
    int32_t bytes_sent;
    int32_t headers_sent;
    char headers[HTTPD_TEXT_SIZE];       // extra header lines, each ending in CR LF
    char status[HTTPD_TEXT_SIZE];        // "200 Output Follows\r\n"
    char content_type[HTTPD_TEXT_SIZE];  // "text/html\r\n"

    httpd_content *entry;  // what the dispatch found
    httpd_var *vars;
};

// Server. Requires for free: no request of the server is still being served.
httpd_server *httpdServerNew();
void httpdServerFree(httpd_server *server);

// A request bound to the socket (2000 ms time-out), or nullptr: out of memory
// (last error -3; the socket is the caller's), or refused by the ACL (last
// error 2; the 403 reply has been sent and the socket closed).
httpd_request *httpdAccpetConnection(os_socket sock, httpd_server *server);
// Reads the request line and headers. 0; -1 for an unsupported method (its
// short error text sent), for a path or query too long for its buffer, and
// for headers that did not end with their empty line (cut off, over their
// deadline or over HTTPD_HEADER_MAX bytes): none of them may run cut short.
int httpdReadRequest(httpd_server *server, httpd_request *request);
// 1 when count bytes were read, 0 when the input ended first.
int httpdReadBytes(httpd_request *request, void *buffer, int count);
void httpdProcessRequest(httpd_server *server, httpd_request *request);
// Frees the variables, closes the connection (after its reply has left:
// see httpdRequestClose) and frees the record.
void httpdRequestFree(httpd_request *request);
// Stops sending, then reads and drops what the client still sends for a
// short bounded time before closing, so that a client whose request body was
// never read receives the reply instead of a reset.
void httpdRequestClose(httpd_request *request);
// Shuts a raw descriptor down both ways and closes it.
void httpdSocketEnd(int fd);

// Reply set-up, before any output.
void httpdStatusSet(httpd_request *request, const char *text);
void httpdContentTypeSet(httpd_request *request, const char *text);
void httpdHeaderAdd(httpd_request *request, const char *line);
void httpdCookieSet(httpd_request *request, const char *name, const char *value);

// Output; each sends the header block first when it has not been sent.
void httpdSendBytes(httpd_request *request, const void *bytes, int length);
void httpdSendText(httpd_request *request, const char *text);
void httpdSendSized(httpd_request *request, const void *bytes, int length);
void httpdSendSizedText(httpd_request *request, const char *text);
void httpdSendPrintf(httpd_request *request, const char *format, ...) __attribute__((format(printf, 2, 3)));
// "$name" replaced by the first value of the request variable name.
void httpdSendTemplate(httpd_request *request, const char *text);
void httpdSendCountedText(httpd_request *request, const char *text);
void httpdWriteRaw(httpd_request *request, const char *text);
void httpdHeadersOutNoLength(httpd_request *request);
// The header block, at most once: length above 0 adds Content-Length and
// Last-Modified (mtime, or now when 0).
void httpdHeadersSend(httpd_request *request, int length, time_t mtime);

// Replies.
void httpdSend304(httpd_server *server, httpd_request *request);
void httpdSend403(httpd_server *server, httpd_request *request);
void httpdSend404(httpd_server *server, httpd_request *request);
void httpdSend401(httpd_request *request, const char *realm);
// 1 when the request carries Basic credentials (not checked here), else the
// 401 reply is sent and 0 returned.
int httpdRequireAuth(httpd_request *request, const char *realm);
// 0 for 304, 403 and 404; -1 for another code.
int httpdErrorCallbackSet(httpd_server *server, int code, httpd_error_callback callback);

const char *httpdMethodName(const httpd_request *request);
// "%a, %d %b %Y %T GMT" of time (now when 0) into 40 bytes.
char *httpdDateText(char *buffer, time_t time);
// Standard alphabet, stops at the first other character; the result and its
// NUL fit in size. The decoded length.
int httpdBase64Decode(const char *text, char *output, int size);

// The reader's steps, offered to the fuzz target and tests.
int httpdReadByte(httpd_request *request);
// At most size - 1 characters: the length, or -1 when the input ended first.
int httpdReadLine(httpd_request *request, char *line, int size);
// Reduces path in place: runs of "/" to one, "." segments dropped, every ".."
// segment removes the component before it (never above the root).
void httpdPathSanitize(char *path);
