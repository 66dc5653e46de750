// Shared inside the engine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libdd/dd.h"

inline constexpr size_t k_page = 4096;

// Closes the input and output devices that are open.
void dd_close_devices(dd_ctx* ctx);
// The name of a side for messages: its URL with any password masked.
const char* dd_side_name(const dd_ctx* ctx, const bd_dev* dev, char* buf, size_t size);
// Fatal result of a side: -1 for a local device, -3 otherwise.
int dd_side_fatal(const dd_ctx* ctx, const bd_dev* dev);
// Sector size of a side.
uint32_t dd_side_sector_size(const dd_ctx* ctx, const bd_dev* dev);
