// The transmission phase of one session: requests read one at a time,
// checked (nbd_request_check), executed against the session's device and
// answered with a simple reply.
#define ZLOG_TAG "bdsrv"
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "libblock/block.h"
#include "liblog/zlog.h"
#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_io.h"
#include "libnbd/nbd_proto.h"
#include "libnbd/nbdsrv.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/string/url.h"

namespace {

constexpr uint32_t k_zero_buf_max = 64U * 1024 * 1024;
constexpr int k_zero_buf_tries = 8;

const char *safe_name(const nbd_client *client, char *out)
{
    return url_safe_fmt(client->name != nullptr ? client->name : "", out);
}

bool send_simple(nbd_client *client, uint32_t error, uint64_t handle)
{
    uint8_t reply[NBD_REPLY_SIZE];
    nbd_reply_encode(reply, error, handle);
    return nbd_write_all(client, reply, sizeof(reply));
}

// A WRITE's payload is consumed whatever the request gets, so that the next
// request is read from its own first byte. Only a request that will run
// grows the buffer; any other payload is dropped through the buffer as it is.
bool take_payload(nbd_client *client, const nbd_request &req, nbd_req_verdict *verdict, bool *no_memory)
{
    if (*verdict == nbd_req_verdict::ok && !cli_buf_reserve(client, req.len)) {
        *no_memory = true;
    }
    if (*verdict != nbd_req_verdict::ok || *no_memory) {
        return nbd_discard(client, req.len, client->buf, client->buf_size);
    }
    const int32_t ret = net_read(&client->conn, client->buf, static_cast<int32_t>(req.len));
    if (ret != static_cast<int32_t>(req.len)) {
        ZLOG_DBG("NBD_CMD_WRITE err: req.len!=ret, req.len=%d ret=%d\n", req.len, ret);
        return false;
    }
    return true;
}

int64_t expwrite(uint64_t offset, uint8_t *buf, uint32_t len, nbd_client *client, uint32_t *error)
{
    const int64_t ret = bd_pwrite(client->dev, buf, len, offset);
    if (ret != static_cast<int64_t>(len)) {
        char safe[URL_BUF_SIZE];
        ZLOG_ERR("bd_write [%s] offset=%li len=%u error: %s\n", safe_name(client, safe), static_cast<long>(offset),
                 len, bd_errstr(client->dev));
        // A short write with no error left behind is reported as such.
        *error = ret < 0 ? nbd_errno_host(nbd_err_to_errno(bd_errno(client->dev))) : NBD_EIO;
        return ret < 0 ? ret : -1;
    }
    ZLOG_VERB("req->ret=%d\n", static_cast<int>(ret));
    return ret;
}

// FUA: the data is on stable storage before the reply says so.
void sync_for_fua(nbd_client *client, const nbd_request &req, uint32_t *error)
{
    if ((req.flags & NBD_CMD_FLAG_FUA) != 0 && *error == 0 && bd_sync(client->dev) < 0) {
        char safe[URL_BUF_SIZE];
        ZLOG_ERR("sync: [%s] error:%s\n", safe_name(client, safe), bd_errstr(client->dev));
        *error = nbd_errno_host(nbd_err_to_errno(bd_errno(client->dev)));
    }
}

bool handle_read(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_READ\n");
    ZLOG_VERB("==>\n");
    ZLOG_VERB("form=0x%llx len=0x%x\n", static_cast<unsigned long long>(req.offset), req.len);
    if (!cli_buf_reserve(client, req.len)) {
        ZLOG_ERR("no memory for len=%u\n", req.len);
        return send_simple(client, NBD_ENOMEM, req.handle);
    }
    const int64_t ret = req.len > 0 ? bd_pread(client->dev, client->buf, req.len, req.offset) : 0;
    if (ret < 0) {
        char safe[URL_BUF_SIZE];
        ZLOG_ERR("bd_pread [%s] offset=%li len=%u errno=%d error: %s\n", safe_name(client, safe),
                 static_cast<long>(req.offset), req.len, bd_errno(client->dev), bd_errstr(client->dev));
        return send_simple(client, nbd_errno_host(nbd_err_to_errno(bd_errno(client->dev))), req.handle);
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
    if (!nbd_write_iov(client, iov, 2)) {
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
        char safe[URL_BUF_SIZE];
        ZLOG_ERR("sync: [%s] error:%s\n", safe_name(client, safe), bd_errstr(client->dev));
        error = nbd_errno_host(nbd_err_to_errno(bd_errno(client->dev)));
    }
    return send_simple(client, error, req.handle);
}

bool handle_trim(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_TRIM\n");
    ZLOG_DBG("==>\n");
    return send_simple(client, 0, req.handle);
}

uint32_t write_zeroes(nbd_client *client, const nbd_request &req)
{
    // One large zero buffer, never larger than the request needs.
    uint32_t size = std::min<uint32_t>(k_zero_buf_max, std::max<uint32_t>(req.len, 512));
    uint8_t *zero = nullptr;
    for (int i = 0; i < k_zero_buf_tries && zero == nullptr; i++, size /= 2) {
        zero = static_cast<uint8_t *>(os_zalloc(size));
        if (zero != nullptr) {
            break;
        }
    }
    if (zero == nullptr) {
        return NBD_EINVAL;
    }
    uint32_t error = 0;
    uint64_t done = 0;
    while (done < req.len && error == 0) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size, req.len - done));
        // A cipher encrypts its input in place: each further piece starts
        // again from zeros.
        if (done > 0 && client->dev->cipher != nullptr) {
            memset(zero, 0, piece);
        }
        expwrite(req.offset + done, zero, piece, client, &error);
        done += piece;
    }
    os_free(zero);
    return error;
}

