// Received log-collector packets: any bytes are checked, deciphered and read
// without a fault; a packet that passes has its host name and record inside
// its own bytes, and the record's fields are read within its length.
#include <cstring>
#include <vector>

#include "fuzz_quiet.h"
#include "libbsv/bsv.h"
#include "libbsv/bsv_net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > BSV_NET_MAX * 2)
        return 0;
    std::vector<uint8_t> pkt(data, data + size);
    const auto len = static_cast<uint32_t>(size);
    if (bsv_parse_net_type(pkt.data(), len) < 0)
        return 0;
    bsv_value *net = bsv_type_open_value((pkt[3] & BSV_NET_F_BIG) != 0 ? 6 : 5);
    FUZZ_CHECK(net != nullptr);
    bsv_net_payload p{};
    if (bsv_parse_net_payload(pkt.data(), len, net, &p) == 0) {
        const uint8_t *begin = pkt.data();
        const uint8_t *end = begin + size;
        const auto *host = reinterpret_cast<const uint8_t *>(p.hostname);
        FUZZ_CHECK(host > begin && host < end && memchr(host, 0, static_cast<size_t>(end - host)) != nullptr);
        const auto *rec = static_cast<const uint8_t *>(p.data);
        FUZZ_CHECK(rec > host && rec + p.data_len <= end);
        bsv_value *log = bsv_type_open_value(1);
        FUZZ_CHECK(log != nullptr);
        bsv_log_rec r{};
        if (bsv_log_record_parse(rec, p.data_len, log, &r) == 0) {
            FUZZ_CHECK(reinterpret_cast<const uint8_t *>(r.msg) >= rec &&
                       reinterpret_cast<const uint8_t *>(r.msg) + strlen(r.msg) < rec + p.data_len);
        }
        bsv_value_exit(log);
    }
    bsv_value_exit(net);
    return 0;
}
