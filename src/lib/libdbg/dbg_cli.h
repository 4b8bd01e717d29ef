// The debug client: runs shell commands in a running instance over the debug
// shell stream protocol (dbg_shell.h), through TCP or a named pipe. The
// daemon's -e sends a ";"-separated list to the local TCP debug shell and
// prints each reply; without a list the same loop is an interactive session.
// Results: 0 at a normal end, negative after a failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libnet/libnet.h"

constexpr uint32_t DBGCLI_REPLY_TIMEOUT_MS = 60000;
constexpr int DBGCLI_CONNECT_TIMEOUT_MS = 2000;
constexpr uint32_t DBGCLI_SOCK_BUF = 10240;

enum : uint32_t { DBGCLI_DONE = 0, DBGCLI_INPUT = 1, DBGCLI_REPLY = 2 };

struct dbgcli_param {
    char prompt[128];       // "%s>" with the program name, or ">"
    const char *cmd;        // the command list; nullptr or "sh": interactive
    uint32_t timeout;       // the bound of one whole reply in ms; 0: 60000
    uint32_t use_ledit;     // interactive lines through libsh_readline
    char *(*gets)(char *buf, size_t size);  // nullptr: standard input
    // A reply without its last line feed (one longer than 16 KiB comes in
    // pieces); nullptr: standard output as the reply comes, one line feed at its end.
    int (*print)(const char *text);
    char *reply;            // when set, the first reply is copied here and the loop ends
    size_t reply_size;
    uint32_t state;         // DBGCLI_INPUT, DBGCLI_REPLY or DBGCLI_DONE
};

// pipe set: "pipe://./<pipe>"; else
// "tcp://127.0.0.1:<port>"; neither: "No debugging interface defined", -1.
int dbgcli_local_exec_cmd(const char *pipe, uint32_t port, const char *cmd);
// url: "tcp://host:port" or "pipe://./NAME" (os_name_pipe.h).
int dbgcli_exec_cmd(const char *url, const char *cmd, char *reply, size_t reply_size);
int dbgcli_shell(const char *url);
int debug_shell_connet_exec_cmd(const char *host, uint32_t port, dbgcli_param *param);
// Closes the connection at its end. A reply that has not ended within the
// time-out ends the loop with -1, said on standard error.
int debug_shell_exec_loop(net_conn *conn, dbgcli_param *param);
// The index-th ";"-field (from 0) into buf: its length; 0 when missing,
// empty or too long for size.
int dbgsh_field_gets(const char *list, int index, char *buf, size_t size);
