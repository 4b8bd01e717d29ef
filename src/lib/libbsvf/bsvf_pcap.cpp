// pcap files of binary log records.
#define ZLOG_TAG "bsvf"

#include "libbsvf/bsvf_pcap.h"

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "liblog/zlog.h"

namespace {

constexpr int k_dlt_base = 146;
constexpr int k_last_user_type = 15;
// Field indices of sec and usec in every record schema.
constexpr uint32_t k_field_sec = 0;
constexpr uint32_t k_field_usec = 1;

}  // namespace

int bsvf_type_2_dlt(int type)
{
    if (type < 1 || type > k_last_user_type) {
        ZLOG_ERR("type=%d error\n", type);
        return -1;
    }
    return k_dlt_base + type;
}

bsvf_pcap *bsvf_pcap_create_imp(const char *path, int append, int type)
{
    const int dlt = bsvf_type_2_dlt(type);
    if (dlt < 0 || path == nullptr)
        return nullptr;
    auto *h = static_cast<bsvf_pcap *>(os_zalloc(sizeof(bsvf_pcap)));
    if (h == nullptr)
        return nullptr;
    h->value = bsv_type_open_value(type);
    if (h->value == nullptr) {
        ZLOG_DBG("bsv_value_init_form_type failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    h->head = pcap_open_dead(static_cast<uint32_t>(dlt), BSVF_SNAPLEN, bsv_type_get_os_endian(type));
    if (h->head == nullptr) {
        ZLOG_DBG("pcap_open_dead failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    h->dumper = append != 0 ? pcap_dump_open_append(h->head, path) : pcap_dump_open(h->head, path);
    if (h->dumper == nullptr) {
        ZLOG_DBG("pcap_dump_open failed.\n");
        bsvf_pcap_close(h);
        return nullptr;
    }
    return h;
}

bsvf_pcap *bsvf_pcap_create(const char *path, int type)
{
    return bsvf_pcap_create_imp(path, 0, type);
}

bsvf_pcap *bsvf_pcap_append(const char *path, int type)
{
    return bsvf_pcap_create_imp(path, 1, type);
}

int bsvf_pcap_write(bsvf_pcap *h, const void *rec, uint32_t len)
{
    PL_ASSERT_TEXT_RET(len > BSVF_TS_SIZE, "len > 12", -1);
    if (h == nullptr || rec == nullptr || len - BSVF_TS_SIZE > BSVF_SNAPLEN)
        return -1;
    pcap_rec_hdr hdr;
    hdr.ts_sec = static_cast<uint32_t>(bsv_value_get_u64(h->value, rec, len, k_field_sec));
    hdr.ts_usec = bsv_value_get_u32(h->value, rec, len, k_field_usec);
    hdr.caplen = len - BSVF_TS_SIZE;
    hdr.len = hdr.caplen;
    return pcap_dump(h->dumper, &hdr, static_cast<const uint8_t *>(rec) + BSVF_TS_SIZE);
}

int bsvf_pcap_set_fsize(bsvf_pcap *h, uint64_t cap)
{
    return h == nullptr ? -1 : pcap_dump_set_fsize(h->dumper, cap);
}

int bsvf_pcap_flush(bsvf_pcap *h)
{
    return h == nullptr ? -1 : pcap_dump_flush(h->dumper);
}

void bsvf_pcap_close(bsvf_pcap *h)
{
    if (h == nullptr)
        return;
    if (h->value != nullptr)
        bsv_value_exit(h->value);
    pcap_dump_close(h->dumper);
    pcap_close(h->head);
    os_free(h);
}

int bsvf_pcap_reset(bsvf_pcap *h)
{
    return h == nullptr ? -1 : pcap_dump_reset(h->dumper);
}

int bsvf_pcap_finish(bsvf_pcap *h)
{
    return h == nullptr ? -1 : pcap_dump_finish(h->dumper);
}
