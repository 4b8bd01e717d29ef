// Server and request objects, reading and parsing a request, and the
// dispatch to registered content.
#include "libhttpd/httpd.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#define ZLOG_TAG "httpd"
#include "libhttpd/httpd_content.h"
#include "liblog/zlog.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_base64.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_safe.h"

namespace {

// Every reply: a browser never sniffs a reply into a page of another type,
// nor shows one inside another site's frame, so that text a peer put into a
// reply (a log line, an export name) never runs as a page.
constexpr char k_server_header[] =
    "Server: QALDO Http Server\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";
constexpr char k_status_ok[] = "200 Output Follows\r\n";
constexpr char k_type_html[] = "text/html\r\n";
constexpr char k_bad_method[] = "\n<B>ERROR : Method Not Implemented</B>\n\n";
constexpr char k_b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// After the reply, what the client still sends is read and dropped for at
// most this long (and this much) before the close.
constexpr int k_linger_ms = 1000;
constexpr int64_t k_linger_bytes = 64 << 20;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

bool istarts(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

void copy_view(char *dest, size_t size, std::string_view s)
{
    const size_t n = std::min(s.size(), size - 1);
    if (n > 0)
        std::memcpy(dest, s.data(), n);
    dest[n] = '\0';
}

void reset_reply(httpd_request *r)
{
    str_safecopy(r->headers, sizeof(r->headers), k_server_header);
    str_safecopy(r->content_type, sizeof(r->content_type), k_type_html);
    str_safecopy(r->status, sizeof(r->status), k_status_ok);
    r->headers_sent = 0;
}

void parse_credentials(httpd_request *r, std::string_view b64)
{
    // Decoded whole (the header line bounds it), so that nothing is cut
    // before the checks below.
    std::vector<char> decoded(b64.size() * 3 / 4 + 2);
    const std::string text(b64);
    r->cred_len = httpdBase64Decode(text.c_str(), decoded.data(), static_cast<int>(decoded.size()));
    const std::string_view creds(decoded.data(), static_cast<size_t>(r->cred_len));
    const size_t colon = creds.find(':');
    const std::string_view user = creds.substr(0, colon);
    const std::string_view password = colon == std::string_view::npos ? std::string_view() : creds.substr(colon + 1);
    copy_view(r->user, sizeof(r->user), user);
    copy_view(r->password, sizeof(r->password), password);
    // "pw\0junk" must never be read as "pw", nor a long password as its start.
    if (creds.find('\0') != std::string_view::npos || user.size() >= sizeof(r->user) ||
        password.size() >= sizeof(r->password))
        r->cred_len = -1;
}

void parse_header(httpd_request *r, std::string_view line)
{
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Authorization")) {
        if (value.substr(0, 6) == "Basic ")
            parse_credentials(r, value.substr(6));
    } else if (iequals(name, "Host")) {
        copy_view(r->host, sizeof(r->host), value);
    } else if (iequals(name, "Accept-Encoding")) {
        if (istarts(value, "gzip"))
            r->gzip = 1;
    }
}

// The request line: method, URL (path and query apart), version. false for a
// method other than GET and POST, after its error text has been sent.
bool parse_request_line(httpd_server *server, httpd_request *r, std::string_view line)
{
    size_t n = 0;
    while (n < line.size() && std::isalpha(static_cast<unsigned char>(line[n])))
        n++;
    const std::string_view method = line.substr(0, n);
    copy_view(r->method_text, sizeof(r->method_text), method);
    if (iequals(method, "GET"))
        r->method = HTTPD_METHOD_GET;
    else if (iequals(method, "POST"))
        r->method = HTTPD_METHOD_POST;
    if (r->method == HTTPD_METHOD_NONE || method.size() > HTTPD_METHOD_MAX) {
        r->method = HTTPD_METHOD_NONE;
        ZLOG_VERB("r->request.method [%s] invalid\n", r->method_text);
        r->conn.disconnected = 0;  // a client that closed its sending side still reads
        httpdWriteRaw(r, k_bad_method);
        httpdWriteRaw(r, r->method_text);
        httpdLogError(server, r, "error", "Invalid method received");
        return false;
    }
    std::string_view rest = line.substr(n);
    while (!rest.empty() && is_blank(rest.front()))
        rest.remove_prefix(1);
    const size_t url_end = rest.find_first_of(" \t");
    std::string_view url = rest.substr(0, url_end);
    std::string_view version = url_end == std::string_view::npos ? std::string_view() : trim(rest.substr(url_end));
    version = version.substr(0, version.find_first_of(" \t"));
    r->version = version == "HTTP/1.0" ? 1 : 2;
    // The query is split off before the path is cleaned: its values are the
    // client's data, not path components.
    const size_t q = url.find('?');
    const std::string_view query = q == std::string_view::npos ? std::string_view() : url.substr(q + 1);
    url = url.substr(0, q);
    if (url.size() >= sizeof(r->path) || query.size() >= sizeof(r->query)) {
        ZLOG_DBG("request URL of %zu bytes too long\n", url.size() + query.size());
        return false;
    }
    copy_view(r->query, sizeof(r->query), query);
    copy_view(r->path, sizeof(r->path), url);
    httpdPathSanitize(r->path);
    return true;
}

// The time left for the request's headers; 0 when it has run out.
int64_t time_left(const httpd_request *r)
{
    if (r->read_deadline == 0)
        return HTTPD_TIMEOUT_MS;
    const uint64_t now = os_tick_ms();
    return now >= r->read_deadline ? 0 : static_cast<int64_t>(r->read_deadline - now);
}

}  // namespace

