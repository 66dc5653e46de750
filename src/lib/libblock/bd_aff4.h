// The "aff4" driver: the data stream of AFF4 images, read-only, through the
// AFF4 library loaded at the first open.
#pragma once

#include <cstdint>

// Test seam: the library file the next first open loads (nullptr: the usual
// "libaff4.dll"); the load state goes back to "not tried".
void bdrv_aff4_set_library(const char* file);
// 0 not tried, 1 loaded, 2 failed.
uint8_t bdrv_aff4_state();
