// Proxied connect: a direct connect to the proxy, then the handshake of its
// type over a plain socket connection. Requests are built into fixed
// buffers; answers are read to their exact length, never beyond.
#include "libnet/sock_proxy.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "libnet/net_verr.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_enc.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

constexpr size_t k_request_size = 4096;
// A proxy that never ends its header block must not hold the connect for ever.
constexpr int k_max_header_bytes = 65536;
constexpr size_t k_socks_field_max = 255;
constexpr size_t k_sock4_user_max = 4086;

// A request under construction; ok turns false when a part does not fit.
struct wire {
    std::array<uint8_t, 8192> data{};
    size_t len = 0;
    bool ok = true;

    void put(uint8_t b)
    {
        if (len < data.size())
            data[len++] = b;
        else
            ok = false;
    }
    void put16(uint32_t v)
    {
        put(static_cast<uint8_t>(v >> 8));
        put(static_cast<uint8_t>(v));
    }
    void put(const void *p, size_t n)
    {
        if (n > data.size() - len) {
            ok = false;
            return;
        }
        memcpy(data.data() + len, p, n);
        len += n;
    }
    void put_text(std::string_view s) { put(s.data(), s.size()); }
};

bool send_all(net_conn *conn, const void *p, size_t n)
{
    return net_write(conn, p, static_cast<int32_t>(n)) == static_cast<int32_t>(n);
}

bool is_ipv6_text(const char *host)
{
    const char *first = strchr(host, ':');
    return first != nullptr && strchr(first + 1, ':') != nullptr;
}

// Up to the blank line that ends the headers: CR LF CR LF. A byte out of
// place restarts the search (a CR may begin a new ending).
bool skip_headers(net_conn *conn)
{
    static constexpr char k_end[] = "\r\n\r\n";
    int matched = 0;
    for (int n = 0; n < k_max_header_bytes; n++) {
        char c = 0;
        if (net_read(conn, &c, 1) != 1)
            return false;
        if (c == k_end[matched])
            matched++;
        else
            matched = c == '\r' ? 1 : 0;
        if (matched == 4)
            return true;
    }
    return false;
}

struct socks5_reply_text {
    uint8_t code;
    const char *text;
};

constexpr std::array<socks5_reply_text, 8> k_socks5_errors = {{
    {1, "General SOCKS server failure!"},
    {2, "Connection not allowed by ruleset!"},
    {3, "Network unreachable!"},
    {4, "Host unreachable!"},
    {5, "Connection refused!"},
    {6, "TTL (packet time to live) expired!"},
    {7, "SOCKS Command not supported!"},
    {8, "Address type not supported!"},
}};

void socks5_reply_error(verr *err, uint8_t code)
{
    for (const auto &row : k_socks5_errors) {
        if (row.code == code) {
            NET_VERR(err, -1, "%s", row.text);
            return;
        }
    }
    NET_VERR(err, -1, "proxy unkown error: %d", code);
}

// The target address of a SOCKS5 connect request.
void socks5_put_target(wire &w, const char *host)
{
    os_ipaddr ip = {};
    if (os_ipv4_cstr_is_valid(host) && os_ipaddr_set(&ip, host, 0, OS_IPADDR_FAMILY_IPV4)) {
        w.put(1);
        w.put(os_ipaddr_ipv4(&ip)->addr, 4);
        return;
    }
    if (is_ipv6_text(host) && os_ipaddr_set(&ip, host, 0, OS_IPADDR_FAMILY_IPV6)) {
        w.put(4);
        w.put(os_ipaddr_ipv6(&ip)->addr, 16);
        return;
    }
    const size_t n = strlen(host);
    if (n > k_socks_field_max) {
        w.ok = false;
        return;
    }
    w.put(3);
    w.put(static_cast<uint8_t>(n));
    w.put(host, n);
}

}  // namespace

