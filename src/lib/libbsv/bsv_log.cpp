// Log readers: records of the "log" type back to text lines.
#define ZLOG_TAG "bsv"

#include "libbsv/bsv_log.h"

#include <cstring>
#include <ctime>

#include "libpal/basic/os_malloc.h"
#include "libpal/env/pl_assert.h"
#include "libpal/memory/rbuf.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_safe.h"
#include "liblog/zlog.h"

bsv_log_reader *bsv_open_log()
{
    auto *h = static_cast<bsv_log_reader *>(os_zalloc(sizeof(bsv_log_reader)));
    if (h == nullptr)
        return nullptr;
    bsv_reg_log();
    char err[BSV_ERR_SIZE] = "";
    h->reader = bsv_open("log", err);
    if (h->reader == nullptr) {
        ZLOG_ERR("bsv_open(log), error: %s\n", err);
        os_free(h);
        return nullptr;
    }
    bsv_type_info info;
    if (bsv_get_info(h->reader, &info) == 0)
        h->value = bsv_value_init(BSV_SCHEMA_LOG, info.endian);
    if (h->value == nullptr) {
        ZLOG_ERR("bsv_value_init(log) [%s], failed\n", BSV_SCHEMA_LOG);
        bsv_close(h->reader);
        os_free(h);
        return nullptr;
    }
    bsv_enable(h->reader);
    return h;
}

void bsv_close_log(bsv_log_reader *h)
{
    if (h == nullptr)
        return;
    bsv_close(h->reader);
    bsv_value_exit(h->value);
    os_free(h);
}

int bsv_read_raw_log(bsv_log_reader *h, const void **rec)
{
    if (h == nullptr || rec == nullptr)
        return -1;
    if (h->batch_pos >= h->batch_len) {
        h->batch_pos = 0;
        h->batch_len = 0;
        const int n = bsv_read(h->reader, h->batch, sizeof(h->batch));
        if (n <= 0)
            return n;
        h->batch_len = static_cast<uint32_t>(n);
    }
    uint16_t vlen = 0;
    if (h->batch_pos + sizeof(vlen) > h->batch_len) {
        h->batch_pos = h->batch_len;
        return -1;
    }
    memcpy(&vlen, h->batch + h->batch_pos, sizeof(vlen));
    if (vlen == 0 || h->batch_pos + sizeof(vlen) + vlen > h->batch_len) {
        h->batch_pos = h->batch_len;
        PL_ASSERT_TEXT_RET(false, "vlen != 0", -1);
    }
    *rec = h->batch + h->batch_pos + sizeof(vlen);
    h->batch_pos += static_cast<uint32_t>(sizeof(vlen)) + vlen;
    return vlen;
}

int bsv_read_log(bsv_log_reader *h, int *level, char *buf, uint32_t size)
{
    if (h == nullptr || buf == nullptr || size == 0)
        return -1;
    const void *rec = nullptr;
    const int len = bsv_read_raw_log(h, &rec);
    if (len <= 0)
        return len;
    bsv_log_rec r;
    if (bsv_log_record_parse(rec, static_cast<uint32_t>(len), h->value, &r) != 0)
        return -1;
    const time_t t = static_cast<time_t>(r.sec);
    tm local{};
    localtime_r(&t, &local);
    if (level != nullptr)
        *level = r.level;
    const int n = str_sprintf_s2(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                                 local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                 local.tm_sec, static_cast<int>(r.usec / 1000), log2_level_prefix(r.level),
                                 static_cast<int>(r.pid), r.tid_name, r.tag, r.func, r.msg);
    return n < 0 ? -1 : n;
}

char *bsv_log_stat_text(bsv_log_reader *h)
{
    rbuf_stat st;
    if (h == nullptr || bsv_get_stat(h->reader, &st) != 0)
        return nullptr;
    str_buf *sb = str_buf_new();
    if (sb == nullptr)
        return nullptr;
    str_buf_appendf(sb, "write_byte=%li\n", static_cast<long>(st.write_byte));
    str_buf_appendf(sb, "read_byte=%li\n", static_cast<long>(st.read_byte));
    str_buf_appendf(sb, "drop_byte=%li\n", static_cast<long>(st.drop_byte));
    str_buf_appendf(sb, "write_count=%li\n", static_cast<long>(st.write_count));
    str_buf_appendf(sb, "read_count=%li\n", static_cast<long>(st.read_count));
    str_buf_appendf(sb, "drop_count=%li\n", static_cast<long>(st.drop_count));
    return str_buf_detach_nonnull(sb);
}
