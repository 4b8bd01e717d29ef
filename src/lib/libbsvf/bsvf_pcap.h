// pcap files of binary log records: each record is one captured packet whose
// timestamp is the record's time (its first 12 bytes, sec and usec) and whose
// data is the rest of the record; the link type is the record type + 146
// (147 for "log"), one of the format's user-defined types. The log file sink
// writes its ".pcap" form through these calls, under the log context's
// mutex. Errors are logged with the tag "bsvf".
#pragma once

#include <cstdint>

#include "libbsv/bsv_value.h"
#include "libpal/mpcap/mpcap.h"

constexpr uint32_t BSVF_SNAPLEN = 65536;
constexpr uint32_t BSVF_TS_SIZE = 12;  // sec and usec, carried by the record header

struct bsvf_pcap {
    pcap_head *head;
    pcap_dumper *dumper;
    bsv_value *value;  // the record type's schema
};

// Record types 1 to 15 give the link types 147 to 161; another is logged, -1.
int bsvf_type_2_dlt(int type);

// A new file, or one appended to (see pcap_dump_open_append). nullptr
// (logged) when the type is unknown or the file cannot be opened.
bsvf_pcap *bsvf_pcap_create(const char *path, int type);
bsvf_pcap *bsvf_pcap_append(const char *path, int type);
bsvf_pcap *bsvf_pcap_create_imp(const char *path, int append, int type);
// One record as one packet: 0, or -1 (a length of 12 or less is an
// assertion; nothing is written).
int bsvf_pcap_write(bsvf_pcap *h, const void *rec, uint32_t len);
// The size cap (pcap_dump_set_fsize).
int bsvf_pcap_set_fsize(bsvf_pcap *h, uint64_t cap);
int bsvf_pcap_flush(bsvf_pcap *h);
void bsvf_pcap_close(bsvf_pcap *h);
// Pipe-mode operations: -1 for every file this library opens.
int bsvf_pcap_reset(bsvf_pcap *h);
int bsvf_pcap_finish(bsvf_pcap *h);
