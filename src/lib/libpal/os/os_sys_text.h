// The processor count, which sizes the thread pools of the hashing tools, and
// two short texts about the processor and the memory for the show commands.
#pragma once

// Processors online, else configured, else 1; computed once.
int os_cpu_count();
// "unkown cpu [%u Core]" with os_cpu_count, made once; the same text on every call.
const char *os_cpu_info_str();
// "%s PS=%u": the total memory as a size text and the page size, as mem_init
// recorded them (0 before it ran). In a per-thread buffer that the next call
// overwrites.
const char *os_mem_info_str();
