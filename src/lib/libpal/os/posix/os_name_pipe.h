// Named pipes: a channel N is the FIFO pair "N_0" (client to server) and
// "N_1" (server to client) in this user's private directory "/tmp/zorv-<uid>",
// through which a debug shell server and a local debug client talk without a
// network. The directory is made 0700 and used only while it is a real
// directory of this user that no one else can enter; the FIFOs are made 0600,
// an existing one is reused only when it is a FIFO of this user, and both
// sides open without following links and check what they opened. One client
// at a time; after it leaves the server waits for the next. Every wait of the
// server ends when the server is killed, so its thread can always be stopped.
// A write to a peer that has gone fails with EPIPE and never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_name_pipe_srv;
struct os_name_pipe_cli;

// "/tmp/zorv-<uid>" of the effective user, in a buffer of the calling thread.
const char *os_name_pipe_dir();

// Server. Makes the directory and the FIFOs; no client is connected yet.
// nullptr (errno set, logged with the path) when the name is empty, the
// directory or a FIFO cannot be made or is not ours, or memory runs out.
os_name_pipe_srv *os_name_pipe_srv_open(const char *name);
// Waits until a client has opened the channel (or the server is killed).
// 0, or -1 (errno ECANCELED once killed; a failed open is logged).
int os_name_pipe_srv_wait_connect(os_name_pipe_srv *srv);
// Waits for a client when none is connected; true when one is.
bool os_name_pipe_srv_check_connect(os_name_pipe_srv *srv);
// Waits for bytes of the connected client (the time-out is not used: kill
// ends the wait). The count; 0 once the client has gone (the server then
// waits for the next one); -1 on an error, without a client, or once killed
// (errno ECANCELED).
int64_t os_name_pipe_srv_read(os_name_pipe_srv *srv, void *buf, size_t len, int timeout_ms);
// Writes everything, waiting while the pipe is full: len, or -1.
int64_t os_name_pipe_srv_write(os_name_pipe_srv *srv, const void *buf, size_t len);
// Marks the server killed and wakes the thread waiting in it. Safe from any
// thread while the record is open. 0.
int os_name_pipe_srv_kill(os_name_pipe_srv *srv);
bool os_name_pipe_srv_is_killed(os_name_pipe_srv *srv);
// Closes what the server opened and frees the record; the FIFOs stay.
// Requires: no thread uses the record any more (kill, then join it).
int os_name_pipe_srv_close(os_name_pipe_srv *srv);

// Client: opens "_0" for writing, waiting at most 2000 ms for a server to
// read it, then "_1" for reading. nullptr (logged) when no server came.
os_name_pipe_cli *os_name_pipe_cli_open(const char *name);
// Waits for the server's bytes: the count, 0 once the server has gone, -1.
int64_t os_name_pipe_cli_read(os_name_pipe_cli *cli, void *buf, size_t len);
// Writes everything: len, or -1 (EPIPE once the server has gone).
int64_t os_name_pipe_cli_write(os_name_pipe_cli *cli, const void *buf, size_t len);
int os_name_pipe_cli_close(os_name_pipe_cli *cli);
