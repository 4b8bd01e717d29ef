// Thread names: a process-wide registry from thread id to the name a thread
// gave itself, with a 16-bit tag that differs from run to run ("main_3fa2").
// The logger writes it into every line header. A thread changes and deletes
// only its own entry. Lock order: the logger reads a name before it takes its
// context's mutex, and the registry logs only once it has let its own go.
#pragma once

#include <cstddef>

// 0, or -1 when the registry could not be created (never retried).
int os_thread_name_init();
// Names the calling thread "<name>_<tag>", replacing its earlier name: 0, or
// -1 when there is no registry or no memory for the name.
int os_thread_name_set(const char *name);
// "<name>_<tid>", or the decimal thread id alone for an unnamed thread.
char *os_thread_name_get(char *buf, size_t size);
int os_thread_name_del();
// Frees the registry; harmless when repeated. Later calls create it again.
void os_thread_name_exit();
