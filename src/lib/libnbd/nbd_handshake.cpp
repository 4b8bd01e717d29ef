// The fixed newstyle handshake of one session: greeting, client flags, then
// options until an export is open or the session ends.
#define ZLOG_TAG "bdsrv"
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "libblock/block.h"
#include "liblog/zlog.h"
#include "liblsblk/lsblk.h"
#include "libnbd/cli_mgr.h"
#include "libnbd/nbd_io.h"
#include "libnbd/nbd_proto.h"
#include "libnbd/nbdsrv.h"
#include "libpal/basic/os_malloc.h"
#include "libpal/basic/pl_own.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/url.h"

namespace {

constexpr size_t k_err_size = 4096;

// What the option loop does after an option.
enum class opt_next { next, done, end };

bool send_reply(nbd_client *client, uint32_t opt, uint32_t type, uint32_t len, const void *data)
{
    if (len == UINT32_MAX) {
        len = static_cast<uint32_t>(strlen(static_cast<const char *>(data)));
    }
    uint8_t head[NBD_OPT_REPLY_SIZE];
    nbd_opt_reply_encode(head, opt, type, len);
    const iovec iov[2] = {{head, sizeof(head)}, {const_cast<void *>(data), len}};
    return nbd_write_iov(client, iov, len > 0 ? 2 : 1);
}

bool send_error(nbd_client *client, uint32_t opt, uint32_t type, const char *text)
{
    return send_reply(client, opt, type, UINT32_MAX, text);
}

bool send_export_info(nbd_client *client, bool padding)
{
    ZLOG_VERB("==>\n");
    uint8_t info[NBD_EXPORT_INFO_SIZE + NBD_EXPORT_PAD_SIZE] = {};
    nbd_export_info_encode(info, client->size, nbd_transmission_flags(client->readonly != 0));
    const bool pad = padding && (client->sflags & NBD_SRV_NO_ZEROES) == 0;
    return nbd_write_all(client, info, pad ? sizeof(info) : NBD_EXPORT_INFO_SIZE);
}

// A later option that opens a name first lets go of what an earlier one left.
bool set_name(nbd_client *client, const char *name, uint32_t len)
{
    cli_export_close(client);
    client->name = static_cast<char *>(os_malloc(static_cast<size_t>(len) + 1));
    if (client->name == nullptr) {
        return false;
    }
    memcpy(client->name, name, len);
    client->name[len] = '\0';
    return true;
}

int block_open_file(nbd_client *client, char *err)
{
    char safe[URL_BUF_SIZE];
    err[0] = '\0';
    const uint64_t flags = BD_OPEN_NBD | (client->readonly_setting != 0 ? BD_OPEN_RDONLY : BD_OPEN_RDWR);
    bd_dev *dev = bd_open(client->name, flags, err);
    if (dev == nullptr) {
        // The reason may quote the client's parameters.
        ZLOG_ERR("bd_open [%s] err:%s\n", cli_safe_name(client, safe), str_log_text<k_err_size>(err).c_str());
        return -1;
    }
    const int64_t size = bd_size(dev);
    if (size < 0) {
        ZLOG_ERR("bd_size [%s] error: %s\n", cli_safe_name(client, safe), bd_errstr(dev));
        snprintf(err, k_err_size, "%s", bd_errstr(dev));
        bd_close(dev);
        return -1;
    }
    client->dev = dev;
    client->size = static_cast<uint64_t>(size);
    // "?flags=readonly", or a medium that cannot be written: the client is
    // told, rather than finding out from every write.
    client->readonly = client->readonly_setting != 0 || bd_is_readonly(dev) ? 1 : 0;
    ZLOG_INFO("open [%s] size=%li\n", cli_safe_name(client, safe), static_cast<long>(size));
    return 0;
}

opt_next handle_export_name(nbd_client *client, uint32_t len, uint32_t cflags)
{
    ZLOG_DBG("==>\n");
    // No error reply exists for this option: a name that cannot be served
    // ends the session.
    if (len > NBD_NAME_MAX) {
        ZLOG_ERR("export name len=%u above %u\n", len, NBD_NAME_MAX);
        return opt_next::end;
    }
    char name[NBD_NAME_MAX];
    const pl_wipe_guard wipe(name, sizeof(name));  // the name may hold a key
    if (!nbd_read_all(client, name, len)) {
        return opt_next::end;
    }
    if (!nbd_name_ok(std::string_view(name, len))) {
        ZLOG_ERR("[%s] export name holds a NUL byte: session ended\n", client->peer);
        return opt_next::end;
    }
    if (!set_name(client, name, len)) {
        return opt_next::end;
    }
    char err[k_err_size];
    if (block_open_file(client, err) != 0) {
        ZLOG_DBG("<==\n");
        return opt_next::end;
    }
    char safe[URL_BUF_SIZE];
    ZLOG_DBG("export_name=%s\n", cli_safe_name(client, safe));
    client->cflags = cflags;
    return send_export_info(client, true) ? opt_next::done : opt_next::end;
}

opt_next handle_list(nbd_client *client, uint32_t opt, uint32_t len)
{
    ZLOG_VERB("==>\n");
    if (len != 0) {
        ZLOG_DBG("len=%d\n", len);
        if (!nbd_discard(client, len) ||
            !send_error(client, opt, NBD_REP_ERR_INVALID,
                        "NBD_OPT_LIST with nonzero data length is not a valid request")) {
            return opt_next::end;
        }
        return opt_next::next;
    }
    char *text = lsblk_list();
    bool ok = true;
    for (int i = 0; text != nullptr && ok; i++) {
        char key[32];
        char name[URL_BUF_SIZE];
        snprintf(key, sizeof(key), "dev[%d].name", i);
        if (str_kv_get_bracket(text, key, name, sizeof(name)) != 0) {
            break;
        }
        uint8_t data[4 + NBD_LIST_NAME_MAX + 1];
        auto *alias = reinterpret_cast<char *>(data + 4);
        const auto n = static_cast<uint32_t>(nbd_list_alias(name, alias));
        ZLOG_VERB("name=[%s] alias=[%s]\n", name, alias);
        be32_store(data, n);
        ok = send_reply(client, opt, NBD_REP_SERVER, 4 + n, data);
    }
    os_free(text);
    if (!ok || !send_reply(client, opt, NBD_REP_ACK, 0, nullptr)) {
        return opt_next::end;
    }
    ZLOG_VERB("<==\n");
    return opt_next::next;
}

// Reads the option's data whole (bounded by NBD_INFO_OPT_MAX) and decides
// on it before anything is opened.
opt_next read_info_option(nbd_client *client, uint32_t len, std::vector<uint8_t> *data, nbd_info_verdict *verdict)
{
    if (len < 4) {
        *verdict = nbd_info_verdict::too_small;
        return nbd_discard(client, len) ? opt_next::next : opt_next::end;
    }
    uint8_t head[4];
    if (!nbd_read_all(client, head, sizeof(head))) {
        return opt_next::end;
    }
    const uint32_t namelen = be32_load(head);
    ZLOG_VERB("namelen=%d\n", namelen);
    if (!nbd_info_len_ok(len, namelen) || len > NBD_INFO_OPT_MAX) {
        *verdict = !nbd_info_len_ok(len, namelen) ? nbd_info_verdict::too_small
                   : namelen > NBD_NAME_MAX        ? nbd_info_verdict::name_too_long
                                                   : nbd_info_verdict::bad_length;
        return nbd_discard(client, len - 4) ? opt_next::next : opt_next::end;
    }
    try {
        data->assign(len, 0);
    } catch (const std::bad_alloc &) {
        return opt_next::end;
    }
    memcpy(data->data(), head, sizeof(head));
    if (!nbd_read_all(client, data->data() + 4, len - 4)) {
        ZLOG_DBG("sock_read client->name len=%d ret=%d\n", namelen, -1);
        return opt_next::end;
    }
    *verdict = nbd_info_verdict::ok;
    return opt_next::next;
}

opt_next handle_info(nbd_client *client, uint32_t opt, uint32_t len, uint32_t cflags)
{
    ZLOG_VERB("==>\n");
    ZLOG_VERB("opt=[%x] cflags=[%x]\n", opt, cflags);
    ZLOG_VERB("len=%d\n", len);
    std::vector<uint8_t> data;
    // Declared after the data: the vector's bytes (the name, perhaps a key)
    // are wiped before it frees them.
    struct data_wipe {
        std::vector<uint8_t> &v;
        ~data_wipe()
        {
            if (!v.empty()) {
                explicit_bzero(v.data(), v.size());
            }
        }
    } wipe{data};
    nbd_info_verdict verdict = nbd_info_verdict::ok;
    if (read_info_option(client, len, &data, &verdict) == opt_next::end) {
        return opt_next::end;
    }
    nbd_info_opt info{};
    if (verdict == nbd_info_verdict::ok) {
        verdict = nbd_info_parse(data, &info);
    }
    if (verdict != nbd_info_verdict::ok) {
        return send_error(client, opt, NBD_REP_ERR_INVALID, nbd_info_verdict_text(verdict)) ? opt_next::next
                                                                                           : opt_next::end;
    }
    if (!set_name(client, info.name.data(), static_cast<uint32_t>(info.name.size()))) {
        return opt_next::end;
    }
    char err[k_err_size];
    if (block_open_file(client, err) != 0) {
        return send_error(client, opt, NBD_REP_ERR_UNKNOWN, err) ? opt_next::next : opt_next::end;
    }
    if (opt == NBD_OPT_GO) {
        ZLOG_DBG("NBD_OPT_GO\n");
        client->cflags = cflags;
    }
    uint8_t reply[NBD_INFO_REPLY_SIZE];
    be16_store(reply, NBD_INFO_EXPORT);
    nbd_export_info_encode(reply + 2, client->size, nbd_transmission_flags(client->readonly != 0));
    const int sent = std::max<int>(1, info.export_reqs);
    for (int i = 0; i < sent; i++) {
        if (!send_reply(client, opt, NBD_REP_INFO, sizeof(reply), reply)) {
            return opt_next::end;
        }
    }
    if (info.block_size_req) {
        uint8_t sizes[NBD_BLOCK_SIZE_REPLY_SIZE];
        nbd_block_size_encode(sizes, client->dev->cipher != nullptr);
        if (!send_reply(client, opt, NBD_REP_INFO, sizeof(sizes), sizes)) {
            return opt_next::end;
        }
    }
    ZLOG_VERB("sent_export=%d\n", sent);
    if (!send_reply(client, opt, NBD_REP_ACK, 0, nullptr)) {
        return opt_next::end;
    }
    ZLOG_VERB("<==\n");
    return opt == NBD_OPT_GO ? opt_next::done : opt_next::next;
}

opt_next handle_option(nbd_client *client, uint32_t opt, uint32_t len, uint32_t cflags)
{
    switch (opt) {
    case NBD_OPT_EXPORT_NAME:
        ZLOG_DBG("NBD_OPT_EXPORT_NAME\n");
        return handle_export_name(client, len, cflags);
    case NBD_OPT_ABORT:
        ZLOG_DBG("NBD_OPT_ABORT\n");
        ZLOG_DBG("Session terminated by client\n");
        // The protocol asks for an acknowledgement; the session ends either way.
        if (nbd_discard(client, len)) {
            send_reply(client, opt, NBD_REP_ACK, 0, nullptr);
        }
        return opt_next::end;
    case NBD_OPT_LIST:
        ZLOG_DBG("NBD_OPT_LIST\n");
        return handle_list(client, opt, len);
    case NBD_OPT_STARTTLS:
        ZLOG_DBG("NBD_OPT_STARTTLS\n");
        if (!nbd_discard(client, len) ||
            !send_error(client, opt, NBD_REP_ERR_POLICY, "This nbd-server was compiled without TLS support")) {
            return opt_next::end;
        }
        return opt_next::next;
    case NBD_OPT_INFO:
    case NBD_OPT_GO:
        ZLOG_DBG("NBD_OPT_INFO||NBD_OPT_GO\n");
        return handle_info(client, opt, len, cflags);
    default:
        ZLOG_DBG("error: default=%x\n", opt);
        if (!nbd_discard(client, len) ||
            !send_error(client, opt, NBD_REP_ERR_UNSUP,
                        "The given option is unknown to this server implementation")) {
            return opt_next::end;
        }
        return opt_next::next;
    }
}

}  // namespace

