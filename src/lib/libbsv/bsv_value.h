// Record schemas and typed getters: a schema text such as
// "sec-u64,usec-u32,level-u8,tag|msg-str" names a record's fields, their
// widths and (with the byte order) how to read them. Fixed fields are packed
// in order without padding; string fields follow, each ended by a NUL. The
// getters read a field of one record; a string is a pointer into the record
// and is never looked for past the record's length. A bsv_value is used by
// one thread at a time. Errors are logged with the tag "bsv".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/qexpr/qexpr.h"

struct str_map;

constexpr uint32_t BSV_NAME_SIZE = 32;
constexpr uint32_t BSV_STR_SIZE = 0xFFFFFFFF;  // the size of a string field

struct bsv_field {
    char name[BSV_NAME_SIZE];
    uint32_t type;    // VALUE_TYPE_U8, U16, U32, U64 or STRING
    uint32_t size;    // 1, 2, 4, 8; BSV_STR_SIZE for strings
    int32_t offset;   // in the record; -1 for a string not yet located
};

struct bsv_value {
    const void *last;        // the last record whose strings were located
    const char *schema;      // not copied: it must outlive the value
    uint32_t count_idx;      // number of fields
    uint32_t str_idx;        // index of the first string field (count_idx when none)
    uint32_t endian;         // 0 little-endian, 1 big-endian
    bsv_field *val;
    str_map *names;          // field name to index + 1, sorted
};

// A field read by name: type and value (a number, or a string's address).
struct bsv_var {
    uint32_t type;
    uint64_t value;
    uint64_t extra;  // 0
};

// The context bsv_filter_getter reads.
struct bsv_filter_ctx {
    bsv_value *value;
    const void *record;
    uint32_t len;
};

// The schemas of the known record types.
constexpr const char *BSV_SCHEMA_LOG = "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char *BSV_SCHEMA_LOG3 =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char *BSV_SCHEMA_NET =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,hostname|data-str";

// The schema value of a known record type (1, 2, 3, 5, 6); nullptr (logged)
// for another id. Free with bsv_value_exit.
bsv_value *bsv_type_open_value(int type_id);
// 0 little-endian for 1 and 3, 1 for 2 (and for the big-endian packet form
// 6); another id is logged and gives 0.
int bsv_type_get_os_endian(int type_id);

// Parses schema: with value nullptr it only counts the fields. The count, or
// -1 (logged) for a field without "-", an unknown width, an empty or too long
// name, several names on a number, or a number after a string.
// Requires: value->val has room for the count.
int value_get_info(bsv_value *value, const char *schema);
// nullptr when the schema does not parse or memory runs out.
bsv_value *bsv_value_init(const char *schema, int endian);
void bsv_value_exit(bsv_value *value);

uint32_t bsv_value_get_count(const bsv_value *value);
const bsv_field *bsv_value_get_name(const bsv_value *value, uint32_t idx);

// A field as 64 bits: a number, or a string's address (0 when the string, or
// a number's bytes, lie beyond len). An index out of range is an assertion
// and gives 0.
uint64_t bsv_value_get(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
// Number getters refuse a string field; bsv_value_get_str refuses a number
// (assertion; 0 or nullptr).
uint8_t bsv_value_get_u8(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
uint16_t bsv_value_get_u16(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
uint32_t bsv_value_get_u32(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
uint64_t bsv_value_get_u64(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
const char *bsv_value_get_str(bsv_value *value, const void *rec, uint32_t len, uint32_t idx);
// 0, or -1 for an unknown name (or a string beyond len).
int bsv_value_get_by_name(bsv_value *value, const void *rec, uint32_t len, const char *name, bsv_var *out);
// The rule language's variable getter over a record; ctx is a bsv_filter_ctx.
int bsv_filter_getter(void *ctx, const char *name, qexpr_value *out);