bool handle_write_zeroes(nbd_client *client, const nbd_request &req)
{
    ZLOG_VERB("NBD_CMD_WRITE_ZEROES\n");
    ZLOG_VERB("handling write_zeroes request\n");
    uint32_t error = req.len > 0 ? write_zeroes(client, req) : 0;
    sync_for_fua(client, req, &error);
    return send_simple(client, error, req.handle);
}

// Waits, in polling slices that notice the stop state, until the next
// request starts to arrive. Between requests the socket is usually empty, so
// reading first would cost a receive that finds nothing before every wait.
// False when the session is being stopped.
bool wait_request(nbd_client *client)
{
    net_conn *nc = &client->conn;
    if (nc->type > NET_SOCK2_TYPE || nc->ssl != nullptr) {
        return true;
    }
    while (nc->stop.load() == 0) {
        if (os_socket_wait(nc->handle, OS_SOCKET_WAIT_READ, NET_READ_SLICE_MS) != 0) {
            return true;  // readable, or an error that the read then reports
        }
    }
    return false;
}

// False when the session must end (its reply could not be sent).
bool handle_request(nbd_client *client, const nbd_request &req, nbd_req_verdict verdict, bool no_memory)
{
    switch (verdict) {
    case nbd_req_verdict::ok:
        break;
    case nbd_req_verdict::bad_flags:
        ZLOG_ERR("E: received invalid flag %d on command %d, ignoring\n", req.flags, req.type);
        break;
    case nbd_req_verdict::unknown_cmd:
        ZLOG_ERR("received unknown command %d of type, ignoring\n", req.type);
        break;
    case nbd_req_verdict::read_only:
        ZLOG_DBG("command %d on a read-only export\n", req.type);
        break;
    case nbd_req_verdict::too_large:
        ZLOG_ERR("command %d len=%u above %u\n", req.type, req.len, NBD_REQ_BUF_MAX);
        break;
    case nbd_req_verdict::past_end:
        ZLOG_ERR("command %d offset=0x%llx len=0x%x past size=0x%llx\n", req.type,
                 static_cast<unsigned long long>(req.offset), req.len, static_cast<unsigned long long>(client->size));
        break;
    }
    if (verdict != nbd_req_verdict::ok) {
        return send_simple(client, nbd_req_verdict_errno(verdict, req.type), req.handle);
    }
    if (no_memory) {
        ZLOG_ERR("no memory for len=%u\n", req.len);
        return send_simple(client, NBD_ENOMEM, req.handle);
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
        if (!wait_request(client)) {
            ZLOG_DBG("sock read error break\n");
            break;
        }
        const int32_t ret = net_read(&client->conn, head, sizeof(head));
        if (ret == 0) {
            continue;  // an idle client is kept
        }
        if (ret < 0) {
            ZLOG_DBG("sock read error break\n");
            break;
        }
        if (ret < static_cast<int32_t>(sizeof(head))) {
            ZLOG_ERR("ret=%d sizeof(struct nbd_request)=%d\n", ret, static_cast<int>(sizeof(head)));
            break;
        }
        nbd_request req;
        nbd_request_parse(head, &req);
        if (req.magic != NBD_REQUEST_MAGIC) {
            ZLOG_DBG("req.magic=0x%x NBD_REQUEST_MAGIC=0x%x\n", req.magic, NBD_REQUEST_MAGIC);
            ZLOG_DBG("Protocol error: not enough magic.\n");
            continue;
        }
        ZLOG_VERB("type=0x%x form=0x%llx  len=0x%x\n", (static_cast<uint32_t>(req.flags) << 16) | req.type,
                  static_cast<unsigned long long>(req.offset), req.len);
        if (req.flags == 0 && req.type == NBD_CMD_DISC) {
            ZLOG_DBG("NBD_CMD_DISC\n");
            break;
        }
        nbd_req_verdict verdict = nbd_request_check(&req, client->size, client->readonly != 0);
        bool no_memory = false;
        if (req.type == NBD_CMD_WRITE && !take_payload(client, req, &verdict, &no_memory)) {
            break;
        }
        if (!handle_request(client, req, verdict, no_memory)) {
            break;
        }
        ZLOG_VERB("<==\n");
    }
}
