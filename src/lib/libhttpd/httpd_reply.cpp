// Everything that produces reply bytes: the header block, the output calls,
// template output and the status replies.
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#define ZLOG_TAG "httpd"
#include "libhttpd/httpd.h"
#include "libhttpd/httpd_content.h"
#include "liblog/zlog.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr int k_header_block_size = 4096;
constexpr int k_date_size = 40;
constexpr int k_realm_size = 255;
constexpr size_t k_var_name_max = 80;

// Fixed English names: the Date header must not follow the process locale.
constexpr const char *k_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *k_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void write_counted(httpd_request *r, const void *bytes, int length)
{
    if (length <= 0)
        return;
    const int32_t n = net_write(&r->conn, bytes, length);
    if (n > 0)
        r->bytes_sent += n;
}

// A status reply of the library: status line, header block without length,
// then the body lines.
void send_status_page(httpd_request *r, const char *status, std::initializer_list<const char *> body)
{
    char text[HTTPD_TEXT_SIZE];
    str_sprintf_s2(text, sizeof(text), "%s\r\n", status);
    httpdStatusSet(r, text);
    httpdHeadersOutNoLength(r);
    for (const char *line : body)
        httpdSendCountedText(r, line);
}

void send_401(httpd_request *r, const char *realm, const char *body)
{
    httpdStatusSet(r, "401 Please Authenticate\r\n");
    char line[k_realm_size];
    str_sprintf_s2(line, sizeof(line), "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm != nullptr ? realm : "");
    httpdHeaderAdd(r, line);
    httpdSendTemplate(r, body);
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

char *httpdDateText(char *buffer, time_t when)
{
    if (when == 0)
        when = ::time(nullptr);
    tm cal{};
    gmtime_r(&when, &cal);
    str_sprintf_s2(buffer, k_date_size, "%s, %02d %s %04d %02d:%02d:%02d GMT", k_days[cal.tm_wday % 7], cal.tm_mday,
                   k_months[cal.tm_mon % 12], cal.tm_year + 1900, cal.tm_hour, cal.tm_min, cal.tm_sec);
    return buffer;
}

void httpdStatusSet(httpd_request *r, const char *text) { str_safecopy2(r->status, sizeof(r->status), text); }

void httpdContentTypeSet(httpd_request *r, const char *text)
{
    str_safecopy2(r->content_type, sizeof(r->content_type), text);
}

void httpdHeaderAdd(httpd_request *r, const char *line)
{
    if (line == nullptr)
        return;
    const size_t used = std::strlen(r->headers);
    const size_t len = std::strlen(line);
    const bool add_crlf = len == 0 || line[len - 1] != '\n';
    // A line that does not fit whole is left out: a cut header line would
    // run into the next one.
    if (used + len + (add_crlf ? 2 : 0) >= sizeof(r->headers)) {
        ZLOG_DBG("header [%.40s] does not fit\n", line);
        return;
    }
    str_safecat(r->headers, sizeof(r->headers), line);
    if (add_crlf)
        str_safecat(r->headers, sizeof(r->headers), "\r\n");
}

void httpdCookieSet(httpd_request *r, const char *name, const char *value)
{
    char line[HTTPD_TEXT_SIZE];
    str_sprintf_s2(line, sizeof(line), "Set-Cookie: %s=%s; path=/;", name, value);
    httpdHeaderAdd(r, line);
}

void httpdHeadersSend(httpd_request *r, int length, time_t mtime)
{
    if (r->headers_sent != 0)
        return;
    r->headers_sent = 1;
    char date[k_date_size];
    char block[k_header_block_size];
    str_sprintf_s2(block, sizeof(block),
                   "HTTP/1.1 %s%sDate: %s\r\nConnection: close\r\nContent-Type: %s"
                   "Cache-Control: no-store, must-revalidate\r\nExpires: 0\r\nPragma: no-cache\r\n",
                   r->status, r->headers, httpdDateText(date, 0), r->content_type);
    if (length > 0) {
        char modified[k_date_size];
        strcat_printf2(block, sizeof(block), "Content-Length: %d\r\nLast-Modified: %s\r\n", length,
                       httpdDateText(modified, mtime));
    }
    str_safecat2(block, sizeof(block), "\r\n");
    net_write(&r->conn, block, static_cast<int32_t>(std::strlen(block)));
}

void httpdHeadersOutNoLength(httpd_request *r) { httpdHeadersSend(r, 0, 0); }

void httpdSendCountedText(httpd_request *r, const char *text)
{
    if (text != nullptr)
        write_counted(r, text, static_cast<int>(std::strlen(text)));
}

void httpdWriteRaw(httpd_request *r, const char *text)
{
    if (text != nullptr)
        net_write(&r->conn, text, static_cast<int32_t>(std::strlen(text)));
}

void httpdSendBytes(httpd_request *r, const void *bytes, int length)
{
    httpdHeadersSend(r, 0, 0);
    write_counted(r, bytes, length);
}

void httpdSendText(httpd_request *r, const char *text)
{
    httpdHeadersSend(r, 0, 0);
    httpdSendCountedText(r, text);
}

void httpdSendSized(httpd_request *r, const void *bytes, int length)
{
    httpdHeadersSend(r, length, 0);
    write_counted(r, bytes, length);
}

void httpdSendSizedText(httpd_request *r, const char *text)
{
    httpdSendSized(r, text, text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
}

void httpdSendPrintf(httpd_request *r, const char *format, ...)
{
    std::string out(HTTPD_OUT_SIZE, '\0');
    va_list ap;
    va_start(ap, format);
    str_vsprintf_s2(out.data(), out.size(), format, ap);
    va_end(ap);
    httpdSendText(r, out.c_str());
}

void httpdSendTemplate(httpd_request *r, const char *text)
{
    std::string out;
    constexpr size_t room = HTTPD_OUT_SIZE - 1;
    const char *p = text != nullptr ? text : "";
    while (*p != '\0' && out.size() < room) {
        if (*p == '$') {
            size_t n = 0;
            while (n < k_var_name_max && is_name_char(p[1 + n]))
                n++;
            if (n > 0) {
                const std::string name(p + 1, n);
                const httpd_var *var = httpdVarFind(r, name.c_str());
                if (var != nullptr && out.size() + std::strlen(var->value) <= room) {
                    out += var->value;
                    p += 1 + n;
                    continue;
                }
            }
        }
        out += *p++;
    }
    httpdSendText(r, out.c_str());
}

void httpdSend401(httpd_request *r, const char *realm) { send_401(r, realm, "\n"); }

int httpdRequireAuth(httpd_request *r, const char *realm)
{
    if (r->cred_len > 0)
        return 1;
    send_401(r, realm, "\r\n");
    return 0;
}

void httpdSend304(httpd_server *server, httpd_request *r)
{
    if (server->error304 != nullptr) {
        server->error304(server, r, 304);
        return;
    }
    send_status_page(r, "304 Not Modified", {});
}

void httpdSend403(httpd_server *server, httpd_request *r)
{
    if (server->error403 != nullptr) {
        server->error403(server, r, 403);
        return;
    }
    send_status_page(r, "403 Permission Denied",
                     {"<HTML><HEAD><TITLE>403 Permission Denied</TITLE></HEAD>\n",
                      "<BODY><H1>Access to the request URL was denied!</H1>\n"});
}

void httpdSend404(httpd_server *server, httpd_request *r)
{
    char msg[HTTPD_TEXT_SIZE];
    str_sprintf_s2(msg, sizeof(msg), "File does not exist: %s\n", str_log_text(r->path).c_str());
    httpdLogError(server, r, "error", msg);
    if (server->error404 != nullptr) {
        server->error404(server, r, 404);
        return;
    }
    send_status_page(r, "404 Not Found",
                     {"<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n",
                      "<BODY><H1>The request URL was not found!</H1>\n", "</BODY></HTML>\n"});
}

int httpdErrorCallbackSet(httpd_server *server, int code, httpd_error_callback callback)
{
    switch (code) {
    case 304:
        server->error304 = callback;
        return 0;
    case 403:
        server->error403 = callback;
        return 0;
    case 404:
        server->error404 = callback;
        return 0;
    default: {
        char msg[128];
        str_sprintf_s2(msg, sizeof(msg), "Invalid error code (%d) for custom callback", code);
        httpdLogError(server, nullptr, "error", msg);
        return -1;
    }
    }
}
