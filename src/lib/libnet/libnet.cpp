// Connections: dispatch of every transfer by the connection's type, close and
// reset, the memory and named-pipe transports, outgoing connections from a
// URL, and the TLS hook slots.
#include "libnet/libnet.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libnet/proxy_conf.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_event.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/mem_small.h"
#include "libpal/os/posix/os_name_pipe.h"
#include "libpal/os/posix/os_serial.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpal/utils/var_chk.h"

#define ZLOG_TAG "net"
#include "libpal/env/pl_assert.h"

namespace {

std::atomic<net_ssl_read_cb> g_ssl_read_proc{nullptr};
std::atomic<net_ssl_write_cb> g_ssl_write_proc{nullptr};

// A request/reply buffer: writes collect a message, reads consume it, and
// the next write after a read starts a new one.
struct net_mem {
    mem_buf buf;
    uint64_t roff;
};

constexpr uint64_t k_mem_reserve = 4096;

net_mem *mem_new()
{
    auto *m = static_cast<net_mem *>(os_zalloc(sizeof(net_mem)));
    if (m == nullptr)
        return nullptr;
    if (mem_buf_init(&m->buf, k_mem_reserve) != 0) {
        os_free(m);
        return nullptr;
    }
    return m;
}

void mem_free(net_mem *m)
{
    mem_ptr_exit(&m->buf);
    os_free(m);
}

net_mem *mem_of(net_conn *conn)
{
    return reinterpret_cast<net_mem *>(static_cast<uintptr_t>(conn->handle));
}

int32_t mem_read(net_conn *conn, void *buf, int32_t len)
{
    net_mem *m = mem_of(conn);
    PL_ASSERT_RET(m!=NULL, -1);
    const uint64_t left = m->buf.length - m->roff;
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(len), left);
    if (n > 0)
        memcpy(buf, m->buf.data + m->roff, n);
    m->roff += n;
    return static_cast<int32_t>(n);
}

int32_t mem_write(net_conn *conn, const void *buf, int32_t len)
{
    net_mem *m = mem_of(conn);
    PL_ASSERT_RET(m!=NULL, -1);
    if (m->roff > 0) {
        mem_buf_set_len(&m->buf, 0);
        m->roff = 0;
    }
    return mem_buf_append(&m->buf, buf, static_cast<uint64_t>(len)) == 0 ? len : -1;
}

