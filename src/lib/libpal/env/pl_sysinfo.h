// System identity: the identity fields of g_app (OS, architecture, host
// identifier, host name, boot identifier, start time and tick), the boot
// time and the host name.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills g_app's identity fields, sets its exit-on-stop flag, leaves app_id.
// Run by pl_init.
void pl_sys_info_init();

// The boot time in whole seconds since the epoch, times 1000; 0 when it
// cannot be read.
uint64_t os_boot_time_ms();
// 0: this system has no boot identifier.
uint64_t os_boot_id();
// The host name into buf; a name that is empty or "(none)" becomes "none". A
// failing query leaves buf as it was before the replacement. Returns buf.
char *os_get_hostname(char *buf, size_t size);
// Replaces an empty buffer or "(none)" by "none" (bounded copy). Returns buf.
char *os_hostname_normalize(char *buf, size_t size);
