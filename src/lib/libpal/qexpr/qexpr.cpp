// Rule sets: pending lists filled by the parser without the lock, a commit
// that runs the commands and swaps the lists in under the lock, and the
// evaluation of a record, also under the lock.
#define ZLOG_TAG "pal"

#include "libpal/qexpr/qexpr.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "libpal/basic/os_malloc.h"
#include "libpal/basic/os_sync.h"
#include "libpal/basic/pl_own.h"
#include "libpal/env/pl_assert.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/mem_find.h"
#include "libpal/os/os_time_str.h"
#include "libpal/regex/pl_regex.h"
#include "libpal/string/str_buf.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_search.h"
#include "libpal/value/value2.h"
#include "liblog/zlog.h"

namespace {

// Indexed by opcode; each case-insensitive form (+2) reads as its base text.
constexpr std::array<const char *, 38> k_opnames = {
    "findhex", "!findhex", "==", "!=", "==", "!=", "<", ">", "<", ">", "<=", ">=", "<=", ">=",
    "find", "!find", "find", "!find", "gfind", "!gfind", "gfind", "!gfind",
    "startswith", "!startswith", "startswith", "!startswith", "endswith", "!endswith", "endswith", "!endswith",
    "glob", "!glob", "glob", "!glob", "match", "!match", "match", "!match",
};

bool is_icase_form(uint32_t opcode) { return opcode >= 2 && (opcode - 2) % 4 >= 2; }

void rule_free(qexpr_rule *rule)
{
    if (!rule)
        return;
    os_free(rule->var);
    os_free(rule->value);
    os_free(rule);
}

qexpr_rule *rule_new(uint8_t enabled, const char *var, uint32_t opcode, const char *value, uint32_t kind)
{
    pl_owned<qexpr_rule, rule_free> rule(static_cast<qexpr_rule *>(os_calloc(1, sizeof(qexpr_rule))));
    if (!rule)
        return nullptr;
    rule->enabled = enabled;
    rule->opcode = opcode;
    rule->kind = kind;
    rule->var = os_strdup(var);
    rule->value = os_strdup(value);
    return rule->var && rule->value ? rule.release() : nullptr;
}

void list_clear(mem_ptr *list)
{
    for (uint64_t i = 0; i < list->count; ++i)
        rule_free(static_cast<qexpr_rule *>(list->items[i]));
    if (list->items)
        mem_ptr_exit(list);
    *list = mem_ptr{};
}

int list_add(mem_ptr *list, qexpr_rule *rule)
{
    if (!list->items && mem_ptr_init(list) != 0)
        return -1;
    return mem_ptr_add(list, rule);
}

qexpr_rule *rule_at(const mem_ptr *list, uint64_t i) { return static_cast<qexpr_rule *>(list->items[i]); }

int list_copy(mem_ptr *dst, const mem_ptr *src)
{
    for (uint64_t i = 0; i < src->count; ++i) {
        const qexpr_rule *r = rule_at(src, i);
        qexpr_rule *copy = rule_new(r->enabled, r->var, r->opcode, r->value, r->kind);
        if (!copy || list_add(dst, copy) != 0) {
            rule_free(copy);
            list_clear(dst);
            return -1;
        }
    }
    return 0;
}

// Date words first, then the environment.
char *qexpr_var_expand_cb(const char *name, void *)
{
    char date[32] = "";
    os_date_word_cstr(name, date, sizeof(date));
    if (date[0])
        return os_strdup(date);
    return str_var_get_env(name, nullptr);
}

bool has_blank(const char *value) { return strchr(value, ' ') || strchr(value, '\t'); }

int dump_rule(str_buf *sb, const qexpr_rule *r)
{
    const char *prefix = r->enabled ? "" : "~ ";
    if (r->kind != 2) {
        const qparser_stmt stmt{r->enabled, r->kind, r->var, r->opcode, r->value, false};
        return qparser_dump_line(sb, &stmt);
    }
    if (!qparser_needs_quotes(r->value))
        return str_buf_appendf(sb, "%s@ %s %s\n", prefix, r->var, r->value) < 0 ? -1 : 0;
    // Commands in single quotes when blanks need quoting and a single quote can carry them.
    if (has_blank(r->value) && !strchr(r->value, '\'') && !strpbrk(r->value, "\r\n"))
        return str_buf_appendf(sb, "%s@ %s '%s'\n", prefix, r->var, r->value) < 0 ? -1 : 0;
    const qparser_stmt stmt{r->enabled, r->kind, r->var, 0, r->value, false};
    return qparser_dump_line(sb, &stmt);
}

// Requires: the set's lock is held.
char *dump_imp(qexpr *set, bool full)
{
    pl_owned<str_buf, str_buf_free> sb(str_buf_new());
    if (!sb)
        return nullptr;
    bool ok = str_buf_appendf(sb.get(), "# rule_mode=%s\n", set->rule_mode == QEXPR_MODE_AND ? "and" : "or") > 0 &&
              str_buf_append_str(sb.get(), "#main----------------------\n") == 0;
    for (uint64_t i = 0; ok && i < set->main_rules.count; ++i)
        ok = dump_rule(sb.get(), rule_at(&set->main_rules, i)) == 0;
    if (full) {
        ok = ok && str_buf_append_str(sb.get(), "#include-------------------\n") == 0;
        for (uint64_t i = 0; ok && i < set->include_rules.count; ++i)
            ok = dump_rule(sb.get(), rule_at(&set->include_rules, i)) == 0;
    }
    ok = ok && str_buf_append_str(sb.get(), "#end-----------------------\n") == 0;
    return ok ? str_buf_detach_nonnull(sb.release()) : nullptr;
}

int load_text(qexpr *set, const char *text, char *err)
{
    if (qparser_parse(text, qexpr_add_rule, set, err) != 0) {
        qexpr_discard_pending(set);
        return -1;
    }
    return qexpr_commit(set, err);
}

int commit_level(qexpr *set, bool nested, uint64_t from, uint32_t *mode, char *err);

// Loads an included file's rules into the pending include list and runs its commands.
int run_include(qexpr *set, const char *value, uint32_t *mode, char *err)
{
    pl_owned<char, os_free> path(str_expand_vars_env(value));
    pl_owned<char, os_free> text(path ? qparser_read_file(path.get()) : nullptr);
    if (!text) {
        qparser_set_err(err, "include [%s][%s] error: %s", value, path ? path.get() : "", strerror(errno));
        return -1;
    }
    const uint64_t from = set->pending_include.count;
    set->include_loading = 1;
    int rc = qparser_parse(text.get(), qexpr_add_rule, set, err);
    if (rc == 0)
        rc = commit_level(set, true, from, mode, err);
    set->include_loading = 0;
    return rc;
}

// Runs the enabled commands of the level's pending rules from index from on;
// the rule mode they set goes to *mode, applied only when the whole commit succeeds.
int commit_level(qexpr *set, bool nested, uint64_t from, uint32_t *mode, char *err)
{
    const mem_ptr *list = nested ? &set->pending_include : &set->pending_main;
    for (uint64_t i = from; i < list->count; ++i) {
        const qexpr_rule *r = rule_at(list, i);
        if (r->kind != 2 || !r->enabled)
            continue;
        if (strcmp(r->var, "rule_mode") == 0) {
            if (strcmp(r->value, "or") != 0 && strcmp(r->value, "and") != 0) {
                qparser_set_err(err, "rule_mode = %s error, [or and]", r->value);
                return -1;
            }
            *mode = r->value[0] == 'a' ? QEXPR_MODE_AND : QEXPR_MODE_OR;
        } else if (strcmp(r->var, "include") == 0) {
            // An included file that includes again (itself or another) is refused.
            if (nested) {
                qparser_set_err(err, "Only one level of include is supported");
                return -1;
            }
            if (run_include(set, r->value, mode, err) != 0)
                return -1;
        } else {
            qparser_set_err(err, "unsupprot cmd [%s] error", r->var);
            return -1;
        }
    }
    return 0;
}

bool number_type(uint32_t type)
{
    return type == VALUE_TYPE_U8 || type == VALUE_TYPE_U16 || type == VALUE_TYPE_U32 || type == VALUE_TYPE_U64;
}

// A number's bytes in memory order at its own width.
size_t number_bytes(const qexpr_value *v, uint8_t *out)
{
    switch (v->type) {
    case VALUE_TYPE_U8: { const uint8_t x = static_cast<uint8_t>(v->num); memcpy(out, &x, 1); return 1; }
    case VALUE_TYPE_U16: { const uint16_t x = static_cast<uint16_t>(v->num); memcpy(out, &x, 2); return 2; }
    case VALUE_TYPE_U32: { const uint32_t x = static_cast<uint32_t>(v->num); memcpy(out, &x, 4); return 4; }
    default: memcpy(out, &v->num, 8); return 8;
    }
}

int compare_numbers(uint64_t a, uint64_t b, uint32_t opcode)
{
    switch ((opcode - 2) / 4 * 2 + (opcode - 2) % 2) {
    case 0: return a == b;
    case 1: return a != b;
    case 2: return a < b;
    case 3: return a > b;
    case 4: return a <= b;
    default: return a >= b;
    }
}

// Completes a getter's value: the other form of the number or the text.
void value_complete(qexpr_value *v)
{
    if (v->type == VALUE_TYPE_STRING) {
        if (!v->str)
            v->str = "";
        v->num = str_parse_u64(v->str);
    } else if (number_type(v->type)) {
        snprintf(v->text, sizeof(v->text), "%" PRIu64, v->num);
        v->str = v->text;
    }
}

}  // namespace

