// Shared inside the block layer.
#pragma once

#include <cstddef>

#include "libblock/bd.h"

// The URL as it may appear in messages: its password masked.
void bd_url_for_log(const char* url, char* out, size_t size);
// Releases the device's hash and byte-count jobs and its pattern writer.
void bd_release_jobs(bd_dev* dev);
// BLOCK_PWRITEX and BLOCK_PWRITEX_INIT on a device the block layer serves.
int bd_pwritex_ioctl(bd_dev* dev, int32_t cmd, void* arg, int64_t arglen);
// The image drivers of VirtualBox images, of the image libraries and of AFF4
// images: each registers its record once; aff4 also has an exit.
bd_drv* bdrv_vdi_register();
bd_drv* bdrv_smif_register();
bd_drv* bdrv_aff4_register();
void bdrv_aff4_exit();
// The transfer-library driver of "http://", "https://", "ftp://" and
// "ftps://" URLs; its exit ends the library when an open started it.
bd_drv* bdrv_curl_register();
void bdrv_curl_exit();
// The remote storage driver of "kxp://" and "kxps://" names; registering
// starts the remote client once, the exit ends it.
bd_drv* bdrv_kxsd_register();
void bdrv_kxsd_exit();
