// The "aff4" driver: the data stream of AFF4 images, read-only, through the
// AFF4 library loaded at the first open.
#pragma once

#include <cstdint>

// Test seam: the only library file the next first open tries (nullptr: the
// usual names "libaff4.so", "libaff4.so.0", "libaff4.dll", each beside the
// executable, then on the search path); the load state goes back to "not tried".
void bdrv_aff4_set_library(const char* file);
// 0 not tried, 1 loaded, 2 failed.
uint8_t bdrv_aff4_state();
