// Rule sets of the record filter language: rules parsed into pending lists,
// made live by a commit (which runs the "@rule_mode" and "@include"
// commands), evaluated against a record through a variable getter to decide
// whether the record is dropped. A reader of binary records carries one.
// Error texts are 4096 bytes (QPARSER_ERR_SIZE) and may be nullptr.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/memory/mem_small.h"
#include "libpal/qexpr/qparser.h"

struct os_mutex;
// The optional configuration (typed and text variable maps, expansion
// dictionary, debug and case switches). The system creates none.
struct qexpr_conf;

struct qexpr_rule {
    uint8_t enabled;   // 0 for a rule written with "~"
    char *var;
    uint32_t opcode;
    char *value;       // after expansion
    uint32_t kind;     // 0 plain, 1 negated "!", 2 command "@"
};

constexpr uint32_t QEXPR_MODE_OR  = 0;
constexpr uint32_t QEXPR_MODE_AND = 1;
// Lists of qexpr_rule pointers, created on first use (items nullptr before).
struct qexpr {
    qexpr_conf *conf;
    uint32_t rule_mode;
    os_mutex *mutex;
    mem_ptr main_rules;
    mem_ptr include_rules;
    mem_ptr pending_main;
    mem_ptr pending_include;
    uint32_t include_loading;
};

// A typed value compared by a rule: type is VALUE_TYPE_U8, U16, U32, U64 or
// STRING; a string carries its number (str_parse_u64), a number its decimal
// text.
struct qexpr_value {
    uint32_t type;
    uint64_t num;
    const char *str;
    char text[128];
};

// The record's variable: fills out (type and num, or type and str); 0 or a
// negative value.
using qexpr_var_getter = int (*)(void *ctx, const char *name, qexpr_value *out);
using qexpr_foreach_fn = void (*)(uint8_t enabled, bool is_cmd, const char *var, uint32_t opcode,
                                  const char *value, uint32_t kind, void *ctx);

// Requires: conf is nullptr (no configuration object exists in this system).
qexpr *qexpr_new(qexpr_conf *conf);
void qexpr_free(qexpr *set);

// Parse and commit; on a failure both pending lists are dropped and the live
// rules stay. 0 or a negative value with err set.
int qexpr_load(qexpr *set, const char *text, char *err);
// A file that cannot be read, or a directory, gives "file open failed" and -1.
int qexpr_load_file(qexpr *set, const char *path, char *err);
// One rule from its parts into the pending lists; for kinds 0 and 1 the
// operator must be known ("opcode=[%s] Unsupported" and -1).
int qexpr_add_rules(qexpr *set, uint8_t enabled, const char *var, const char *op, const char *value,
                    uint32_t kind);
// The parser's function (ctx is the set).
int qexpr_add_rule(void *set, const qparser_stmt *stmt);
// Runs the pending commands of the current level and, at the top level,
// makes the pending lists live. 0, or -1 with err set and both pending lists dropped.
int qexpr_commit(qexpr *set, char *err);
int qexpr_commit_main(qexpr *set, char *err);
void qexpr_discard_pending(qexpr *set);
int qexpr_copy(qexpr *dst, const qexpr *src);

// mode QEXPR_MODE_OR or QEXPR_MODE_AND; -1 for another.
int qexpr_set_rule_mode(qexpr *set, uint32_t mode);
// The number of live main rules (commands included).
uint64_t qexpr_rule_count(qexpr *set);
void qexpr_foreach(qexpr *set, qexpr_foreach_fn fn, void *ctx);
// New texts, freed with os_free.
char *qexpr_dump_main_rules(qexpr *set);
char *qexpr_dump_rules_str(qexpr *set);
uint64_t qexpr_rules_hash(qexpr *set);

// 1 drop the record, 0 keep it.
int qexpr_filter_drop(qexpr *set, qexpr_var_getter getter, void *ctx);

int qexpr_opcode_get(const char *op);
// The operator's text; a case-insensitive form gives its base text, an
// unknown opcode "?".
const char *qexpr_opcode_name(uint32_t opcode);
// 1 or 0.
int expr_operate(const qexpr_value *value, const qexpr_value *operand, uint32_t opcode);
int expr_operate_str(const char *text, const char *operand, uint32_t opcode, bool icase, bool debug);
