// The INI backend of the configuration API: files named *.ini, *.qdi, *.inf,
// *.cfg or *.dat (any case) and INI text, held as a dictionary. Saving
// replaces the file as a whole (a temporary file, synced, renamed over it),
// so a failed save leaves the old file as it was.
#pragma once

#include "libconf/conf.h"
#include "libconf/ini/dictionary.h"

struct ini_conf {
    char *path;  // nullptr for text
    dictionary *dict;
};

void ini_conf_ops_init(conf_ops *ops);

// 0 when path names an INI file, else 1.
int   ini_conf_match(const char *path);
// create: a missing file is created empty first.
void *ini_conf_load(const char *path, int create);
void *ini_conf_load_str(const char *text);
// Does not rename (logs "noimpl"); returns 0.
int   ini_conf_rename_key(void *obj, const char *section, const char *old_name, const char *new_name);
// Byte-order mark and the dictionary. -1 for text, when the file cannot be
// written, or when an entry would not read back the same (the old file stays).
int   ini_conf_save(void *obj);