qexpr *qexpr_new(qexpr_conf *conf)
{
    PL_ASSERT_RET(conf == nullptr, nullptr);
    pl_owned<qexpr, qexpr_free> set(static_cast<qexpr *>(os_calloc(1, sizeof(qexpr))));
    if (!set)
        return nullptr;
    set->mutex = mutex_malloc();
    return set->mutex ? set.release() : nullptr;
}

void qexpr_free(qexpr *set)
{
    if (!set)
        return;
    qexpr_discard_pending(set);
    list_clear(&set->main_rules);
    list_clear(&set->include_rules);
    if (set->mutex)
        mutex_free(set->mutex);
    os_free(set);
}

int qexpr_load(qexpr *set, const char *text, char *err)
{
    PL_ASSERT_RET(set != nullptr, -1);
    if (err)
        err[0] = '\0';
    qexpr_discard_pending(set);
    return load_text(set, text, err);
}

int qexpr_load_file(qexpr *set, const char *path, char *err)
{
    PL_ASSERT_RET(set != nullptr, -1);
    // A rule file that cannot be read is a failure, never an empty rule set.
    pl_owned<char, os_free> text(qparser_read_file(path));
    if (!text) {
        qparser_set_err(err, "file open failed");
        return -1;
    }
    if (qparser_check(text.get(), err) != 0)
        return -1;
    return qexpr_load(set, text.get(), err);
}

