// What the three registries share: creation, lookup by name in registration
// order, the checked add and the name list. Private to dvar.cpp, fvar.cpp and
// rvar.cpp.
#pragma once

#include <cstring>
#include <new>

#include "libpal/basic/os_malloc.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_buf.h"
#include "libpal/value/var_mgr.h"
#include "liblog/zlog.h"

namespace var_mgr_imp {

template <typename Mgr>
Mgr *mgr_new()
{
    auto *mgr = static_cast<Mgr *>(os_malloc(sizeof(Mgr)));
    if (mgr == nullptr)
        return nullptr;
    std::memset(mgr, 0, sizeof(Mgr));
    if (mem_ptr_init(&mgr->vars) != 0) {
        os_free(mgr);
        return nullptr;
    }
    return mgr;
}

template <typename Mgr>
int mgr_free(Mgr *mgr)
{
    if (mgr != nullptr) {
        mem_ptr_exit(&mgr->vars);
        os_free(mgr);
    }
    return 0;
}

template <typename Var, typename Mgr>
Var *mgr_find(Mgr *mgr, const char *name)
{
    if (mgr == nullptr || name == nullptr)
        return nullptr;
    for (uint64_t i = 0; i < mgr->vars.count; i++) {
        auto *var = static_cast<Var *>(mgr->vars.items[i]);
        if (std::strcmp(var->name, name) == 0)
            return var;
    }
    return nullptr;
}

// complete: the entry has what its kind needs; otherwise "var=%s <what> error\n"
// is logged (what: "set" for settable variables, "init" for the others). Requires: ZLOG_TAG defined by the includer.
template <typename Var, typename Mgr>
int mgr_add(Mgr *mgr, Var *var, bool complete, const char *what)
{
    if (mgr == nullptr || var == nullptr || var->name == nullptr)
        return -1;
    if (mgr_find<Var>(mgr, var->name) != nullptr) {
        ZLOG_ERR("error: var=%s already exists\n", var->name);
        return -1;
    }
    if (!complete) {
        ZLOG_ERR("var=%s %s error\n", var->name, what);
        return -1;
    }
    return mem_ptr_add(&mgr->vars, var);
}

template <typename Mgr>
ptr_array *mgr_names(Mgr *mgr)
{
    if (mgr == nullptr)
        return nullptr;
    ptr_array *names = ptr_array_new(static_cast<uint32_t>(mgr->vars.count) + 1, 0);
    if (names == nullptr)
        return nullptr;
    for (uint64_t i = 0; i < mgr->vars.count; i++) {
        // The first field of every entry kind is its name.
        const char *name = *static_cast<const char *const *>(mgr->vars.items[i]);
        if (ptr_array_add(names, name) != 0) {
            ptr_array_free(names);
            return nullptr;
        }
    }
    return names;
}

// Calls line(sb, entry) for every entry; the text, or nullptr when empty or out of memory.
template <typename Var, typename Mgr, typename Line>
char *mgr_text(Mgr *mgr, Line line)
{
    if (mgr == nullptr)
        return nullptr;
    str_buf *sb = str_buf_new();
    if (sb == nullptr)
        return nullptr;
    for (uint64_t i = 0; i < mgr->vars.count; i++) {
        if (line(sb, static_cast<Var *>(mgr->vars.items[i])) < 0) {
            str_buf_free(sb);
            return nullptr;
        }
    }
    return str_buf_detach(sb);
}

}  // namespace var_mgr_imp
