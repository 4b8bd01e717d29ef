// A bare NBD listener for the end-to-end tests: the server's start and stop
// sequence without the daemon around it. Usage: nbd_test_server PORT
// [readonly 0|1] [log level]. Prints "port=N" once listening; SIGTERM runs
// the stop sequence (listener closed, clients stopped, pool waited for) and
// ends with status 0; a port that cannot be listened on gives status 255.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "liblog/log2.h"
#include "libnbd/cli_mgr.h"
#include "libnbd/nbdsrv.h"
#include "libpal/env/pl_init.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: nbd_test_server PORT [readonly] [level]\n");
        return 1;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    pl_init();
    log2_ioctl(nullptr, LOG2_CMD_LEVEL_STR, argc > 3 ? argv[3] : "info", -1);
    nbdsrv_init();
    g_nbd_settings.port = atoi(argv[1]);
    g_nbd_settings.readonly = argc > 2 ? atoi(argv[2]) : 1;
    cli_mgr_init();
    if (nbd_start_server("127.0.0.1", static_cast<uint32_t>(g_nbd_settings.port)) != 0) {
        return 255;
    }
    printf("port=%u\n", nbd_server_port());
    fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    nbd_stop_server();
    cli_mgr_exit();
    const int rc = nbdsrv_wait_exit();
    fflush(nullptr);
    _exit(rc == 0 ? 0 : 1);
}
