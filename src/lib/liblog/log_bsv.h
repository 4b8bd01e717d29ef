// The log collector sink: binary records of messages flagged 0x400 or 0x800
// sent as UDP packets ("udp://host:port", or "udps://" for enciphered
// packets; port 514 when none is given). The socket is opened by the
// short-lived thread "bsvnet" (the name resolved by the logger's resolver,
// see log_net_set_resolver) so that a slow name lookup never holds up the
// log call; the first packet logged meanwhile is kept and sent once the
// socket is open, later ones are lost. A lock of the sink's own hands the
// socket and the kept packet over between the log call (which holds the log
// context's mutex first) and the opener, which makes no log call while
// holding it. No opener runs when the daemon forks: while it is about to
// detach (os_daemon_detaching), the opener is put off until it has.
#pragma once

#include <cstdint>

struct os_thread;
struct os_mutex;

constexpr uint32_t LOG_BSV_DEFAULT_PORT = 514;

struct log_bsv {
    char url[8192];
    char host[8192];
    uint32_t port;
    uint64_t socket;         // the UDP sender's handle, 0 when none
    uint32_t pending_len;    // the kept packet, 0 when none
    uint32_t pending_level;
    os_thread *opener;       // "bsvnet" until it has been joined
    uint8_t pending[8192];
    os_mutex *lock;          // socket, kept packet, opening
    uint32_t opening;        // 1 while "bsvnet" has not finished, 2 once the stop let it go
};

void log_bsv_init(log_bsv *sink);
// Takes the collector URL and starts "bsvnet" (in the daemon, when it is
// about to detach). 0, or -1 (on standard error)
// for a URL that does not parse, has no host or a scheme other than "udp"
// and "udps", or a thread that cannot start.
int log_bsv_udp_open(log_bsv *sink, const char *url);
// The body of "bsvnet": opens the socket, sends the kept packet.
int net_open_thread(void *sink);
// The record writer's network callback (arg is the sink).
void log_bsv_net_cb(uint32_t level, const void *pkt, uint32_t len, void *arg);
void log_bsv_send(const void *pkt, uint32_t len, log_bsv *sink);
// Waits up to ms for "bsvnet" to end: 0 when no opener is left (nothing then
// runs beside the caller, as a fork needs), -1 when it still runs.
int log_bsv_join(log_bsv *sink, int ms);
// Starts the opener that was put off while the daemon was about to detach.
// 0, or -1 when it cannot start (the sink is then closed).
int log_bsv_resume(log_bsv *sink);
// Removes the network callback, joins the opener, closes the socket and
// empties the URL. 0, or -1 when the opener could not be joined (it still
// touches the sink, which must then be left allocated).
int log_bsv_close(log_bsv *sink);
// At the stop, once the caller has waited for the opener (log_bsv_join):
// removes the network callback and closes the socket, without a second
// wait; an opener still running is detached (nothing is left to join) and
// drops the socket it opens. 0, or -1 while it still runs: it touches the
// sink, which must then be left allocated (a later call gives 0 once it has
// ended).
int log_bsv_stop(log_bsv *sink);
void log_bsv_exit(log_bsv *sink);
const char *log_bsv_get_url(const log_bsv *sink);
// The socket's descriptor, -1 when none is open.
int log_bsv_fd(log_bsv *sink);
