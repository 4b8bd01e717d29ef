// Log readers: a reader of the "log" record type for callers that want text
// lines (the web tool's log view, the record pipe server). Records are read
// from the reader's ring in batches of 4096 bytes and turned into lines
// "2024-05-01 12:00:00.250 INFO  1234 --- [main_3fa2] tag func(): message".
// One handle is used by one thread at a time.
#pragma once

#include <cstdint>

#include "libbsv/bsv.h"

// A reader of the "log" type that gives text lines.
struct bsv_log_reader {
    bsv_reader *reader;
    bsv_value *value;
    uint8_t batch[4096];
    uint32_t batch_len;
    uint32_t batch_pos;
};

bsv_log_reader *bsv_open_log();
void bsv_close_log(bsv_log_reader *h);
// The next record (pointer into the batch) and its length; 0 when nothing is
// stored, -1 on an error.
int bsv_read_raw_log(bsv_log_reader *h, const void **rec);
// The next record as one text line in buf; its length, 0 when nothing is
// stored, -1 on an error.
int bsv_read_log(bsv_log_reader *h, int *level, char *buf, uint32_t size);
// "write_byte=%li\n"... six lines, freed with os_free; nullptr when the
// counters cannot be read.
char *bsv_log_stat_text(bsv_log_reader *h);
