// The three variable registries behind the shell's commands: dvar (settable
// variables, "set"), fvar (callable functions, "call") and rvar (read-only
// show-values, "show"). A registry keeps its callers' entries by address, in
// registration order, and never copies or removes them; names are unique per
// registry. Nothing here locks: the shell serialises its accesses. New texts
// come from os_malloc and are freed by the caller with os_free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/memory/mem_small.h"
#include "libpal/value/value2.h"

struct ptr_array;
struct sh_ctx;

constexpr uint32_t DVAR_TYPE_ENUM = 1;      // range holds the allowed words, "|" between them
constexpr size_t   DVAR_VALUE_SIZE = 8192;  // the text buffer of dvar_mgr_get
constexpr size_t   DVAR_ERR_SIZE = 4096;    // the error text of a set

struct dvar {
    const char *name;
    uint32_t type;
    const char *range;
    const char *desc;
    int (*set)(const char *value, char *err);  // err holds DVAR_ERR_SIZE bytes
    int (*get)(char *buf, size_t size);
    value2 value;  // used without callbacks; codes 22 and 23 only
};

struct fvar {
    const char *name;
    const char *usage;
    int (*func)(sh_ctx *ctx, int argc, char **argv);
};

struct rvar {
    const char *name;
    const char *desc;
    char *(*get)();  // a new text, or nullptr
};

struct dvar_mgr { mem_ptr vars; };
struct fvar_mgr { mem_ptr vars; };
struct rvar_mgr { mem_ptr vars; };

// Settable variables.
dvar_mgr *dvar_mgr_new();
int dvar_mgr_free(dvar_mgr *mgr);
// -1, logged, for a name already present or an entry that can be neither set
// through a callback nor through its value.
int dvar_mgr_add(dvar_mgr *mgr, dvar *var);
dvar *dvar_mgr_find(dvar_mgr *mgr, const char *name);
bool dvar_mgr_exists(dvar_mgr *mgr, const char *name);
// Requires: buf holds DVAR_VALUE_SIZE bytes.
int dvar_mgr_get(dvar *var, char *buf);
// -12 with "The set variable '%s' does not exist" in err for an unknown name.
// An enumeration without a set callback takes only a word of its range; any
// other text gives "invalid param [%s]\n" and -1 with the value unchanged.
int dvar_mgr_set(dvar_mgr *mgr, const char *name, const char *value, char *err);
char *dvar_mgr_help(dvar_mgr *mgr);
// The entries' own names, not copies; free the array with ptr_array_free.
ptr_array *dvar_mgr_names(dvar_mgr *mgr);
// The range words of an entry (owned copies); nullptr for an unknown name.
ptr_array *dvar_mgr_enum_values(dvar_mgr *mgr, const char *name);
// "name=value\n" per entry, the value in single quotes when it holds a blank, tab or ";".
char *dvar_mgr_dump(dvar_mgr *mgr);
// An array of {"desc","name","value","type"[,"range"]} objects; "[]" when empty.
char *dvar_mgr_json(dvar_mgr *mgr);

// Callable functions.
fvar_mgr *fvar_mgr_new();
int fvar_mgr_free(fvar_mgr *mgr);
int fvar_mgr_add(fvar_mgr *mgr, fvar *var);
fvar *fvar_mgr_find(fvar_mgr *mgr, const char *name);
bool fvar_mgr_exists(fvar_mgr *mgr, const char *name);
// The function's result, or -12 for an unknown name.
int fvar_mgr_call(fvar_mgr *mgr, const char *name, sh_ctx *ctx, int argc, char **argv);
// "word name -- usage\n" per entry.
char *fvar_mgr_help(fvar_mgr *mgr, const char *word);
ptr_array *fvar_mgr_names(fvar_mgr *mgr);

// Show values.
rvar_mgr *rvar_mgr_new();
int rvar_mgr_free(rvar_mgr *mgr);
int rvar_mgr_add(rvar_mgr *mgr, rvar *var);
rvar *rvar_mgr_find(rvar_mgr *mgr, const char *name);
bool rvar_mgr_exists(rvar_mgr *mgr, const char *name);
// The getter's new text; nullptr for an unknown name or a getter without text.
char *rvar_mgr_get(rvar_mgr *mgr, const char *name);
char *rvar_mgr_help(rvar_mgr *mgr);
ptr_array *rvar_mgr_names(rvar_mgr *mgr);
