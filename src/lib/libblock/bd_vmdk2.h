// The VMDK output driver ("vmdk2"): a writable open of a local path ending
// ".vmdk" reaches the stream-optimized VMDK writer through an internal
// plugin record.
#pragma once

#include <cstdint>

#include "libblock/bd.h"

void bd_vmdk2_register();
bd_drv* bd_vmdk2_drv();
int bdrv_vmdk2_probe(const char* url, uint32_t oflag, void* priv);
void bdrv_vmdk2_exit();
