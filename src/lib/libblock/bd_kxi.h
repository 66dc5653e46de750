// The cache-image driver ("kxi"): a copy-on-write cache in front of any
// device, asked before every other driver. It reaches the cache image
// through an internal plugin record.
#pragma once

#include "libblock/bd.h"

// Fills and adds the driver record (and stores the cache table); the record.
bd_drv* bd_kxi_register();
bd_drv* bd_kxi_drv();
// Its choice of names and its exit work (nothing to do).
int bdrv_kxi_probe(const char* url, uint32_t oflag, void* priv);
void bdrv_kxi_exit();
