// Process-wide memory facts recorded at platform start-up, and a fill test.
#pragma once

#include <cstddef>
#include <cstdint>

// Records the page size, its base-2 logarithm and the physical memory size;
// logs "pagesize=%d" at verb. When the page size cannot be queried (warned),
// all three stay 0, so that users of the page size see it is unknown. 0.
int mem_init();

// 0 until mem_init has run.
uint32_t mem_get_pagesize();
uint32_t mem_get_pageshift();
uint64_t mem_get_physical_size();

// 1 when all n bytes of buf equal value, else 0 (also for n 0 or no buffer).
int mem_is_filled(const void* buf, uint8_t value, size_t n);