int negotiate(nbd_client *client)
{
    ZLOG_VERB("==>\n");
    uint8_t greeting[NBD_GREETING_SIZE];
    nbd_greeting_encode(greeting);
    if (!nbd_write_all(client, greeting, sizeof(greeting))) {
        return -1;
    }
    uint8_t word[8];
    if (!nbd_read_all(client, word, 4)) {
        return -1;
    }
    const uint32_t cflags = be32_load(word);
    ZLOG_VERB("cflags=0x%x\n", cflags);
    if (!nbd_client_flags_ok(cflags)) {
        ZLOG_ERR("[%s] client flags 0x%x hold bits this server does not know: session ended\n", client->peer,
                 cflags);
        return -1;
    }
    if ((cflags & NBD_FLAG_C_NO_ZEROES) != 0) {
        client->sflags |= NBD_SRV_NO_ZEROES;
    }
    for (;;) {
        if (!nbd_read_all(client, word, 8)) {
            ZLOG_DBG("sock_read(magic) len=%d error\n", -1);
            return -1;
        }
        const uint64_t magic = be64_load(word);
        if (magic != NBD_OPTS_MAGIC) {
            ZLOG_DBG("!magic=%llx %llx\n", static_cast<unsigned long long>(magic),
                     static_cast<unsigned long long>(NBD_OPTS_MAGIC));
            ZLOG_ERR("Negotiation failed/5a: magic mismatch\n");
            return -1;
        }
        if (!nbd_read_all(client, word, 8)) {
            ZLOG_DBG("sock_read(opt) len=%d error\n", 4);
            return -1;
        }
        const uint32_t opt = be32_load(word);
        const uint32_t len = be32_load(word + 4);
        switch (handle_option(client, opt, len, cflags)) {
        case opt_next::next:
            break;
        case opt_next::done:
            return 0;
        case opt_next::end:
            return -1;
        }
    }
}
