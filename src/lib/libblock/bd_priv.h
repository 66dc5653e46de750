// Shared inside the block layer.
#pragma once

#include <cstddef>
#include <type_traits>

#include "libblock/bd.h"
#include "libpal/hash/read_cache.h"

// What the device's local hash and byte-count jobs keep between ranges
// (bd_jobs.cpp). The open allocates it behind the device record: drivers and
// callers never see it.
struct bd_job_state {
    // Bytes the last hash or count range covered: short when the data ended.
    int64_t cal_len;
    // The jobs read a stream in order: 1 for a stream, with the position
    // reached (-1 until the first range).
    uint8_t stream;
    int64_t pos;
    // Offset of the read that failed in the last range (of its first
    // unreadable sector after a media error); -1 when none did (a remote
    // job, or a range that failed for another reason).
    int64_t fail_off;
};

// The allocation of one open device: the record first, so that a bd_dev*
// from the open is also a pointer to this.
struct bd_dev_alloc {
    bd_dev dev;
    bd_job_state jobs;
};
static_assert(std::is_standard_layout_v<bd_dev_alloc> && offsetof(bd_dev_alloc, dev) == 0);

inline bd_job_state* bd_jobs_of(bd_dev* dev) { return &reinterpret_cast<bd_dev_alloc*>(dev)->jobs; }
inline const bd_job_state* bd_jobs_of(const bd_dev* dev) {
    return &reinterpret_cast<const bd_dev_alloc*>(dev)->jobs;
}

// For a plain local regular file opened through the file driver (no
// partition window, no other driver or wrapper): a positioned read on the
// device as argument that may run on several threads at once and records
// nothing on the device. None for anything else.
file_read_fn bd_file_shared_read(const bd_dev* dev);
// The URL as it may appear in messages: its password masked.
void bd_url_for_log(const char* url, char* out, size_t size);
// Releases the device's hash and byte-count jobs and its pattern writer: 0,
// or -1 when a job's thread did not end in time and was left behind; it may
// still read the device, which must then stay open.
int bd_release_jobs(bd_dev* dev);
// BLOCK_PWRITEX and BLOCK_PWRITEX_INIT on a device the block layer serves.
int bd_pwritex_ioctl(bd_dev* dev, int32_t cmd, void* arg, int64_t arglen);
// The compressed-image driver "kxz" over libkxz.
void bd_kxz_register();
void bd_kxz_exit();
bd_drv* bd_kxz_drv();
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
