// Settable variables: the registry behind "set", its help, dump and JSON
// texts. Values come from an entry's callbacks or, without them, from its
// int value2.
#include "libpal/value/var_mgr.h"

#include <cstdio>
#include <cstring>

#define ZLOG_TAG "pal"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/value/var_mgr_imp.h"

namespace {

using namespace var_mgr_imp;

bool has_int_value(const dvar *var)
{
    return var->value.type == VALUE_TYPE_INT || (var->value.type == VALUE_TYPE_PINT && var->value.v.pint != nullptr);
}

// An enumeration stored without a callback must not take a word outside its
// range: "set nbd_readonly_flag yes" would otherwise store 0 and make exports writable.
bool in_range(const dvar *var, const char *value)
{
    return var->range != nullptr && str_list_find(value, var->range, '|') >= 0;
}

}  // namespace

dvar_mgr *dvar_mgr_new() { return mgr_new<dvar_mgr>(); }
int dvar_mgr_free(dvar_mgr *mgr) { return mgr_free(mgr); }

int dvar_mgr_add(dvar_mgr *mgr, dvar *var)
{
    bool complete = var != nullptr && (var->set != nullptr || has_int_value(var));
    return mgr_add(mgr, var, complete, "set");
}

dvar *dvar_mgr_find(dvar_mgr *mgr, const char *name) { return mgr_find<dvar>(mgr, name); }
bool dvar_mgr_exists(dvar_mgr *mgr, const char *name) { return dvar_mgr_find(mgr, name) != nullptr; }

int dvar_mgr_get(dvar *var, char *buf)
{
    if (var == nullptr || buf == nullptr)
        return -1;
    if (var->get != nullptr)
        return var->get(buf, DVAR_VALUE_SIZE);
    if (has_int_value(var))
        return value2_get_str(&var->value, buf, DVAR_VALUE_SIZE);
    str_safecopy(buf, DVAR_VALUE_SIZE, "error: not support");
    ZLOG_ERR("error: var.name %s get=NULL error\n", var->name);
    return -1;
}

int dvar_mgr_set(dvar_mgr *mgr, const char *name, const char *value, char *err)
{
    if (err != nullptr)
        err[0] = '\0';
    dvar *var = dvar_mgr_find(mgr, name);
    if (var == nullptr) {
        if (err != nullptr)
            snprintf(err, DVAR_ERR_SIZE, "The set variable '%s' does not exist", name != nullptr ? name : "");
        return -12;
    }
    if (value == nullptr)
        value = "";
    if (var->set != nullptr)
        return var->set(value, err);
    if (!has_int_value(var))
        return -1;
    if (var->type == DVAR_TYPE_ENUM && !in_range(var, value)) {
        if (err != nullptr)
            snprintf(err, DVAR_ERR_SIZE, "invalid param [%s]\n", value);
        return -1;
    }
    return value2_set_str(&var->value, value);
}

char *dvar_mgr_help(dvar_mgr *mgr)
{
    return mgr_text<dvar>(mgr, [](str_buf *sb, dvar *var) {
        return str_buf_appendf(sb, "set %s [%s] -- %s\n", var->name, var->range != nullptr ? var->range : "(null)",
                               var->desc != nullptr ? var->desc : "(null)");
    });
}

ptr_array *dvar_mgr_names(dvar_mgr *mgr) { return mgr_names(mgr); }

ptr_array *dvar_mgr_enum_values(dvar_mgr *mgr, const char *name)
{
    dvar *var = dvar_mgr_find(mgr, name);
    if (var == nullptr)
        return nullptr;
    return ptr_array_split(var->range != nullptr ? var->range : "", "|");
}

char *dvar_mgr_dump(dvar_mgr *mgr)
{
    return mgr_text<dvar>(mgr, [](str_buf *sb, dvar *var) {
        char value[DVAR_VALUE_SIZE] = "";
        char quoted[DVAR_VALUE_SIZE + 2];
        dvar_mgr_get(var, value);
        const char *shown = std::strpbrk(value, " \t;") != nullptr ? str_quote_sq(value, quoted, sizeof(quoted)) : value;
        return str_buf_appendf(sb, "%s=%s\n", var->name, shown != nullptr ? shown : value);
    });
}

char *dvar_mgr_json(dvar_mgr *mgr)
{
    if (mgr == nullptr)
        return nullptr;
    str_buf *sb = str_buf_new();
    if (sb == nullptr)
        return nullptr;
    int rc = str_buf_putc(sb, '[') < 0 ? -1 : 0;
    for (uint64_t i = 0; i < mgr->vars.count && rc == 0; i++) {
        auto *var = static_cast<dvar *>(mgr->vars.items[i]);
        char value[DVAR_VALUE_SIZE] = "";
        dvar_mgr_get(var, value);
        // desc carries the name too: the web page shows desc and sends name back.
        rc = str_buf_appendf(sb, "{\"desc\":\"%s\",\"name\":\"%s\",\"value\":\"%s\",\"type\":\"%s\"", var->name,
                             var->name, value, var->type == DVAR_TYPE_ENUM ? "enum" : "string") < 0 ? -1 : 0;
        if (rc == 0 && var->type == DVAR_TYPE_ENUM) {
            char range[DVAR_VALUE_SIZE];
            str_safecopy2(range, sizeof(range), var->range != nullptr ? var->range : "");
            rc = str_buf_appendf(sb, ",\"range\":\"%s\"", str_replace_chr(range, '|', '/')) < 0 ? -1 : 0;
        }
        if (rc == 0)
            rc = str_buf_append_str(sb, "},") < 0 ? -1 : 0;
    }
    if (rc == 0 && sb->len > 0 && sb->text[sb->len - 1] == ',')
        sb->text[sb->len - 1] = ' ';
    if (rc == 0)
        rc = str_buf_putc(sb, ']') < 0 ? -1 : 0;
    if (rc != 0) {
        str_buf_free(sb);
        return nullptr;
    }
    return str_buf_detach(sb);
}
