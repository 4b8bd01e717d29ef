#define ZLOG_TAG "bdsrv"
#include "libnbd/nbdsrv.h"

#include <atomic>

#include "libblock/block.h"
#include "liblog/zlog.h"
#include "libnbd/cli_mgr.h"
#include "libnet/sock_srv.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/tframe/app.h"

nbd_settings g_nbd_settings{nullptr, 10809, 1};

namespace {

constexpr uint32_t k_buf_size = 40960;
constexpr int32_t k_backlog = 16;
constexpr int k_wait_tries = 10;
constexpr uint64_t k_wait_step_ms = 200;

// The listener, from nbd_start_server to nbd_stop_server.
struct nbd_listener {
    sock_server *srv;
    uint32_t port;
};
nbd_listener *g_listener = nullptr;

// File-local: the debug shell's listener has an accept callback of the same name.
int accept_proc(os_socket sock, os_ipaddr *peer, void *)
{
    return cli_mgr_accept(sock, peer);
}

}  // namespace

int nbdsrv_init()
{
    app_opt_str_set(&g_nbd_settings.addr, "127.0.0.1");
    g_nbd_settings.port = 10809;
    std::atomic_ref<int>(g_nbd_settings.readonly).store(1);
    // Before the frame moves the working directory: the block layer chooses
    // its client configuration directory now.
    bd_init();
    return 0;
}

int nbd_start_server(const char *addr, uint32_t port)
{
    auto *holder = static_cast<nbd_listener *>(os_zalloc(sizeof(nbd_listener)));
    if (holder == nullptr) {
        return -1;
    }
    sock_srv_param param{};
    param.name = "nbd";
    param.reuse = 1;
    param.recv_buf_size = k_buf_size;
    param.send_buf_size = k_buf_size;
    param.backlog = k_backlog;
    param.accept_proc = accept_proc;
    param.udata = holder;
    holder->srv = sock_tcp_server(addr != nullptr && *addr != '\0' ? addr : nullptr, port, &param);
    if (holder->srv == nullptr) {
        ZLOG_ERR("nbd server [%s]:%u failed\n", addr != nullptr ? addr : "", port);
        os_free(holder);
        return -1;
    }
    holder->port = param.bind_port;
    g_listener = holder;
    return 0;
}

uint32_t nbd_server_port()
{
    return g_listener != nullptr ? g_listener->port : 0;
}

int nbd_stop_server()
{
    ZLOG_DBG("==>\n");
    if (g_listener == nullptr) {
        return -1;
    }
    sock_server_close(g_listener->srv);
    os_free(g_listener);
    g_listener = nullptr;
    return 0;
}

int nbdsrv_wait_exit()
{
    for (int i = 0; i < k_wait_tries; i++) {
        if (cli_mgr_exited()) {
            return 0;
        }
        os_sleep_ms(k_wait_step_ms);
    }
    ZLOG_DBG("wait timeout\n");
    return -1;
}

int client_thread(void *arg)
{
    auto *client = static_cast<nbd_client *>(arg);
    ZLOG_DBG("==>\n");
    client->readonly_setting = std::atomic_ref<int>(g_nbd_settings.readonly).load() != 0 ? 1 : 0;
    client->readonly = client->readonly_setting;
    if (negotiate(client) == 0) {
        mainloop_threaded(client);
    }
    cli_mgr_free(client);
    ZLOG_DBG("<==\n");
    return 0;
}
