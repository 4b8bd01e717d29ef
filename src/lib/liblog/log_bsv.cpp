// The log collector sink.
#define ZLOG_TAG "bsv"

#include "liblog/log_bsv.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "libbsv/bsv.h"
#include "libbsv/bsv_net.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_udp.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/log_net.h"
#include "liblog/zlog.h"

namespace {

// Closing waits this long for the opener before giving up on it.
constexpr int k_close_join_ms = 1000;
// "opening" of an opener the stop has let go.
constexpr uint32_t k_let_go = 2;

// Starts "bsvnet"; false when it cannot start (the sink is then closed).
bool start_opener(log_bsv *sink)
{
    sink->opener = os_thread_init("bsvnet", net_open_thread, sink, 0);
    if (sink->opener != nullptr)
        return true;
    bsv_set_net_cb(nullptr, nullptr);
    os_mutex_guard guard(sink->lock);
    sink->opening = 0;
    fprintf(stderr, "log collector %s: thread bsvnet cannot start\n", sink->url);
    sink->url[0] = '\0';
    return false;
}

// A datagram socket connected to the collector, its name resolved by the
// logger's resolver: an os_udp handle (the descriptor + 1), 0 when none.
uint64_t open_socket(const log_bsv *sink)
{
    char service[16];
    snprintf(service, sizeof(service), "%u", sink->port);
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (log_net_resolve(sink->host, service, SOCK_DGRAM, &addr, &len) != 0)
        return 0;
    const int fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        close(fd);
        return 0;
    }
    return static_cast<uint64_t>(fd) + 1;
}

// Closes the socket and forgets the URL and the kept packet.
void shut(log_bsv *sink)
{
    os_mutex_guard guard(sink->lock);
    if (sink->socket != 0) {
        os_udp_close(sink->socket);
        sink->socket = 0;
    }
    sink->pending_len = 0;
    sink->opening = 0;
    sink->url[0] = '\0';
}

bool known_scheme(const char *scheme, bool *cipher)
{
    *cipher = strcasecmp(scheme, "udps") == 0;
    return *cipher || strcasecmp(scheme, "udp") == 0;
}

}  // namespace

void log_bsv_init(log_bsv *sink)
{
    memset(sink, 0, sizeof(*sink));
    sink->port = LOG_BSV_DEFAULT_PORT;
    sink->lock = mutex_malloc();
}

int log_bsv_udp_open(log_bsv *sink, const char *url)
{
    if (sink == nullptr || url == nullptr)
        return -1;
    // A collector configured again replaces the earlier one.
    if (log_bsv_close(sink) != 0) {
        fprintf(stderr, "log collector %s: the earlier collector is still being opened\n", url);
        return -1;
    }
    url_info info;
    std::unique_ptr<char[]> store(new (std::nothrow) char[URL_BUF_SIZE]);
    if (!store || url_parser(&info, store.get(), url) < 0 || info.host[0] == '\0') {
        ZLOG_DBG("url_parser%s failed\n", url);
        fprintf(stderr, "log collector %s cannot be used: the URL does not parse or names no host\n", url);
        return -1;
    }
    bool cipher = false;
    if (!known_scheme(info.protocol, &cipher)) {
        fprintf(stderr, "log collector %s cannot be used: unknown scheme [%s] (udp or udps)\n", url, info.protocol);
        return -1;
    }
    sink->port = info.port != 0 ? info.port : LOG_BSV_DEFAULT_PORT;
    str_safecopy2(sink->host, sizeof(sink->host), info.host);
    if (cipher)
        bsv_net_set_rc4(1);
    str_safecopy2(sink->url, sizeof(sink->url), url);
    {
        os_mutex_guard guard(sink->lock);
        sink->opening = 1;
    }
    bsv_set_net_cb(log_bsv_net_cb, sink);
    // A daemon about to detach opens the collector once detached: the first
    // record is kept meanwhile, as while a lookup runs.
    if (os_daemon_detaching())
        return 0;
    return start_opener(sink) ? 0 : -1;
}

