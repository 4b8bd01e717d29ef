// NBD client pool: every session's context is an item of one process-wide
// pool ("ctx_buf"), taken by the listener's accept callback and released
// exactly once, by its own thread when the session ends or, once the stop
// protocol has given its connection the stop state 2, by the stopper alone.
// The pool's lock guards the list, the stop states and that decision.
#pragma once

#include <atomic>
#include <cstdint>

#include "libnet/libnet.h"
#include "libpal/network/os_socket.h"

struct bd_dev;
struct os_thread;

// A session's context: a zeroed pool item.
struct nbd_client {
    uint32_t cflags;     // sent with NBD_OPT_EXPORT_NAME or NBD_OPT_GO
    uint32_t sflags;     // NBD_SRV_NO_ZEROES when the client asked for it
    uint32_t readonly_setting;  // the NBD settings' value when the thread started
    uint32_t readonly;   // that setting, or 1 when the open export is read-only for another reason
    char *name;          // export name, os_malloc'ed; wiped before it is freed (it may hold a key)
    bd_dev *dev;         // the open export, or nullptr
    uint8_t *buf;        // request buffer; above NBD_REQ_BUF_KEEP only for one request
    uint32_t buf_size;
    uint8_t *rx;         // receive buffer of NBD_RX_SIZE bytes: [rx_off, rx_end) not yet consumed
    uint32_t rx_off;
    uint32_t rx_end;
    uint32_t rx_late;    // requests in a row that came only after a blocking wait (nbd_spin_due)
    net_conn conn;       // the accepted socket; stop state 2 = stopped by cli_mgr_exit
    os_thread *thread;   // the "clisrv" thread serving it
    uint64_t size;       // export size in bytes
    char peer[80];       // the peer's address text
};

// Creates the pool; a failure is a crit message, which ends the process.
int cli_mgr_init();
// A zeroed context holding sock (request buffer of 4096 bytes, socket
// connection with a 3000 ms time-out), or nullptr when the pool cannot
// allocate or is stopping.
nbd_client *cli_mgr_alloc(os_socket sock);
// The session's own release: done only when the stopper has not claimed it.
int cli_mgr_free(nbd_client *client);
uint64_t cli_mgr_count();
// Stop protocol: marks every session with stop state 2 under the lock, then
// outside it wakes each one (its socket shut down), waits up to 1000 ms for
// its thread and releases its context; destroys the pool and sets the
// exited flag. A thread still running then is never cancelled: it keeps its
// context and the pool, which are left allocated for it, and its own
// release later touches neither.
int cli_mgr_exit();
bool cli_mgr_exited();

// The body of the NBD listener's accept callback (accept_proc, on the event
// thread): takes a context for sock, starts its "clisrv" thread under the pool's lock (so the context
// is complete, thread handle included, before the thread can release it).
// When no context can be had or the thread cannot start, the socket and the
// context are released at once, and the refusal is logged at most once a
// second with the count refused since the last line. Returns 0.
int cli_mgr_accept(os_socket sock, const os_ipaddr *peer);

// Request buffer of at least len bytes (zeroed when it grows); false when
// memory runs out (the old buffer is kept). A buffer above NBD_REQ_BUF_KEEP
// is first granted by the budget below, waiting up to the connection's
// time-out for room (cut short by its stop state): false when none came.
bool cli_buf_reserve(nbd_client *client, uint32_t len);
// After a request: a buffer grown above NBD_REQ_BUF_KEEP is given back, to
// the allocator and to the budget.
void cli_buf_trim(nbd_client *client);

// The budget of request buffers beyond what sessions keep between requests,
// one for the process: 1 / CLI_BUF_BUDGET_DIVISOR of the memory it may use.
// Waiters are granted in the order they came.
constexpr uint64_t CLI_BUF_BUDGET_DIVISOR = 2;
// The memory the process may use: the smallest memory cgroup limit on the way
// from its cgroup to the root (v2 memory.max, v1 memory.limit_in_bytes), read
// through proc_cgroup (/proc/self/cgroup) below cgroup_root (/sys/fs/cgroup),
// or the machine's memory when that is smaller or no limit is set.
// from_cgroup, when given, tells which. 0 when neither can be read.
uint64_t cli_mem_limit(const char *proc_cgroup, const char *cgroup_root, bool *from_cgroup);
// The budget for a memory limit (a floor of one largest request when 0).
uint64_t cli_buf_budget_of(uint64_t mem_limit);
uint64_t cli_buf_budget();
// Bytes granted now; peak, when given, the most granted at once since the
// budget was last set.
uint64_t cli_buf_budget_used(uint64_t *peak);
// Test seam, never called by the daemon: the budget in bytes; 0 takes it
// from the memory limit again.
void cli_buf_budget_set(uint64_t bytes);
// Grants bytes, waiting up to wait_ms (negative: without limit) for the
// waiters before it and for room. false, granting nothing, when bytes exceed
// the whole budget, when the wait ends first or when *stop is set.
bool cli_buf_budget_take(uint64_t bytes, int32_t wait_ms, const std::atomic<uint32_t> *stop);
void cli_buf_budget_give(uint64_t bytes);
// Wakes every waiter to look at its stop state: the stop protocol's part.
void cli_buf_budget_wake();
// Closes the open export, if any, and frees its name.
void cli_export_close(nbd_client *client);
// The export name as logs may show it (a key masked); out holds URL_BUF_SIZE bytes.
const char *cli_safe_name(const nbd_client *client, char *out);
// Wipes the export name (it may hold a key) and frees it.
void cli_name_free(nbd_client *client);
