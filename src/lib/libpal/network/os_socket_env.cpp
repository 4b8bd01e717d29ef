#include "libpal/network/os_socket_env.h"

#include <csignal>

bool os_socket_init_env()
{
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void os_socket_exit_env()
{
}