// A failed precondition reported under the expression text callers know.
void report_failed(const char *expr)
{
    ZLOG_ERR("expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}

bool is_pipe(const net_conn *conn)
{
    if (conn->type == NET_PIPE_SRV_TYPE || conn->type == NET_PIPE_CLI_TYPE)
        return true;
    report_failed("nc->type == NET_PIPE_CLI_TYPE");
    return false;
}

int32_t npipe_read(net_conn *conn, void *buf, int32_t len)
{
    const uint64_t h = conn->handle;
    if (is_pipe(conn) && conn->type == NET_PIPE_SRV_TYPE) {
        auto *srv = reinterpret_cast<os_name_pipe_srv *>(static_cast<uintptr_t>(h));
        const int64_t r = os_name_pipe_srv_read(srv, buf, static_cast<size_t>(len), conn->timeout);
        // A killed server ends the session; any other failure reads as no data.
        if (r < 0 && errno == ECANCELED)
            return -1;
        if (r < 0) {
            ZLOG(LOG2_VERB | LOG2_F_ERRNO, "os_name_pipe_srv_read error: ");
            return 0;
        }
        return static_cast<int32_t>(r);
    }
    auto *cli = reinterpret_cast<os_name_pipe_cli *>(static_cast<uintptr_t>(h));
    return static_cast<int32_t>(os_name_pipe_cli_read(cli, buf, static_cast<size_t>(len)));
}

int32_t npipe_write(net_conn *conn, const void *buf, int32_t len)
{
    const uint64_t h = conn->handle;
    if (is_pipe(conn) && conn->type == NET_PIPE_SRV_TYPE) {
        auto *srv = reinterpret_cast<os_name_pipe_srv *>(static_cast<uintptr_t>(h));
        return static_cast<int32_t>(os_name_pipe_srv_write(srv, buf, static_cast<size_t>(len)));
    }
    auto *cli = reinterpret_cast<os_name_pipe_cli *>(static_cast<uintptr_t>(h));
    return static_cast<int32_t>(os_name_pipe_cli_write(cli, buf, static_cast<size_t>(len)));
}

// The setting checked against 1 to 600 s, its default when out of range.
int query_seconds(const char *url, const char *key, int def)
{
    return var_int_check(url_get_query_int(url, key, def), key, 1, 600, def);
}

}  // namespace

int32_t net_read(net_conn *conn, void *buf, int32_t len)
{
    PL_ASSERT_RET(conn && buf && len >= 0, -1);
    switch (conn->type) {
    case NET_SOCK_TYPE:
    case NET_SOCK2_TYPE:
        return conn->ssl != nullptr ? net_ssl_read_proc(conn, buf, len) : net_sock_read(conn, buf, len);
    case NET_STDIO_TYPE:
        return static_cast<int32_t>(fread(buf, 1, static_cast<size_t>(len), stdin));
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
        return npipe_read(conn, buf, len);
    case NET_SERIAL_TYPE:
        return static_cast<int32_t>(
            os_serial_read(static_cast<int>(conn->handle), buf, static_cast<size_t>(len), conn->timeout));
    case NET_MEM_TYPE:
        return mem_read(conn, buf, len);
    default:
        return -1;
    }
}

int32_t net_write(net_conn *conn, const void *buf, int32_t len)
{
    if (len == 0)
        return 0;
    PL_ASSERT_RET(conn && buf && len > 0, -1);
    switch (conn->type) {
    case NET_SOCK_TYPE:
    case NET_SOCK2_TYPE:
        return conn->ssl != nullptr ? net_ssl_write_proc(conn, buf, len) : net_sock_write(conn, buf, len);
    case NET_STDIO_TYPE:
        fwrite(buf, 1, static_cast<size_t>(len), stdout);
        fflush(stdout);
        return len;
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
        return npipe_write(conn, buf, len);
    case NET_SERIAL_TYPE:
        return static_cast<int32_t>(
            os_serial_write(static_cast<int>(conn->handle), buf, static_cast<size_t>(len)));
    case NET_MEM_TYPE:
        return mem_write(conn, buf, len);
    default:
        return -1;
    }
}

void net_reset(net_conn *conn)
{
    PL_ASSERT_RET_VOID(conn!=NULL);
    conn->disconnected = 0;
    conn->stop.store(0);
}

int net_close(net_conn *conn)
{
    PL_ASSERT_RET(conn!=NULL, -1);
    net_reset(conn);
    switch (conn->type) {
    case NET_SOCK_TYPE:
    case NET_SOCK2_TYPE:
        if (conn->handle != 0) {
            sock_close(conn->handle);
            conn->handle = 0;
        }
        return 0;
    case NET_STDIO_TYPE:
    case NET_PIPE_SRV_TYPE:
    case NET_PIPE_CLI_TYPE:
        return 0;
    case NET_MEM_TYPE:
        if (conn->handle != 0) {
            mem_free(mem_of(conn));
            conn->handle = 0;
        }
        return 0;
    default:
        return -1;
    }
}

int net_open2(net_conn *conn, const char *url, verr *err)
{
    PL_ASSERT_RET(conn && url, -1);
    if (err == nullptr) {
        report_failed("errp!=NULL");
        return -1;
    }
    url_info info = {};
    char store[URL_BUF_SIZE];
    if (url_parser(&info, store, url) != 0) {
        ZLOG_ERR("url [%s] syntax error\n", url);
        return -1;
    }
    if (strcmp(info.protocol, "net") == 0 && strcmp(info.host, "mem") == 0) {
        net_mem *m = mem_new();
        if (m == nullptr)
            return -1;
        conn->type = NET_MEM_TYPE;
        conn->handle = reinterpret_cast<uintptr_t>(m);
        return 0;
    }
    const int connect_timeout = query_seconds(url, "connect_timeout", 6);
    const int read_timeout = query_seconds(url, "read_timeout", 15);
    char proxy_name[256];
    char proxy_url[256];
    url_get_query_buf(url, "proxy", "", proxy_name, sizeof(proxy_name));
    url_get_query_buf(url, "proxy_url", "", proxy_url, sizeof(proxy_url));
    if (conn->timeout == 0)
        conn->timeout = read_timeout * 1000;
    if (!url_proto_is_supported(&info)) {
        ZLOG_ERR("unkouwn protocol [%s]\n", info.protocol);
        return -1;
    }
    sock_conn_opts opts = {};
    opts.timeout = static_cast<uint32_t>(connect_timeout) * 1000;
    opts.abort = conn->abort;
    const int chosen = conf_proxy_get(proxy_url, proxy_name, &opts.proxy, err);
    if (chosen < 0) {
        ZLOG_ERR("conf_proxy_get [%s] error: %s", proxy_name, verr_msg(err));
        return chosen;
    }
    const int port = url_get_port(&info);
    if (port == 0) {
        ZLOG_ERR("needs to specify the port");
        return -1;
    }
    conn->type = NET_SOCK_TYPE;
    conn->handle = sock_tcp_connect(info.host, static_cast<uint32_t>(port), &opts, err);
    if (conn->handle == 0) {
        char safe[URL_BUF_SIZE];
        ZLOG_DBG("tcp_connect %s error: %s\n", url_safe_fmt(url, safe), verr_msg(err));
        return -1;
    }
    if (url_proto_is_tls(&info)) {
        ZLOG_ERR("ssl support is not enabled");
        sock_close(conn->handle);
        conn->handle = 0;
        return -1;
    }
    return 0;
}

int net_open(net_conn *conn, const char *url, int connect_timeout_ms)
{
    PL_ASSERT_RET(conn && url, -1);
    char buf[URL_BUF_SIZE];
    if (str_safecopy(buf, sizeof(buf), url) != 0)
        return -1;
    url_set_query_int_always(buf, "connect_timeout", connect_timeout_ms / 1000);
    verr err = {};
    return net_open2(conn, buf, &err);
}

int net_init()
{
    return 0;
}

int net_exit()
{
    sock_env_exit();
    return 0;
}

void net_ssl_set_proc(net_ssl_read_cb read_cb, net_ssl_write_cb write_cb)
{
    g_ssl_read_proc.store(read_cb);
    g_ssl_write_proc.store(write_cb);
}

void net_ssl_set_conn_proc(net_conn *conn, net_ssl_read_cb read_cb, net_ssl_write_cb write_cb)
{
    PL_ASSERT_RET_VOID(conn!=NULL);
    conn->ssl_read = read_cb;
    conn->ssl_write = write_cb;
}

int32_t net_ssl_read_proc(net_conn *conn, void *buf, int32_t len)
{
    if (conn->ssl_read != nullptr)
        return conn->ssl_read(conn, buf, len);
    net_ssl_read_cb cb = g_ssl_read_proc.load();
    if (cb == nullptr) {
        report_failed("g_ssl_read_proc!=NULL");
        return -1;
    }
    return cb(conn, buf, len);
}

int32_t net_ssl_write_proc(net_conn *conn, const void *buf, int32_t len)
{
    if (conn->ssl_write != nullptr)
        return conn->ssl_write(conn, buf, len);
    net_ssl_write_cb cb = g_ssl_write_proc.load();
    if (cb == nullptr) {
        report_failed("g_ssl_write_proc!=NULL");
        return -1;
    }
    return cb(conn, buf, len);
}