int qexpr_add_rules(qexpr *set, uint8_t enabled, const char *var, const char *op, const char *value,
                    uint32_t kind)
{
    PL_ASSERT_RET(set && var && value && kind <= 2, -1);
    uint32_t opcode = 0;
    if (kind != 2) {
        const int code = qexpr_opcode_get(op);
        if (code < 0) {
            ZLOG_ERR("opcode=[%s] Unsupported", op ? op : "");
            return -1;
        }
        opcode = static_cast<uint32_t>(code);
    }
    const qparser_stmt stmt{enabled, kind, var, opcode, value, kind != 2};
    return qexpr_add_rule(set, &stmt);
}

int qexpr_add_rule(void *ctx, const qparser_stmt *stmt)
{
    auto *set = static_cast<qexpr *>(ctx);
    mem_ptr *list = set->include_loading ? &set->pending_include : &set->pending_main;
    if (list->count >= QPARSER_MAX_RULES)
        return QPARSER_TOO_MANY;
    pl_owned<char, os_free> expanded(stmt->expand ? str_expand_vars_imp(stmt->value, qexpr_var_expand_cb, nullptr)
                                                  : nullptr);
    if (stmt->expand && !expanded)
        return -1;
    qexpr_rule *rule = rule_new(stmt->enabled, stmt->var, stmt->opcode, expanded ? expanded.get() : stmt->value,
                                stmt->kind);
    if (!rule || list_add(list, rule) != 0) {
        rule_free(rule);
        return -1;
    }
    return 0;
}

