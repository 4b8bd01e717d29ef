// Callable functions: the registry behind "call".
#include "libpal/value/var_mgr.h"

#define ZLOG_TAG "pal"
#include "libpal/value/var_mgr_imp.h"

using namespace var_mgr_imp;

fvar_mgr *fvar_mgr_new() { return mgr_new<fvar_mgr>(); }
int fvar_mgr_free(fvar_mgr *mgr) { return mgr_free(mgr); }

int fvar_mgr_add(fvar_mgr *mgr, fvar *var)
{
    return mgr_add(mgr, var, var != nullptr && var->func != nullptr, "init");
}

fvar *fvar_mgr_find(fvar_mgr *mgr, const char *name) { return mgr_find<fvar>(mgr, name); }
bool fvar_mgr_exists(fvar_mgr *mgr, const char *name) { return fvar_mgr_find(mgr, name) != nullptr; }

int fvar_mgr_call(fvar_mgr *mgr, const char *name, sh_ctx *ctx, int argc, char **argv)
{
    fvar *var = fvar_mgr_find(mgr, name);
    if (var == nullptr)
        return -12;
    return var->func(ctx, argc, argv);
}

char *fvar_mgr_help(fvar_mgr *mgr, const char *word)
{
    return mgr_text<fvar>(mgr, [word](str_buf *sb, fvar *var) {
        return str_buf_appendf(sb, "%s %s -- %s\n", word != nullptr ? word : "", var->name,
                               var->usage != nullptr ? var->usage : "(null)");
    });
}

ptr_array *fvar_mgr_names(fvar_mgr *mgr) { return mgr_names(mgr); }
