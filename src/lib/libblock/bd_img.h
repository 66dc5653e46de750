// What the read-only image drivers (VirtualBox images, the image libraries,
// AFF4 images) share: the choice of their names, their positions and their
// control codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libblock/bd.h"
#include "libpal/network/url.h"

// The local path of url into path (the URL's path part, normalised) when url
// names a local path (scheme class 1); else 0.
bool bd_img_local_path(const char* url, char* path, size_t size);
// The old name of url_local_path_ends_with, kept for the AFF4 driver.
inline bool bd_img_local_suffix(const char* url, const char* suffixes) {
    return url_local_path_ends_with(url, suffixes);
}
// The device error of a refused write or an unhandled control code: -37
// "Not supported.".
void bd_img_not_supported(bd_dev* dev);
// The absolute position a read starts at: the handle's position for off -1,
// else off plus the window start; -1 (error record filled) for a negative
// position.
int64_t bd_img_read_pos(bd_dev* dev, int64_t off, uint64_t cur);
// The bytes a read of len at pos may take before the device's end.
int64_t bd_img_read_len(const bd_dev* dev, int64_t pos, int64_t len);
// The window size when one is set, else the device size.
int64_t bd_img_size(const bd_dev* dev);
// The control codes the image drivers answer: BLOCK_SEEK (sets *pos to the
// window start plus the argument), BLOCK_GET_PACK_TYPE (0), BLOCK_GET_VOL
// and BLOCK_GET_DRV_INFO (type 6, the size, the position in the window, the
// sector size and "bd_type=<bd_type>"). 0; every other code is refused with
// -37 "Not supported." and -1.
int bd_img_ioctl(bd_dev* dev, uint64_t* pos, const char* bd_type, int32_t cmd, void* arg, int64_t arglen);