int qexpr_commit(qexpr *set, char *err)
{
    PL_ASSERT_RET(set != nullptr, -1);
    const bool nested = set->include_loading != 0;
    uint32_t mode;
    {
        os_mutex_guard hold(set->mutex);
        mode = set->rule_mode;
    }
    if (commit_level(set, nested, 0, &mode, err) != 0) {
        qexpr_discard_pending(set);
        return -1;
    }
    if (nested)
        return 0;
    mem_ptr old_main, old_include;
    {
        os_mutex_guard hold(set->mutex);
        old_main = set->main_rules;
        old_include = set->include_rules;
        set->main_rules = set->pending_main;
        set->include_rules = set->pending_include;
        set->pending_main = mem_ptr{};
        set->pending_include = mem_ptr{};
        set->rule_mode = mode;
    }
    list_clear(&old_main);
    list_clear(&old_include);
    return 0;
}

int qexpr_commit_main(qexpr *set, char *err)
{
    PL_ASSERT_RET(set != nullptr, -1);
    set->include_loading = 0;
    return qexpr_commit(set, err);
}

void qexpr_discard_pending(qexpr *set)
{
    PL_ASSERT_RET_VOID(set != nullptr);
    set->include_loading = 0;
    list_clear(&set->pending_main);
    list_clear(&set->pending_include);
}

int qexpr_copy(qexpr *dst, const qexpr *src)
{
    PL_ASSERT_RET(dst && src && dst != src, -1);
    mem_ptr main_copy{}, include_copy{};
    uint32_t mode;
    {
        os_mutex_guard hold(src->mutex);
        mode = src->rule_mode;
        if (list_copy(&main_copy, &src->main_rules) != 0 || list_copy(&include_copy, &src->include_rules) != 0) {
            list_clear(&main_copy);
            return -1;
        }
    }
    {
        os_mutex_guard hold(dst->mutex);
        std::swap(dst->main_rules, main_copy);
        std::swap(dst->include_rules, include_copy);
        dst->rule_mode = mode;
    }
    list_clear(&main_copy);
    list_clear(&include_copy);
    return 0;
}

int qexpr_set_rule_mode(qexpr *set, uint32_t mode)
{
    PL_ASSERT_RET(set && (mode == QEXPR_MODE_OR || mode == QEXPR_MODE_AND), -1);
    os_mutex_guard hold(set->mutex);
    set->rule_mode = mode;
    return 0;
}

uint64_t qexpr_rule_count(qexpr *set)
{
    PL_ASSERT_RET(set != nullptr, 0);
    os_mutex_guard hold(set->mutex);
    return set->main_rules.count;
}

void qexpr_foreach(qexpr *set, qexpr_foreach_fn fn, void *ctx)
{
    PL_ASSERT_RET_VOID(set && fn);
    os_mutex_guard hold(set->mutex);
    for (uint64_t i = 0; i < set->main_rules.count; ++i) {
        const qexpr_rule *r = rule_at(&set->main_rules, i);
        fn(r->enabled, r->kind == 2, r->var, r->opcode, r->value, r->kind, ctx);
    }
}

char *qexpr_dump_main_rules(qexpr *set)
{
    PL_ASSERT_TEXT_RET(set != nullptr, "h!=NULL", nullptr);
    os_mutex_guard hold(set->mutex);
    return dump_imp(set, false);
}

char *qexpr_dump_rules_str(qexpr *set)
{
    PL_ASSERT_TEXT_RET(set != nullptr, "h!=NULL", nullptr);
    os_mutex_guard hold(set->mutex);
    return dump_imp(set, true);
}

uint64_t qexpr_rules_hash(qexpr *set)
{
    PL_ASSERT_RET(set != nullptr, 0);
    {
        os_mutex_guard hold(set->mutex);
        if (set->main_rules.count == 0 && set->include_rules.count == 0)
            return 0;
    }
    pl_owned<char, os_free> text(qexpr_dump_rules_str(set));
    return text ? hash_crc64(text.get(), strlen(text.get()), 0) : 0;
}

