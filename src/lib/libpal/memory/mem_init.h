// The page facts of the memory layer: the page size and the total physical
// memory, recorded once by mem_init during platform start-up and read-only
// afterwards.
#pragma once

#include <cstdint>

// Always 0. When the page-size query fails, 4096 is recorded.
int mem_init();
// 0 before mem_init.
int mem_page_size();
uint64_t mem_total();

// Bytes of physical memory: physical pages times the page size, both from the
// system's configuration values; 0 when either query fails.
uint64_t os_get_mem_total();