os_socket proxy_tcp_connect(const char *host, uint32_t port, sock_conn_opts *opts, verr *err)
{
    PL_ASSERT_RET(host && opts, 0);
    ZLOG_DBG("==>\n");
    const uint32_t type = opts->proxy.type;
    opts->proxy.type = PROXY_TYPE_NONE;
    const os_socket sock = sock_tcp_connect(opts->proxy.host, opts->proxy.port, opts, err);
    if (sock == 0) {
        ZLOG_DBG("connect proxy server %s:%d failed\n", opts->proxy.host, static_cast<int>(opts->proxy.port));
        opts->proxy.type = type;
        return 0;
    }
    ZLOG_DBG("connect proxy ip=%s port=%d ok!\n", opts->proxy.host, static_cast<int>(opts->proxy.port));
    net_conn conn = {};
    conn.type = NET_SOCK_TYPE;
    conn.handle = sock;
    conn.timeout = static_cast<int32_t>(opts->timeout);
    int r = -1;
    switch (type) {
    case PROXY_TYPE_HTTP:
        r = proxy_http_init(&conn, host, port, &opts->proxy, err);
        break;
    case PROXY_TYPE_SOCKS4:
        r = proxy_sock4_init(&conn, host, port, &opts->proxy, err);
        break;
    case PROXY_TYPE_SOCKS5:
        r = proxy_sock5_init(&conn, host, port, &opts->proxy, err);
        break;
    default:
        NET_VERR(err, -1, "Unsupported proxy type=%d", static_cast<int>(type));
        break;
    }
    opts->proxy.type = type;
    if (r != 0) {
        sock_close(sock);
        return 0;
    }
    return sock;
}

