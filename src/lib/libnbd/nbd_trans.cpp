// The transmission phase of one session: requests read one at a time,
// checked (nbd_request_check), executed against the session's device and
// answered with a simple reply. Requests the client has already queued are
// taken from the receive buffer (nbd_io.h) without a wait between them.
#define ZLOG_TAG "bdsrv"
#include <sys/uio.h>

#include "libblock/block.h"
#include "liblog/zlog.h"
#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_io.h"
#include "libnbd/nbd_proto.h"
#include "libnbd/nbdsrv.h"
#include "libnet/sock_srv.h"
#include "libpal/string/url.h"

namespace {

bool send_simple(nbd_client *client, uint32_t error, uint64_t handle)
{
    uint8_t reply[NBD_REPLY_SIZE];
    nbd_reply_encode(reply, error, handle);
    return nbd_write_all(client, reply, sizeof(reply));
}

// Requests refused for want of memory (no room in the budget within the
// time-out): many clients asking at once get one line a second, with the count.
sock_refusals g_no_memory{};

bool send_no_memory(nbd_client *client, const nbd_request &req)
{
    uint64_t count = 0;
    if (sock_refusal_due(&g_no_memory, &count)) {
        ZLOG_ERR("no memory for len=%u (%llu requests answered ENOMEM since the last report)\n", req.len,
                 static_cast<unsigned long long>(count));
    }
    return send_simple(client, NBD_ENOMEM, req.handle);
}

// The device's last error as the client's error number, in host order.
uint32_t device_error(const nbd_client *client)
{
    return nbd_errno_host(nbd_err_to_errno(bd_errno(client->dev)));
}

// What the log says about a refused request, one row per verdict.
struct verdict_log {
    nbd_req_verdict verdict;
    void (*log)(const nbd_request &req, uint64_t size);
};

constexpr verdict_log k_verdict_logs[] = {
    {nbd_req_verdict::bad_flags,
     [](const nbd_request &req, uint64_t) {
         ZLOG_ERR("E: received invalid flag %d on command %d, ignoring\n", req.flags, req.type);
     }},
    {nbd_req_verdict::unknown_cmd,
     [](const nbd_request &req, uint64_t) { ZLOG_ERR("received unknown command %d of type, ignoring\n", req.type); }},
    {nbd_req_verdict::read_only,
     [](const nbd_request &req, uint64_t) { ZLOG_DBG("command %d on a read-only export\n", req.type); }},
    {nbd_req_verdict::too_large,
     [](const nbd_request &req, uint64_t) {
         ZLOG_ERR("command %d len=%u above %u\n", req.type, req.len, NBD_REQ_BUF_MAX);
     }},
    {nbd_req_verdict::past_end,
     [](const nbd_request &req, uint64_t size) {
         ZLOG_ERR("command %d offset=0x%llx len=0x%x past size=0x%llx\n", req.type,
                  static_cast<unsigned long long>(req.offset), req.len, static_cast<unsigned long long>(size));
     }},
};

void log_verdict(const nbd_request &req, nbd_req_verdict verdict, uint64_t size)
{
    for (const auto &row : k_verdict_logs) {
        if (row.verdict == verdict) {
            row.log(req, size);
        }
    }
}

// A WRITE's payload is consumed whatever the request gets, so that the next
// request is read from its own first byte. Only a request that will run
// grows the buffer; any other payload is dropped.
bool take_payload(nbd_client *client, const nbd_request &req, nbd_req_verdict verdict, bool *no_memory)
{
    if (verdict == nbd_req_verdict::ok && !cli_buf_reserve(client, req.len)) {
        *no_memory = true;
    }
    if (verdict != nbd_req_verdict::ok || *no_memory) {
        return nbd_discard(client, req.len);
    }
    if (!nbd_read_all(client, client->buf, req.len)) {
        ZLOG_DBG("NBD_CMD_WRITE err: req.len!=ret, req.len=%d ret=%d\n", req.len, -1);
        return false;
    }
    return true;
}

void log_failure(const nbd_client *client, const char *fmt_head, uint64_t offset, uint32_t len)
{
    char safe[URL_BUF_SIZE];
    ZLOG_ERR("%s [%s] offset=%li len=%u error: %s\n", fmt_head,
             cli_safe_name(client, safe), static_cast<long>(offset), len,
             bd_errstr(client->dev));
}

int64_t expwrite(uint64_t offset, uint8_t *buf, uint32_t len, nbd_client *client, uint32_t *error)
{
    const int64_t ret = bd_pwrite(client->dev, buf, len, offset);
    if (ret != static_cast<int64_t>(len)) {
        log_failure(client, "bd_write", offset, len);
        // A short write with no error left behind is reported as such.
        *error = ret < 0 ? device_error(client) : NBD_EIO;
        return ret < 0 ? ret : -1;
    }
    ZLOG_VERB("req->ret=%d\n", static_cast<int>(ret));
    return ret;
}

void sync_failed(const nbd_client *client, uint32_t *error)
{
    char safe[URL_BUF_SIZE];
    // A medium that lost data is named once, by the block layer, however
    // many flushes are refused after it.
    const uint32_t level = bd_sync_lost(client->dev) ? LOG2_DBG : LOG2_ERR;
    ZLOG(level, "sync: [%s] error:%s\n", cli_safe_name(client, safe),
         bd_errstr(client->dev));
    *error = device_error(client);
}

// FUA: the data is on stable storage before the reply says so. Its data
// only: a FLUSH is what asks for everything.
void sync_for_fua(nbd_client *client, const nbd_request &req, uint32_t *error)
{
    if ((req.flags & NBD_CMD_FLAG_FUA) != 0 && *error == 0 && bd_datasync(client->dev) < 0) {
        sync_failed(client, error);
    }
}

bool handle_read(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_READ\n");
    ZLOG_VERB("==>\n");
    ZLOG_VERB("form=0x%llx len=0x%x\n", static_cast<unsigned long long>(req.offset), req.len);
    if (!cli_buf_reserve(client, req.len)) {
        return send_no_memory(client, req);
    }
    const int64_t ret = req.len > 0 ? bd_pread(client->dev, client->buf, req.len, req.offset) : 0;
    if (ret < 0) {
        char safe[URL_BUF_SIZE];
        ZLOG_ERR("bd_pread [%s] offset=%li len=%u errno=%d error: %s\n",
                 cli_safe_name(client, safe), static_cast<long>(req.offset),
                 req.len, bd_errno(client->dev), bd_errstr(client->dev));
        return send_simple(client, device_error(client), req.handle);
    }
    if (ret != static_cast<int64_t>(req.len)) {
        ZLOG_ERR("offset=0x%llx ret=%d req->len=%d ret!=req->len\n", static_cast<unsigned long long>(req.offset),
                 static_cast<int>(ret), req.len);
        return send_simple(client, NBD_EINVAL, req.handle);
    }
    ZLOG_VERB("req->ret=%d\n", static_cast<int>(ret));
    uint8_t reply[NBD_REPLY_SIZE];
    nbd_reply_encode(reply, 0, req.handle);
    const iovec iov[2] = {{reply, sizeof(reply)}, {client->buf, req.len}};
    if (!nbd_write_iov(client, iov, req.len > 0 ? 2 : 1)) {
        // A client that got part of a reply cannot find the next one.
        ZLOG_ERR("sock_write ret=%d req->len=%d\n", -1, req.len);
        return false;
    }
    return true;
}

bool handle_write(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_WRITE\n");
    ZLOG_VERB("==>\n");
    uint32_t error = 0;
    if (req.len > 0) {
        expwrite(req.offset, client->buf, req.len, client, &error);
    }
    sync_for_fua(client, req, &error);
    return send_simple(client, error, req.handle);
}

bool handle_flush(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_FLUSH\n");
    ZLOG_DBG("==>\n");
    uint32_t error = 0;
    if (bd_sync(client->dev) < 0) {
        sync_failed(client, &error);
    }
    return send_simple(client, error, req.handle);
}

bool handle_trim(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_TRIM\n");
    ZLOG_DBG("==>\n");
    return send_simple(client, 0, req.handle);
}

bool handle_write_zeroes(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_WRITE_ZEROES\n");
    ZLOG_VERB("handling write_zeroes request\n");
    uint32_t error = 0;
    // Files and devices zero in place; nothing the size of the request is
    // ever allocated for it.
    if (req.len > 0 && bd_pwrite_zeroes(client->dev, req.len, req.offset) != static_cast<int64_t>(req.len)) {
        log_failure(client, "bd_write", req.offset, req.len);
        error = device_error(client);
    }
    sync_for_fua(client, req, &error);
    return send_simple(client, error, req.handle);
}

// False when the session must end (its reply could not be sent).
bool handle_request(nbd_client *client, const nbd_request &req, nbd_req_verdict verdict, bool no_memory)
{
    if (verdict != nbd_req_verdict::ok) {
        log_verdict(req, verdict, client->size);
        return send_simple(client, nbd_req_verdict_errno(verdict, req.type), req.handle);
    }
    if (no_memory) {
        return send_no_memory(client, req);
    }
    switch (req.type) {
    case NBD_CMD_READ:
        return handle_read(client, req);
    case NBD_CMD_WRITE:
        return handle_write(client, req);
    case NBD_CMD_FLUSH:
        return handle_flush(client, req);
    case NBD_CMD_TRIM:
        return handle_trim(client, req);
    default:
        return handle_write_zeroes(client, req);
    }
}

}  // namespace