int qexpr_filter_drop(qexpr *set, qexpr_var_getter getter, void *ctx)
{
    PL_ASSERT_RET(set != nullptr, 0);
    // Without a configuration, text comparisons ignore case and only the
    // caller's getter can resolve a variable.
    if (!getter)
        return 0;
    os_mutex_guard hold(set->mutex);
    int verdict = 0;
    for (const mem_ptr *list : {&set->main_rules, &set->include_rules}) {
        for (uint64_t i = 0; i < list->count; ++i) {
            const qexpr_rule *r = rule_at(list, i);
            if (!r->enabled || r->kind == 2)
                continue;
            qexpr_value value{};
            if (getter(ctx, r->var, &value) < 0) {
                ZLOG_ERR("var_proc get_arg1 [%s] failed\n", r->var);
                continue;
            }
            value_complete(&value);
            qexpr_value operand{};
            operand.type = VALUE_TYPE_STRING;
            operand.str = r->value;
            operand.num = str_parse_u64(r->value);
            uint32_t opcode = r->opcode;
            if (value.type == VALUE_TYPE_STRING ? opcode > 1 : opcode > 13)
                opcode += 2;
            // A negated rule's result is turned over before it decides: 1 keeps.
            int keep = expr_operate(&value, &operand, opcode);
            if (r->kind == 1)
                keep = !keep;
            verdict = keep ? 0 : 1;
            if (set->rule_mode == QEXPR_MODE_OR ? keep == 1 : keep == 0)
                return verdict;
        }
    }
    return verdict;
}

int qexpr_opcode_get(const char *op)
{
    if (!op)
        return -1;
    for (uint32_t i = 0; i < k_opnames.size(); ++i)
        if (!is_icase_form(i) && strcmp(k_opnames[i], op) == 0)
            return static_cast<int>(i);
    return -1;
}

const char *qexpr_opcode_name(uint32_t opcode)
{
    return opcode < k_opnames.size() ? k_opnames[opcode] : "?";
}

int expr_operate(const qexpr_value *value, const qexpr_value *operand, uint32_t opcode)
{
    if (opcode >= k_opnames.size() || !operand->str)
        return 0;
    if (number_type(value->type)) {
        if (opcode <= 1) {
            uint8_t bytes[8];
            const size_t n = number_bytes(value, bytes);
            const bool found = mem_find_pattern(bytes, n, operand->str) != nullptr;
            return opcode == 0 ? found : !found;
        }
        if (opcode <= 13)
            return compare_numbers(value->num, operand->num, opcode);
        return expr_operate_str(value->str ? value->str : value->text, operand->str, opcode, false, false);
    }
    if (value->type == VALUE_TYPE_STRING && value->str)
        return expr_operate_str(value->str, operand->str, opcode, false, false);
    return 0;
}

int expr_operate_str(const char *text, const char *operand, uint32_t opcode, bool icase, bool debug)
{
    if (!text || !operand || opcode >= k_opnames.size())
        return 0;
    if (icase && opcode > 1 && !is_icase_form(opcode))
        opcode += 2;
    if (debug)
        ZLOG_DBG("[%s %s %s]\n", text, qexpr_opcode_name(opcode), operand);
    if (opcode <= 1) {
        const bool found = mem_find_pattern(text, strlen(text), operand) != nullptr;
        return opcode == 0 ? found : !found;
    }
    const bool ci = is_icase_form(opcode);
    if (opcode <= 13) {
        const int c = ci ? strcasecmp(text, operand) : strcmp(text, operand);
        return compare_numbers(static_cast<uint64_t>(c < 0 ? 0 : c > 0 ? 2 : 1), 1, opcode);
    }
    bool m = false;
    switch ((opcode - 14) / 4) {
    case 0: m = (ci ? str_istr(text, operand) : strstr(text, operand)) != nullptr; break;
    case 1: m = (ci ? str_igfind(text, operand) : str_gfind(text, operand)) != nullptr; break;
    case 2: m = ci ? str_istartswith(text, operand) : str_startswith(text, operand); break;
    case 3: m = ci ? str_iendswith(text, operand) : str_endswith(text, operand); break;
    case 4: m = ci ? pl_glob_match_list_i(text, operand) : pl_glob_match_list(text, operand); break;
    default: m = (ci ? regex_match_icase(text, operand) : regex_match(text, operand)) == 1; break;
    }
    return opcode % 2 == 0 ? m : !m;
}
