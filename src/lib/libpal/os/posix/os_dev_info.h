// Device descriptions: the text a file object reports as its name, read from
// the kernel's block-device attributes (never from a program run in a shell,
// since device paths may come from clients).
#pragma once

#include <cstddef>

// out = the disk's model, then "|" and its serial when one is known; empty for
// anything that is no disk with such attributes. Returns 0, or -1 (ENOMEM)
// with out empty when memory ran out.
int os_dev_desc(char *out, size_t size, const char *path) noexcept;
// "PhysicalMemory" for "/dev/mem", "/dev/pmem" and "/dev/ram", else
// os_dev_desc. The first argument is not used. Returns as os_dev_desc.
int os_dev_info(void *unused, char *out, size_t size, const char *path) noexcept;
// No attribute is known on this platform: returns 0 and leaves out untouched.
int os_dev_get_attr(const char *path, const char *key, char *out, size_t size);