httpd_server *httpdServerNew()
{
    void *mem = os_zalloc(sizeof(httpd_server));
    if (mem == nullptr)
        return nullptr;
    auto *server = new (mem) httpd_server{};
    server->start_time = static_cast<int32_t>(::time(nullptr));
    server->content = httpdDirFind(server, "", 1);
    if (server->content == nullptr) {
        os_free(server);
        return nullptr;
    }
    return server;
}

void httpdServerFree(httpd_server *server)
{
    if (server == nullptr)
        return;
    httpdContentFree(server);
    httpdAclFree(server->acl);
    os_free(server);
}

httpd_request *httpdAccpetConnection(os_socket sock, httpd_server *server)
{
    void *mem = os_zalloc(sizeof(httpd_request));
    if (mem == nullptr) {
        server->last_error = -3;
        return nullptr;
    }
    auto *r = new (mem) httpd_request{};
    r->conn.type = NET_SOCK_TYPE;
    r->conn.handle = sock;
    r->conn.timeout = HTTPD_TIMEOUT_MS;
    // The ACL's refusal below is a reply too: it needs the default state.
    reset_reply(r);
    os_ipaddr peer{};
    const bool ip_peer = os_socket_peer(sock, &peer) && (os_ipaddr_family(&peer) == OS_IPADDR_FAMILY_IPV4 ||
                                                         os_ipaddr_family(&peer) == OS_IPADDR_FAMILY_IPV6);
    if (ip_peer)
        os_ipaddr_ip_cstr(&peer, r->client_addr, sizeof(r->client_addr));
    if (server->acl != nullptr && httpdAclCheck(server, r, server->acl) != HTTPD_ACL_ALLOW) {
        httpdRequestFree(r);
        server->last_error = 2;
        return nullptr;
    }
    return r;
}

int httpdReadByte(httpd_request *r)
{
    if (r->read_left <= 0) {
        if (r->read_total >= HTTPD_HEADER_MAX)
            return -1;
        const int64_t left = time_left(r);
        if (left == 0)
            return -1;
        // The first byte is waited for; the rest is what has already come.
        // A request that is whole is answered at once, and one still
        // arriving is read on at its next refill.
        r->conn.timeout = static_cast<int32_t>(std::min<int64_t>(left, HTTPD_TIMEOUT_MS));
        int32_t n = net_read(&r->conn, r->read_buf, 1);
        r->conn.timeout = HTTPD_TIMEOUT_MS;
        if (n <= 0)
            return -1;
        const int32_t more = net_read_avail(&r->conn, r->read_buf + 1, HTTPD_READ_BUF_SIZE - 1);
        if (more > 0)
            n += more;
        r->read_buf[n] = '\0';
        r->read_left = n;
        r->read_pos = 0;
        r->read_total += n;
    }
    r->read_left--;
    return static_cast<unsigned char>(r->read_buf[r->read_pos++]);
}

int httpdReadBytes(httpd_request *r, void *buffer, int count)
{
    auto *out = static_cast<char *>(buffer);
    for (int i = 0; i < count; i++) {
        const int c = httpdReadByte(r);
        if (c < 0)
            return 0;
        out[i] = static_cast<char>(c);
    }
    return 1;
}

int httpdReadLine(httpd_request *r, char *line, int size)
{
    int n = 0;
    for (;;) {
        const int c = httpdReadByte(r);
        if (c < 0) {
            line[0] = '\0';
            return -1;
        }
        if (c == '\r')
            continue;
        if (c == '\n' || c >= 0x80)
            break;
        line[n++] = static_cast<char>(c);
        if (n == size - 1)
            break;
    }
    line[n] = '\0';
    return n;
}

int httpdReadRequest(httpd_server *server, httpd_request *r)
{
    reset_reply(r);
    r->read_deadline = os_tick_ms() + HTTPD_REQUEST_DEADLINE_MS;
    std::vector<char> line(HTTPD_LINE_SIZE);
    bool first = true;
    bool whole = false;
    int n;
    while ((n = httpdReadLine(r, line.data(), HTTPD_LINE_SIZE)) >= 0) {
        if (n == 0) {
            whole = true;
            break;
        }
        const std::string_view text(line.data(), std::strlen(line.data()));
        if (first) {
            first = false;
            if (!parse_request_line(server, r, text))
                return -1;
        } else {
            parse_header(r, text);
        }
    }
    // A client may close its sending side once its request is out (the
    // connection layer then marks the whole connection gone): it still reads
    // the reply, and a peer really gone fails the write on its own.
    r->conn.disconnected = 0;
    if (!whole && r->read_total > 0) {
        ZLOG_DBG("request [%s] cut off before the end of its headers\n", str_log_text(r->path).c_str());
        return -1;
    }
    if (r->query[0] != '\0') {
        std::string query(r->query);
        httpdQueryParse(r, query.data());
    }
    return 0;
}

