// Binary-record packets.
#define ZLOG_TAG "bsv"

#include "libbsv/bsv_net.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "libbsv/bsv.h"
#include "libpal/env/pl_init.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/rc4.h"
#include "libpal/memory/mem_small.h"
#include "libpal/tframe/app_desc.h"
#include "liblog/zlog.h"

namespace {

std::atomic<bool> g_rc4{false};
std::once_flag g_app_id_once;

// Field indices of the packet schema.
enum : uint32_t { p_sid, p_bid, p_stime, p_ver, p_app, p_os, p_arch, p_type, p_host, p_data };

uint16_t app_id()
{
    std::call_once(g_app_id_once, [] {
        if (g_app.app_id == 0)
            g_app.app_id = static_cast<uint16_t>(pl_app_name_2_id(g_app.app_name));
    });
    return g_app.app_id;
}

int swap_of(uint8_t flags)
{
    return (flags & BSV_NET_F_BIG) != 0 ? 1 : 0;
}

}  // namespace

int bsv_pack_log(void *pkt, uint32_t type_id, const void *rec, uint32_t len)
{
    if (pkt == nullptr || rec == nullptr)
        return -1;
    auto *p = static_cast<uint8_t *>(pkt);
    const size_t host_len = strnlen(g_app.hostname, sizeof(g_app.hostname) - 1) + 1;
    if (host_len + len >= BSV_NET_VAR_ROOM)
        return -1;
    bsv_net_head(p, BSV_NET_TYPE_RECORD);
    const int swap = swap_of(p[3]);
    mem_set_u64(swap, p, 8, g_app.sid);
    mem_set_u64(swap, p, 16, g_app.bid);
    mem_set_u64(swap, p, 24, g_app.stime);
    mem_set_u32(swap, p, 32, g_app.ver);
    mem_set_u16(swap, p, 36, app_id());
    p[38] = g_app.os_id;
    p[39] = g_app.arch_id;
    mem_set_u16(swap, p, 40, static_cast<uint16_t>(type_id != 0 ? type_id : static_cast<uint32_t>(bsv_log_type_id())));
    uint32_t off = BSV_NET_HEAD_SIZE + BSV_NET_PAYLOAD_FIXED;
    memcpy(p + off, g_app.hostname, host_len - 1);
    p[off + host_len - 1] = '\0';
    off += static_cast<uint32_t>(host_len);
    memcpy(p + off, rec, len);
    off += len;
    return bsv_net_finish(p, off);
}

void bsv_net_head(void *pkt, uint16_t type)
{
    auto *p = static_cast<uint8_t *>(pkt);
    memcpy(p, "bsv", 3);
    p[3] = static_cast<uint8_t>(BSV_NET_F_CRC | (g_rc4.load() ? BSV_NET_F_RC4 : 0));
    mem_set_u16(swap_of(p[3]), p, 4, 0);
    mem_set_u16(swap_of(p[3]), p, 6, type);
}

int bsv_net_finish(void *pkt, uint32_t content_len)
{
    auto *p = static_cast<uint8_t *>(pkt);
    const uint8_t flags = p[3];
    const bool crc = (flags & BSV_NET_F_CRC) != 0;
    if (content_len < BSV_NET_HEAD_SIZE || content_len > BSV_NET_CONTENT_MAX + (crc ? 0 : 1))
        return -1;
    const uint32_t len = content_len + (crc ? 1 : 0);
    mem_set_u16(swap_of(flags), p, 4, static_cast<uint16_t>(len));
    if (crc)
        p[content_len] = hash_crc8(p + 3, content_len - 3, 0);
    if ((flags & BSV_NET_F_RC4) != 0)
        bsv_net_rc4(p, len);
    return static_cast<int>(len);
}

void bsv_net_rc4(void *pkt, uint32_t len)
{
    if (pkt == nullptr || len <= 4)
        return;
    // A fresh schedule per packet, on the stack: packets of several log
    // contexts may be enciphered at once.
    rc4_ctx ctx;
    if (rc4_init(&ctx, BSV_NET_KEY, sizeof(BSV_NET_KEY)) != 0)
        return;
    auto *p = static_cast<uint8_t *>(pkt) + 4;
    rc4_crypt(&ctx, p, p, len - 4);
}

void bsv_net_set_rc4(int on)
{
    g_rc4.store(on != 0);
}

int bsv_parse_net_type(void *pkt, uint32_t len)
{
    auto *p = static_cast<uint8_t *>(pkt);
    if (p == nullptr || len < 16) {
        ZLOG_DBG("len=%d error: len<16 \n", static_cast<int>(len));
        return -1;
    }
    if (memcmp(p, "bsv", 3) != 0) {
        ZLOG_DBG("magic 0x%x-0x%x-0x%x error\n", p[0], p[1], p[2]);
        return -1;
    }
    const uint8_t flags = p[3];
    if ((flags >> 4) != 0) {
        ZLOG_DBG("ver=%d not supportd\n", flags >> 4);
        return -1;
    }
    if ((flags & BSV_NET_F_RC4) != 0)
        bsv_net_rc4(p, len);
    if ((flags & BSV_NET_F_CRC) != 0 && hash_crc8(p + 3, len - 4, 0) != p[len - 1]) {
        ZLOG_DBG("crc check failed\n");
        return -1;
    }
    const int swap = swap_of(flags);
    const uint16_t dlen = mem_get_u16(swap, p, 4);
    if (dlen != len) {
        ZLOG_DBG("len=%d dlen=%d endian=%d error: len!=dlen\n", static_cast<int>(len), dlen, swap);
        return -1;
    }
    return mem_get_u16(swap, p, 6);
}

int bsv_parse_net_payload(const void *pkt, uint32_t len, bsv_value *value, bsv_net_payload *out)
{
    const auto *p = static_cast<const uint8_t *>(pkt);
    if (p == nullptr || value == nullptr || out == nullptr || value->count_idx != p_data + 1)
        return -1;
    const uint8_t flags = p[3];
    const uint32_t crc = (flags & BSV_NET_F_CRC) != 0 ? 1 : 0;
    if (len < BSV_NET_HEAD_SIZE + BSV_NET_PAYLOAD_FIXED + 1 + crc ||
        static_cast<uint32_t>(swap_of(flags)) != value->endian)
        return -1;
    const uint8_t *payload = p + BSV_NET_HEAD_SIZE;
    // The strings are looked for before the CRC byte only.
    const uint32_t plen = len - BSV_NET_HEAD_SIZE - crc;
    out->sid = bsv_value_get_u64(value, payload, plen, p_sid);
    out->bid = bsv_value_get_u64(value, payload, plen, p_bid);
    out->stime = bsv_value_get_u64(value, payload, plen, p_stime);
    out->ver_id = bsv_value_get_u32(value, payload, plen, p_ver);
    out->app_id = bsv_value_get_u16(value, payload, plen, p_app);
    out->os_id = bsv_value_get_u8(value, payload, plen, p_os);
    out->arch_id = bsv_value_get_u8(value, payload, plen, p_arch);
    out->type_id = bsv_value_get_u16(value, payload, plen, p_type);
    out->hostname = bsv_value_get_str(value, payload, plen, p_host);
    if (out->hostname == nullptr)
        return -1;
    // The record holds NULs of its own: it is everything after the host name.
    const auto *data = reinterpret_cast<const uint8_t *>(out->hostname) + strlen(out->hostname) + 1;
    if (data >= payload + plen)
        return -1;
    out->data = data;
    out->data_len = static_cast<uint32_t>(payload + plen - data);
    return 0;
}
