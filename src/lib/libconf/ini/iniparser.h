// INI loader and writer. The dialect keeps what a person wrote: names keep
// their case, comment and blank lines stay with the entry that follows them
// (or at the end) and are written back in place, a UTF-8 byte-order mark is
// skipped on reading. Values may be quoted ("..." or '...', kept whole) or
// bare (cut at ";" or "#", trimmed); a line ending in a backslash continues
// on the next one. Files and texts are read through the stream layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "libconf/ini/dictionary.h"

struct VFILE;

// The loader's error printer; by default the text goes to standard error.
// nullptr restores the default.
// (A typedef: an alias declaration takes no format attribute.)
typedef int (*iniparser_error_proc)(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void iniparser_set_error_callback(iniparser_error_proc proc);

// Turns the bytes of a "*.dat" file into INI text in place; 0 on success.
// No part of the system installs one, so such files do not load.
using ini_decode_proc = int (*)(uint8_t *data, size_t len);
extern ini_decode_proc ini_decode_hook;

// Names: an entry key "section" TAB "key" holds at most INI_KEY_MAX
// characters, a section name at most INI_SECTION_MAX (room for the TAB and a
// key); longer ones are cut wherever they are stored or looked up.
constexpr size_t INI_KEY_MAX     = 1024;
constexpr size_t INI_SECTION_MAX = INI_KEY_MAX - 2;
// The entry key of key in section, cut as above, into out (INI_KEY_MAX + 1 bytes).
char *iniparser_entry_key(const char *section, const char *key, char *out);

// nullptr when the file or text cannot be read or memory runs out. A line
// that fits no form (no "=", an unclosed section, a NUL byte) is skipped and
// logged once at warn level with the file's path (or "(text)"), its number
// and its text; a line longer than the line buffer is read whole (a comment
// that long is dropped).
dictionary *iniparser_load(const char *path) noexcept;
dictionary *iniparser_load_str(const char *text) noexcept;
dictionary *iniparser_load_all(VFILE *f) noexcept;

// Keys before the first section, then every section in slot order, then the
// tail comment. Values that would not read back the same are quoted. Returns
// 0, or -1 when an entry could not be written so that it reads back the same
// (a name with a line break, "=", a leading "#" and the like; everything is
// written all the same) or memory ran out.
int iniparser_dump_ini(const dictionary *d, FILE *f) noexcept;
int iniparser_dumpsection_ini(const dictionary *d, const char *s, int index, FILE *f) noexcept;

// Read operations. Sections are the entries without a TAB, in slot order.
int         iniparser_getnsec(const dictionary *d);
const char *iniparser_getsecname(const dictionary *d, int n);
int         iniparser_getsecnkeys(const dictionary *d, const char *s);
// Stores up to max key names of section s (pointers into d) and returns the
// number of keys the section has.
int iniparser_getseckeys(const dictionary *d, const char *s, const char **keys, int max);
// key: "section" TAB "name" (cut to 1024 characters).
const char *iniparser_getstring(const dictionary *d, const char *key, const char *def);
long   iniparser_getlongint(const dictionary *d, const char *key, long notfound);
int    iniparser_getint(const dictionary *d, const char *key, int notfound);
double iniparser_getdouble(const dictionary *d, const char *key, double notfound);
// y, Y, t, T, 1: 1; n, N, f, F, 0: 0; anything else notfound.
int  iniparser_getboolean(const dictionary *d, const char *key, int notfound);
bool iniparser_find_entry(const dictionary *d, const char *entry);
// "[%s]=[%s]\n" or "[%s]=UNDEF\n" per entry.
void iniparser_dump(const dictionary *d, FILE *f);
