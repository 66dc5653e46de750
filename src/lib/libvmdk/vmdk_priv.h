// Shared inside the VMDK writer.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "libpal/memory/mem_endian.h"
#include "libvmdk/libvmdk.h"

inline constexpr const char* VMDK_TAG = "tag";

// Fills the handle's error record at the calling place.
#define VMDK_ERR(h, code, ...) verr_set((h)->err, __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
// The error record from errno, with the system's text.
#define VMDK_ERRNO(h) VERR_SET_ERRNO((h)->err, errno, VERR_WRITE_ERROR)

// Geometry and the zeroed directory-and-tables buffer: 0 or -1.
int vmdk_init_grain_tables(vmdk_ctx* h);
// Grain buffer, deflate stream and output buffer: 0 or -1 (-8 in the record).
int vmdk_init_zlib(vmdk_ctx* h, int level);
// Frees everything the handle holds, the handle included.
void vmdk_free(vmdk_ctx* h);

// Grain-table entry of a grain (the sector of its marker, 0 when none).
inline uint32_t vmdk_gte(const vmdk_ctx* h, uint64_t grain) {
    return mem_get_u32(0, h->meta, static_cast<size_t>(h->geo.dir_sectors * VMDK_SECTOR + grain * 4));
}
inline void vmdk_set_gte(vmdk_ctx* h, uint64_t grain, uint32_t sector) {
    mem_set_u32(0, h->meta, static_cast<size_t>(h->geo.dir_sectors * VMDK_SECTOR + grain * 4), sector);
}
// Directory entry of a table (the sector of the table).
inline uint32_t vmdk_gde(const vmdk_ctx* h, uint64_t table) {
    return mem_get_u32(0, h->meta, static_cast<size_t>(table * 4));
}

// The 512-byte header of the handle's fields; complete: "KDMV" and no resume
// data, else "kdmv" with bytes done, next free sector and pack level.
void vmdk_encode_header(const vmdk_ctx* h, bool complete, uint64_t done, uint8_t* out);
// Reads the header fields into the handle: 0, or -1 when the magic, version,
// flags or new-line characters are not those of this format.
int vmdk_decode_header(vmdk_ctx* h, const uint8_t* in);
// The descriptor text (zero-padded to desc_size sectors) into out; 0, or -1
// when it does not fit.
int vmdk_build_descriptor(const vmdk_ctx* h, uint8_t* out, size_t size);

// Writes all of len at off: 0, or -1 with the error record filled.
int vmdk_safe_write(vmdk_ctx* h, const void* buf, size_t len, int64_t off);