void mainloop_threaded(nbd_client *client)
{
    ZLOG_DBG("Entering request loop\n");
    for (;;) {
        uint8_t head[NBD_REQUEST_SIZE];
        int32_t got = 0;
        const nbd_head_read r = nbd_read_head(client, head, &got);
        if (r == nbd_head_read::ended) {
            ZLOG_DBG("sock read error break\n");
            break;
        }
        if (r == nbd_head_read::short_read) {
            ZLOG_ERR("ret=%d sizeof(struct nbd_request)=%d\n", got, static_cast<int>(sizeof(head)));
            break;
        }
        nbd_request req;
        nbd_request_parse(head, &req);
        if (req.magic != NBD_REQUEST_MAGIC) {
            ZLOG_DBG("req.magic=0x%x NBD_REQUEST_MAGIC=0x%x\n", req.magic, NBD_REQUEST_MAGIC);
            ZLOG_DBG("Protocol error: not enough magic.\n");
            // Past a damaged header the stream's framing is lost: what
            // follows may be a WRITE's payload, never to be run as requests.
            ZLOG_ERR("[%s] request with a bad magic: session ended\n", client->peer);
            break;
        }
        ZLOG_VERB("type=0x%x form=0x%llx  len=0x%x\n", (static_cast<uint32_t>(req.flags) << 16) | req.type,
                  static_cast<unsigned long long>(req.offset), req.len);
        if (req.flags == 0 && req.type == NBD_CMD_DISC) {
            ZLOG_DBG("NBD_CMD_DISC\n");
            break;
        }
        const nbd_req_verdict verdict = nbd_request_check(&req, client->size, client->readonly != 0);
        bool no_memory = false;
        if (req.type == NBD_CMD_WRITE && !take_payload(client, req, verdict, &no_memory)) {
            break;
        }
        const bool answered = handle_request(client, req, verdict, no_memory);
        cli_buf_trim(client);
        if (!answered) {
            break;
        }
        ZLOG_VERB("<==\n");
    }
}
