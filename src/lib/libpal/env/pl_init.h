// The platform layer's entry and exit: pl_init brings up, once per process,
// the early log level, the OS, socket, memory and stream layers and the system
// identity in g_app; pl_exit takes them down. Beside them: the identifier
// tables of architectures, operating systems and applications, and a
// formatted write to standard output. Called on the main thread at start-up
// and exit; no lock.
#pragma once

#include <cstdint>

#include "libpal/basic/val_tab.h"

// Always 0. Every call logs "==>" at verb level; only the first since the last
// pl_exit does the work. QD_ENV_LOG_LEVEL, when set, is a short level name
// applied to the default log context.
int pl_init();
// Always 0; nothing when pl_init has not run since the last pl_exit.
int pl_exit();

extern const val_tab pl_arch_tab[7];
extern const val_tab pl_os_tab[5];
extern const val_tab pl_app_tab[10];

// The application row whose name equals name exactly; 0 for an empty name or
// no match.
int pl_app_name_2_id(const char *name);
// text is a decimal id; the row's name, or "unkown(<id>)" (per-thread buffer).
const char *pl_app_id_2_name(const char *text);
const char *pl_os_id_2_name(const char *text);
const char *pl_arch_id_2_name(const char *text);

// Formats into 8192 bytes (longer output is cut), writes to standard output
// and flushes it.
void pl_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Stores 0 in *value; returns 0.
int pl_get_u64_zero(uint64_t *value);