void httpdProcessRequest(httpd_server *server, httpd_request *r)
{
    r->bytes_sent = 0;
    const char *slash = std::strrchr(r->path, '/');
    if (slash == nullptr) {
        ZLOG_DBG("Invalid request path '%s'\n", str_log_text(r->path).c_str());
        return;
    }
    char dir[HTTPD_TEXT_SIZE];
    const size_t dir_len = slash == r->path ? 1 : static_cast<size_t>(slash - r->path);
    copy_view(dir, sizeof(dir), std::string_view(r->path, dir_len));
    char name[HTTPD_TEXT_SIZE];
    str_safecopy2(name, sizeof(name), slash + 1);

    httpd_dir *d = httpdDirFind(server, dir, 0);
    httpd_content *entry = d != nullptr ? httpdEntryFind(r, d, name) : nullptr;
    if (entry == nullptr) {
        httpdSend404(server, r);
        httpdLogAccess(server, r);
        return;
    }
    if (entry->preload == nullptr || entry->preload(server) >= 0) {
        switch (entry->type) {
        case HTTPD_FILE:
            httpdSendFile(server, r, entry->path);
            break;
        case HTTPD_CALLBACK:
        case HTTPD_WILDCARD_CALLBACK:
            entry->callback(server, r);
            break;
        case HTTPD_STATIC:
            httpdSendStatic(server, r, entry->static_text);
            break;
        case HTTPD_WILDCARD_DIR:
            httpdSendWildcardFile(server, r, entry, name);
            break;
        default:
            break;
        }
    }
    httpdLogAccess(server, r);
}

void httpdRequestClose(httpd_request *r)
{
    if (r->conn.handle == 0)
        return;
    const os_socket sock = r->conn.handle;
    if (r->conn.disconnected == 0 && (r->bytes_sent > 0 || r->headers_sent != 0)) {
        os_socket_kill(sock, 1);
        const uint64_t end = os_tick_ms() + k_linger_ms;
        char sink[4096];
        int64_t dropped = 0;
        r->conn.timeout = 0;
        while (dropped < k_linger_bytes) {
            const uint64_t now = os_tick_ms();
            if (now >= end || net_wait_readable(&r->conn, static_cast<int32_t>(end - now)) <= 0)
                break;
            const int32_t got = net_read_avail(&r->conn, sink, sizeof(sink));
            if (got <= 0)
                break;
            dropped += got;
        }
        // Both directions are shut now: the connection layer's own shutdown
        // would only fail with ENOTCONN.
        os_socket_exit(sock);
        r->conn.handle = 0;
        return;
    }
    net_close(&r->conn);
}

void httpdRequestFree(httpd_request *r)
{
    if (r == nullptr)
        return;
    httpdVarFreeAll(r);
    httpdRequestClose(r);
    os_free(r);
}

void httpdSocketEnd(int fd)
{
    if (fd < 0)
        return;
    const auto sock = static_cast<os_socket>(fd) + 1;
    os_socket_kill(sock, 2);
    os_socket_exit(sock);
}

const char *httpdMethodName(const httpd_request *r)
{
    switch (r->method) {
    case HTTPD_METHOD_GET:
        return "GET";
    case HTTPD_METHOD_POST:
        return "POST";
    default:
        return "INVALID";
    }
}

int httpdBase64Decode(const char *text, char *output, int size)
{
    if (output == nullptr || size <= 0)
        return 0;
    output[0] = '\0';
    if (text == nullptr)
        return 0;
    while (is_blank(*text))
        text++;
    size_t len = std::strspn(text, k_b64_alphabet);
    // The longest prefix whose decoded bytes and a NUL fit.
    while (len * 3 / 4 > static_cast<size_t>(size - 1))
        len--;
    const std::string prefix(text, len);
    const int n = str_base64_decode(prefix.c_str(), output, static_cast<size_t>(size - 1));
    const int kept = n < 0 ? 0 : n;
    output[kept] = '\0';
    return kept;
}

void httpdPathSanitize(char *path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    const std::string_view in(path);
    const bool absolute = in.front() == '/';
    std::vector<std::string_view> parts;
    bool trailing = false;
    size_t pos = 0;
    while (pos <= in.size()) {
        size_t end = in.find('/', pos);
        if (end == std::string_view::npos)
            end = in.size();
        const std::string_view seg = in.substr(pos, end - pos);
        const bool last = end == in.size();
        if (seg == "..") {
            if (!parts.empty())
                parts.pop_back();
            trailing = true;
        } else if (seg == ".") {
            trailing = true;
        } else if (!seg.empty()) {
            parts.push_back(seg);
            trailing = false;
        } else {
            trailing = !parts.empty() || absolute;
        }
        if (last)
            break;
        pos = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0)
            out += '/';
        out += parts[i];
    }
    if (trailing && !parts.empty())
        out += '/';
    std::memcpy(path, out.c_str(), out.size() + 1);
}
