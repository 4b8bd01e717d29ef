// Binary log records: every log message (except those tagged "bsv" or "net")
// becomes a record of the type "log", handed in this order to the network
// callback (the UDP collector, for messages flagged 0x400 or 0x800), to the
// file callback (a pcap log file) and to the in-process readers of the type,
// each of which keeps the newest records in a ring buffer. The type registry
// holds 8 types. Lock order: the log context's mutex, then the callback lock
// (held while a callback runs, and by the setters, so that a cleared
// callback is no longer running once its setter returns), then the registry
// lock, then a ring's own. Callbacks make no log calls. Errors are logged
// with the tag "bsv".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libbsv/bsv_value.h"

struct rbuf;
struct rbuf_stat;
struct qexpr;

constexpr uint32_t BSV_LOG_TYPE_ID = 1;
constexpr uint32_t BSV_LOG_HEAD_SIZE = 21;    // fixed fields of a "log" record
constexpr uint32_t BSV_LOG_STR_ROOM = 1449;   // its string area
constexpr uint32_t BSV_LOG_MAX = 1472;        // the largest record of the type
constexpr uint32_t BSV_TYPE_SLOTS = 8;
constexpr uint32_t BSV_LOG_READERS = 8;
constexpr size_t BSV_ERR_SIZE = 4096;
constexpr const char *BSV_PATH_PREFIX = "d:\\work\\qds\\";

// (level with flags, bytes, length, argument). Called inside the log call.
using bsv_write_cb = void (*)(uint32_t level, const void *data, uint32_t len, void *arg);

struct bsv_reader;

struct bsv_type {
    const char *name;
    const char *schema;
    uint32_t type_id;
    uint32_t endian;
    uint32_t max_len;
    uint32_t max_readers;
    std::atomic<uint32_t> reader_count;
    bsv_reader **readers;  // max_readers slots, while registered
};

struct bsv_reader {
    rbuf *ring;
    bsv_value *filter_value;  // the schema the filter reads, with the filter
    qexpr *filter;
    std::atomic<uint32_t> enabled;
    bsv_type *type;           // nullptr once its type has gone (bsv_exit_all)
};

struct bsv_type_info {
    uint16_t type_id;
    uint16_t endian;
    uint32_t max_len;
    char schema[512];
};

// A "log" record parsed (its type-3 form adds cpu_num and irql); strings
// point into the record.
struct bsv_log_rec {
    uint64_t sec;
    uint32_t usec;
    uint32_t pid;
    uint32_t tid;
    uint8_t level;
    const char *tag;
    const char *tid_name;
    const char *file;
    const char *line;
    const char *func;
    const char *msg;
};

struct bsv_log3_rec {
    bsv_log_rec log;
    uint16_t cpu_num;
    uint8_t irql;
};

// The record writer: one call per log message, inside the log call.
void bsv_log_write(uint32_t level, const char *tag, const char *file, int line, const char *func, const char *msg);
// The same record for the file callback alone: a message the other takers
// had when it was logged, written to a pcap log file opened since.
void bsv_log_write_file(uint32_t level, const char *tag, const char *file, int line, const char *func,
                        const char *msg);
// Install or clear (nullptr) a callback; waits for a running one to return.
void bsv_set_net_cb(bsv_write_cb cb, void *arg);
void bsv_set_file_cb(bsv_write_cb cb, void *arg);

// Builds a record in buf (BSV_LOG_MAX bytes): its length, or -1.
int bsv_log_record(void *buf, uint32_t level, const char *tag, const char *file, int line, const char *func,
                   const char *msg);
int bsv_log3_record(void *buf, uint32_t level, const char *tag, const char *file, int line, const char *func,
                    const char *msg);
// 0, or -1 when a field lies beyond len. value is the schema of the type.
int bsv_log_record_parse(const void *rec, uint32_t len, bsv_value *value, bsv_log_rec *out);
int bsv_log3_record_parse(const void *rec, uint32_t len, bsv_value *value, bsv_log3_rec *out);

// Types and readers.
int bsv_reg_log();
int bsv_log_type_id();
// The "log" type, registered.
bsv_type *bsv_log_type();
// 0 (also for a type already registered), -1 when no slot is free or memory runs out.
int bsv_type_reg(bsv_type *type);
// "name?bsv_rbuf_size=64k": a reader of the named type, enabled. nullptr with
// "memory allocation failed" or "name does not exist" in err (BSV_ERR_SIZE).
// With every reader slot taken the reader is made but receives nothing.
bsv_reader *bsv_open(const char *name, char *err);
void bsv_close(bsv_reader *reader);
// 0 when the reader is registered with a type, else -1.
int bsv_check(bsv_reader *reader);
int bsv_get_info(bsv_reader *reader, bsv_type_info *info);
int bsv_enable(bsv_reader *reader);
int bsv_disable(bsv_reader *reader);
// Stored records, oldest first, each as a u16 length (host order) and the
// record. The bytes written, 0 when none is stored, -1 when size cannot hold
// the type's largest record.
int bsv_read(bsv_reader *reader, void *buf, uint32_t size);
int bsv_get_stat(bsv_reader *reader, rbuf_stat *stat);
// Loads rules into the reader's filter (made on first use): the loader's
// result, -1 when the filter cannot be made.
int bsv_set_filter(bsv_reader *reader, const char *rules);
// 1 when the filter drops the record, 0 when it keeps it.
int bsv_filter_test(bsv_value *value, const void *rec, uint32_t len, qexpr *filter);
// Writes a record to the type's enabled readers whose filters keep it.
void bsv_type_write(bsv_type *type, const void *rec, uint32_t len);
// Empties the registry: every reader is taken off its type and receives
// nothing more (its owner still closes it), every type is dropped.
void bsv_exit_all();
int bsv_nop();