int proxy_http_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err)
{
    PL_ASSERT_RET(conn && host && proxy, -1);
    ZLOG_DBG("==>\n");
    char req[k_request_size];
    const int p = static_cast<int>(port);
    const int len = is_ipv6_text(host)
                        ? str_sprintf_s(req, sizeof(req), "CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n", host, p, host, p)
                        : str_sprintf_s(req, sizeof(req), "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n", host, p, host, p);
    bool ok = len > 0 && req[0] != '\0';
    // The credentials stay out of the log line.
    ZLOG_VERB("%s", req);
    if (ok && proxy->user[0] != '\0') {
        char pair[sizeof(proxy->user) + sizeof(proxy->pwd) + 2];
        char b64[PL_BASE64_ENCODE_LEN(sizeof(pair))];
        const int n = str_sprintf_s(pair, sizeof(pair), "%s:%s", proxy->user, proxy->pwd);
        ok = n > 0 && str_base64_encode(pair, static_cast<size_t>(n), b64, sizeof(b64)) >= 0 &&
             strcat_printf(req, sizeof(req), "Proxy-Authorization: Basic %s\r\n", b64) > 0;
        memset(pair, 0, sizeof(pair));
    }
    ok = ok && str_safecat(req, sizeof(req), "\r\n") == 0;
    if (!ok) {
        NET_VERR(err, -1, "proxy request too long");
        return -1;
    }
    if (!send_all(conn, req, strlen(req))) {
        NET_VERR(err, -1, "proxy send error");
        return -1;
    }
    char status[13] = {};
    const int32_t n = net_read(conn, status, 12);
    if (n != 12) {
        ZLOG_DBG("net_read ret=%d !=12 error\n", n);
        NET_VERR(err, -1, "proxy recv len error");
        return -1;
    }
    if (status[9] != '2') {
        ZLOG_DBG("net_read [%s] buf[9]=%c !=2 error\n", status, status[9]);
        NET_VERR(err, -1, status[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
        return -1;
    }
    if (!skip_headers(conn)) {
        NET_VERR(err, -1, "proxy read return error");
        return -1;
    }
    ZLOG_DBG("proxy init ok!!\n");
    return 0;
}

int proxy_sock4_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err)
{
    PL_ASSERT_RET(conn && host && proxy, -1);
    ZLOG_DBG("==>\n");
    if (is_ipv6_text(host)) {
        NET_VERR(err, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    os_ipaddr addr = {};
    if (!os_addrinfo_addr(host, &addr)) {
        NET_VERR(err, -2, "addrinfo_addr %s error", host);
        return -1;
    }
    if (os_ipaddr_family(&addr) != OS_IPADDR_FAMILY_IPV4) {
        NET_VERR(err, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    const uint8_t *ip = os_ipaddr_ipv4(&addr)->addr;
    const bool socks4a = ip[0] == 255 && ip[1] == 255 && ip[2] == 255 && ip[3] == 255;
    const size_t user_len = strlen(proxy->user);
    wire w;
    w.put(4);
    w.put(1);
    w.put16(port);
    if (socks4a) {
        ZLOG_DBG("use socks4a\n");
        const uint8_t marker[4] = {0, 0, 0, 1};
        w.put(marker, 4);
    } else {
        w.put(ip, 4);
    }
    ZLOG_VERB("hostaddr=%x\n", static_cast<unsigned>(ip[0]) << 24 | ip[1] << 16 | ip[2] << 8 | ip[3]);
    w.put(proxy->user, std::min(user_len, k_sock4_user_max));
    w.put(0);
    if (socks4a) {
        w.put_text(host);
        w.put(0);
    }
    if (!w.ok) {
        NET_VERR(err, -1, "proxy request too long");
        return -1;
    }
    if (!send_all(conn, w.data.data(), w.len)) {
        NET_VERR(err, -1, "proxy send error");
        return -1;
    }
    uint8_t reply[8] = {};
    const int32_t n = net_read(conn, reply, sizeof(reply));
    if (n != 8 || reply[0] != 0 || reply[1] != 90) {
        ZLOG_DBG("ret=%d error\n", n);
        NET_VERR(err, -1, "proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_sock5_init(net_conn *conn, const char *host, uint32_t port, const proxy_info *proxy, verr *err)
{
    PL_ASSERT_RET(conn && host && proxy, -1);
    ZLOG_VERB("=>\n");
    const bool with_user = proxy->user[0] != '\0';
    const uint8_t hello_plain[] = {5, 1, 0};
    const uint8_t hello_user[] = {5, 2, 0, 2};
    if (!(with_user ? send_all(conn, hello_user, sizeof(hello_user))
                    : send_all(conn, hello_plain, sizeof(hello_plain)))) {
        NET_VERR(err, -1, "proxy send error");
        return -1;
    }
    uint8_t buf[4] = {};
    int32_t n = net_read(conn, buf, 2);
    const bool refused = buf[1] == 0xff || (!with_user && buf[1] != 0) || (buf[1] != 0 && buf[1] != 2);
    if (n != 2 || buf[0] != 5 || refused) {
        ZLOG_DBG("nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", n, buf[0], buf[1]);
        NET_VERR(err, -2, "Proxy read return error");
        return -1;
    }
    if (buf[1] == 2) {
        const size_t ulen = strlen(proxy->user);
        const size_t plen = strlen(proxy->pwd);
        wire auth;
        auth.put(1);
        auth.put(static_cast<uint8_t>(ulen));
        auth.put(proxy->user, ulen);
        auth.put(static_cast<uint8_t>(plen));
        auth.put(proxy->pwd, plen);
        const bool fits = ulen <= k_socks_field_max && plen <= k_socks_field_max && auth.ok;
        const bool sent = fits && send_all(conn, auth.data.data(), auth.len);
        memset(auth.data.data(), 0, auth.len);
        n = sent ? net_read(conn, buf, 2) : -1;
        if (n != 2 || buf[1] != 0) {
            NET_VERR(err, -2, "Proxy password or user name error");
            return -1;
        }
    }
    wire req;
    req.put(5);
    req.put(1);
    req.put(0);
    socks5_put_target(req, host);
    req.put16(port);
    if (!req.ok) {
        NET_VERR(err, -1, "proxy request too long");
        return -1;
    }
    if (!send_all(conn, req.data.data(), req.len)) {
        NET_VERR(err, -1, "proxy send error");
        return -1;
    }
    n = net_read(conn, buf, 4);
    if (n != 4) {
        NET_VERR(err, -1, "proxy read return error");
        return -1;
    }
    if (buf[0] != 5 || buf[1] != 0) {
        socks5_reply_error(err, buf[1]);
        return -1;
    }
    // The bound address and port that follow, by their address type.
    int32_t rest = 0;
    if (buf[3] == 1) {
        rest = 6;
    } else if (buf[3] == 4) {
        rest = 18;
    } else if (buf[3] == 3) {
        uint8_t len = 0;
        if (net_read(conn, &len, 1) != 1)
            return -1;
        rest = len + 2;
    }
    uint8_t tail[257 + 2];
    return net_read(conn, tail, rest) == rest ? 0 : -1;
}
