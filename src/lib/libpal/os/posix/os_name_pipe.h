// Named pipes: a channel N is the FIFO pair "/tmp/N_0" (client to server) and
// "/tmp/N_1" (server to client), through which a debug shell server and a
// local debug client talk without a network. The FIFOs are created 0600, an
// existing path is reused only when it is a FIFO owned by this user, and
// both sides open without following links and check what they opened, so a
// channel is never open to other users of the machine. The opens block until
// the peer opens its side. Reads and writes give the system's results.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_name_pipe_srv;
struct os_name_pipe_cli;

// "/tmp".
const char *os_name_pipe_dir();

// Server. nullptr when a FIFO cannot be made or an existing path is not our
// FIFO (logged with the path and the reason), or memory runs out.
os_name_pipe_srv *os_name_pipe_srv_open(const char *name);
// Blocks until a client opens the channel. 0, or -1 (nothing left open).
int os_name_pipe_srv_wait_connect(os_name_pipe_srv *srv);
// Waits for a client when none is connected; true when one is.
bool os_name_pipe_srv_check_connect(os_name_pipe_srv *srv);
// One read of "_0"; 0 once the client closed. The time-out is not used.
int64_t os_name_pipe_srv_read(os_name_pipe_srv *srv, void *buf, size_t len, int timeout_ms);
int64_t os_name_pipe_srv_write(os_name_pipe_srv *srv, const void *buf, size_t len);
// Nothing can wake a thread blocked in an open or read of a pipe: kill
// answers -1 and is_killed false.
int os_name_pipe_srv_kill(os_name_pipe_srv *srv);
bool os_name_pipe_srv_is_killed(os_name_pipe_srv *srv);
// Closes what a client connection opened and frees the record; the FIFOs stay.
int os_name_pipe_srv_close(os_name_pipe_srv *srv);

// Client: opens "_0" for writing (blocks until the server reads), then "_1".
os_name_pipe_cli *os_name_pipe_cli_open(const char *name);
int64_t os_name_pipe_cli_read(os_name_pipe_cli *cli, void *buf, size_t len);
int64_t os_name_pipe_cli_write(os_name_pipe_cli *cli, const void *buf, size_t len);
int os_name_pipe_cli_close(os_name_pipe_cli *cli);
