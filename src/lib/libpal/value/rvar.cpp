// Show values: the registry behind "show".
#include "libpal/value/var_mgr.h"

#define ZLOG_TAG "pal"
#include "libpal/value/var_mgr_imp.h"

using namespace var_mgr_imp;

rvar_mgr *rvar_mgr_new() { return mgr_new<rvar_mgr>(); }
int rvar_mgr_free(rvar_mgr *mgr) { return mgr_free(mgr); }

int rvar_mgr_add(rvar_mgr *mgr, rvar *var)
{
    return mgr_add(mgr, var, var != nullptr && var->get != nullptr, "init");
}

rvar *rvar_mgr_find(rvar_mgr *mgr, const char *name) { return mgr_find<rvar>(mgr, name); }
bool rvar_mgr_exists(rvar_mgr *mgr, const char *name) { return rvar_mgr_find(mgr, name) != nullptr; }

char *rvar_mgr_get(rvar_mgr *mgr, const char *name)
{
    rvar *var = rvar_mgr_find(mgr, name);
    return var != nullptr ? var->get() : nullptr;
}

char *rvar_mgr_help(rvar_mgr *mgr)
{
    return mgr_text<rvar>(mgr, [](str_buf *sb, rvar *var) {
        return str_buf_appendf(sb, "show %s -- %s\n", var->name, var->desc != nullptr ? var->desc : "(null)");
    });
}

ptr_array *rvar_mgr_names(rvar_mgr *mgr) { return mgr_names(mgr); }
