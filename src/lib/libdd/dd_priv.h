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

// The copy's read-ahead (dd_ahead.cpp), started for a pass of the block
// loop that copies a plain local regular file which is not also the output,
// or an image whose reads repeat (bd_read_ahead_fn), with blocks of at most 16 MiB and at least two reads to go, no packed
// blocks and no duty cycle. ctx->ahead is none otherwise, or when it cannot
// be had: the loop then reads as always.
void dd_ahead_start(dd_ctx* ctx);
// The block of len bytes at ctx->i_offset into ctx->ibuf from what was read
// ahead: len when it is there. Otherwise the read-ahead ends and 0 says the
// loop reads the block itself (at i_offset: an input read ahead is read at
// the loop's offsets); DD_STOPPED when a stop came while waiting.
int64_t dd_ahead_take(dd_ctx* ctx, int64_t len);
// Ends the read-ahead (after the read its thread is in) and frees it.
void dd_ahead_end(dd_ctx* ctx);
// For an output image that packs its blocks, the read-ahead also packs the
// whole blocks it read, on threads of their own, with the image's method:
// the record of the block the last take handed over, when buf and len are
// exactly that block, unchanged in ctx->ibuf (true, *z and *zlen set); false
// otherwise, and the loop's write packs as before. Asks once per take.
bool dd_ahead_packed(dd_ctx* ctx, const void* buf, uint64_t len, const void** z, int64_t* zlen);