int net_open_thread(void *arg)
{
    auto *sink = static_cast<log_bsv *>(arg);
    // host and port do not change while the opener runs: a new URL waits for it.
    const uint64_t sock = open_socket(sink);
    if (sock == 0) {
        ZLOG_DBG("collector socket %s:%d failed\n", sink->host, static_cast<int>(sink->port));
        fprintf(stderr, "log collector %s:%d cannot be opened\n", sink->host, static_cast<int>(sink->port));
    }
    os_mutex_guard guard(sink->lock);
    // Let go by the stop meanwhile: the socket is not wanted, and the sink
    // may be freed from now on.
    if (sink->opening == k_let_go) {
        if (sock != 0)
            os_udp_close(sock);
        sink->opening = 0;
        return 0;
    }
    sink->socket = sock;
    if (sock != 0 && sink->pending_len != 0)
        os_udp_send(sock, sink->pending, sink->pending_len);
    sink->pending_len = 0;
    sink->opening = 0;
    return 0;
}

void log_bsv_net_cb(uint32_t level, const void *pkt, uint32_t len, void *arg)
{
    auto *sink = static_cast<log_bsv *>(arg);
    if (sink == nullptr || pkt == nullptr || len == 0)
        return;
    os_mutex_guard guard(sink->lock);
    if (sink->opening != 0) {
        if (sink->pending_len == 0 && len <= sizeof(sink->pending)) {
            memcpy(sink->pending, pkt, len);
            sink->pending_len = len;
            sink->pending_level = level;
        }
        return;
    }
    log_bsv_send(pkt, len, sink);
}

void log_bsv_send(const void *pkt, uint32_t len, log_bsv *sink)
{
    if (sink->socket != 0)
        os_udp_send(sink->socket, pkt, len);
}

int log_bsv_join(log_bsv *sink, int ms)
{
    if (sink == nullptr || sink->opener == nullptr)
        return 0;
    if (os_thread_wait(sink->opener, ms, nullptr) != 0)
        return -1;
    os_thread_release(sink->opener);
    sink->opener = nullptr;
    return 0;
}

int log_bsv_resume(log_bsv *sink)
{
    if (sink == nullptr || sink->lock == nullptr)
        return 0;
    bool start;
    {
        os_mutex_guard guard(sink->lock);
        start = sink->opening != 0 && sink->opener == nullptr && sink->url[0] != '\0';
    }
    return !start || start_opener(sink) ? 0 : -1;
}

int log_bsv_close(log_bsv *sink)
{
    if (sink == nullptr || sink->lock == nullptr)
        return -1;
    // A sink that was never opened leaves another context's collector be.
    if (sink->url[0] == '\0' && sink->opener == nullptr && sink->socket == 0)
        return 0;
    // Also while the opener runs: the callback must not outlive the sink.
    bsv_set_net_cb(nullptr, nullptr);
    if (log_bsv_join(sink, k_close_join_ms) != 0)
        return -1;
    shut(sink);
    return 0;
}

int log_bsv_stop(log_bsv *sink)
{
    if (sink == nullptr || sink->lock == nullptr)
        return -1;
    // A sink that was never opened leaves another context's collector be.
    if (sink->url[0] != '\0' || sink->opener != nullptr || sink->socket != 0)
        bsv_set_net_cb(nullptr, nullptr);
    // Waited for by the caller already: one that has not ended is detached,
    // so that nothing is left joinable, and frees its handle as it ends.
    if (sink->opener != nullptr)
        os_thread_wait_kill_exit(std::exchange(sink->opener, nullptr), 0, nullptr);
    os_mutex_guard guard(sink->lock);
    if (sink->socket != 0) {
        os_udp_close(sink->socket);
        sink->socket = 0;
    }
    sink->pending_len = 0;
    sink->url[0] = '\0';
    if (sink->opening == 0)
        return 0;
    sink->opening = k_let_go;
    return -1;
}

void log_bsv_exit(log_bsv *sink)
{
    if (sink == nullptr || sink->lock == nullptr)
        return;
    mutex_free(sink->lock);
    sink->lock = nullptr;
}

const char *log_bsv_get_url(const log_bsv *sink)
{
    return sink->url;
}

int log_bsv_fd(log_bsv *sink)
{
    if (sink == nullptr || sink->lock == nullptr)
        return -1;
    os_mutex_guard guard(sink->lock);
    return sink->socket != 0 ? static_cast<int>(sink->socket - 1) : -1;
}
