// Block devices: one record for every kind of storage, opened by a path or
// URL and read and written at offsets relative to its volume window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/stop_flag.h"
#include "libpal/basic/verr.h"
#include "libpal/hash/read_cache.h"
#include "libpal/os/os_file_types.h"
#include "libpal/os/pwritex.h"

struct bd_dev;
struct bd_drv;
struct file_hash_ctx;
struct file_bcount_ctx;

// Extra open flag of the block layer: probe the drivers even for a plain path.
inline constexpr uint32_t BD_OFLAG_IMAGE = 0x8000;

// Driver type ids.
enum : uint32_t {
    BD_DRV_FILE = 1,
    BD_DRV_KXSD = 2,
    BD_DRV_CURL = 3,
    BD_DRV_KXZ = 4,
    BD_DRV_KXI = 5,
    BD_DRV_VDI = 6,
    BD_DRV_VMDK2 = 7,
    BD_DRV_SMIF = 8,
    BD_DRV_AFF4 = 9,
    BD_DRV_PLUGIN = 10,
};

// Control codes of bd_ioctl.
enum : int32_t {
    BLOCK_SYNC = 5,
    BLOCK_SEEK = 6,
    BLOCK_TELL = 7,
    BLOCK_TRUNCATE = 8,
    BLOCK_GET_SECTOR_SIZE = 9,
    BLOCK_GET_SIZE_TYPE = 10,
    BLOCK_FINISH = 11,
    BLOCK_GET_PACK_TYPE = 12,
    BLOCK_GET_PACK_PARAM = 13,
    BLOCK_SET_PACK_PARAM = 14,
    BLOCK_GET_VOL = 15,
    BLOCK_PWRITEX = 16,
    BLOCK_HASH_INIT = 17,
    BLOCK_HASH_CAL = 18,
    BLOCK_HASH_GET = 19,
    BLOCK_HASH_BS_GET = 20,
    BLOCK_COUNT_INIT = 21,
    BLOCK_COUNT_CAL = 22,
    BLOCK_PWRITEX_INIT = 23,
    BLOCK_GET_HASH_ALGO = 24,
    BLOCK_GET_DRV_INFO = 25,
    GET_DEV_INFO = 26,
    BLOCK_GET_ERROR = 27,
    BLOCK_GET_URL = 28,
    BLOCK_GET_CACHE_NAME = 29,
};

// Size types of bd_dev_info.
enum : uint32_t {
    BLOCK_SIZE_FIXED = 1,
    BLOCK_SIZE_EXTENSIBLE = 2,
    BLOCK_SIZE_UNLIMITED = 3,
};

// The stop request (stop_flag) handed through the open to the drivers' long
// waits: the caller parameter of bd_open2s points at one.

// Volume window: every offset given to a device is relative to vol_start.
struct bd_vol {
    uint64_t vol_start;
    uint64_t vol_size;
};

// What a driver's open receives besides the resolved URL.
struct bd_open_ctx {
    uint64_t param;
    uint32_t oflag;
    uint32_t vol_idx;
    bd_dev* dev;
    void* priv;
    const char* url;
};

struct bd_dev {
    void* handle;
    int64_t fsize;
    int32_t sector_size;
    char* url;
    int64_t dev_offset;
    bd_vol vol;
    file_hash_ctx* hash;
    uint8_t hash_local;
    file_bcount_ctx* bcount;
    uint8_t bcount_local;
    pwritex_ctx pwritex;
    bd_drv* drv;
    uint8_t readz_on;
    uint8_t writez_on;
    // The window is a partition: reads end and writes stop at its end.
    uint8_t vol_bounded;
    // The caller's stop request given at the open (none: never stopped); the
    // hash and byte-count jobs look at it before every read.
    const stop_flag* stop;
    verr_info verr;
};

// A driver: type, name and its operation slots.
struct bd_drv {
    uint32_t type;
    void* priv;
    const char* name;
    const char* support_exts;
    uint32_t support_open;
    int (*bdrv_probe)(const char* url, uint32_t oflag, void* priv);
    void* (*bdrv_open)(const char* url, bd_open_ctx* ctx);
    int (*bdrv_close)(void* handle);
    int64_t (*bdrv_pread)(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len);
    // Reads one packed block record: packed bytes to buf (capacity len), their
    // count to *zlen; the result is the block's unpacked length, 0 at the end.
    int64_t (*bdrv_readz)(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len, int64_t* zlen);
    int64_t (*bdrv_pwrite)(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len);
    int64_t (*bdrv_writez)(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len, int64_t zlen);
    int64_t (*bdrv_size)(bd_dev* dev, void* handle);
    int (*bdrv_ioctl)(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen);
};

// Pass-through decision between an input and an output.
struct bd_pack_mode {
    uint32_t on;
    uint32_t sector_size;
    uint64_t block_len;
};

struct bd_pack_param {
    uint32_t new_image;
    uint32_t pack_type;
    uint32_t sector_size;
    uint64_t block_len;
};

struct bd_dev_info {
    uint32_t type;
    uint32_t size_type;
    uint32_t sector_size;
    uint64_t vol_start;
    uint64_t size;
    uint64_t offset;
    const char* size_type_name;
    char bd_type[64];
    char info[128];
};

// Argument of BLOCK_PWRITEX: the range and, back, the bytes written.
struct bd_pwritex_req {
    uint32_t mode;
    uint64_t off;
    uint64_t len;
    uint64_t done;
};

// Argument of BLOCK_GET_CACHE_NAME: the default cache-file name of path
// into buf (size bytes).
struct bd_cache_name_req {
    const char* path;
    char* buf;
    uint64_t size;
};

// Argument of BLOCK_PWRITEX_INIT.
struct bd_pwritex_init_req {
    uint32_t value;  // 0-255 a fill byte, 256 random bytes
    uint64_t bs;     // bytes per piece
};

// ---- open and close
bd_dev* bd_open2s(const char* url, uint32_t oflag, uint64_t param, verr_info* err);
bd_dev* bd_open_errtext(const char* url, uint32_t oflag, char* text);
bd_dev* bd_open_param_errtext(const char* url, uint32_t oflag, uint64_t param, char* text);
bd_dev* bd_open_err(const char* url, uint32_t oflag, verr_info* err);
// 0; -1 when the driver's close failed (the device is freed all the same);
// BD_CLOSE_KEPT when a hash or count thread was left behind by its bounded
// join and may still be inside a read of the device: the device, its handle
// and its descriptor then stay in memory and open, and so must anything the
// device refers to (its stop request).
int bd_close(bd_dev* dev);
inline constexpr int BD_CLOSE_KEPT = -2;
int32_t bd_errno(const bd_dev* dev);
// Whether an error code is a media error: the medium could not give those
// sectors (VERR_DEV_IO_ERROR, VERR_DEV_IO_CRC), as opposed to a failure of
// the device or its connection.
inline bool bd_media_error(int32_t code) { return code == VERR_DEV_IO_ERROR || code == VERR_DEV_IO_CRC; }
const char* bd_errmsg(const bd_dev* dev);
int bd_get_error(void* dev, verr_info* out);

// ---- reads, writes, size and position (offset -1: the current position)
int64_t bd_read(bd_dev* dev, void* buf, int64_t len);
int64_t bd_pread(bd_dev* dev, void* buf, int64_t len, int64_t off);
int64_t bd_readz(bd_dev* dev, void* buf, int64_t len, int64_t* zlen);
int64_t bd_preadz(bd_dev* dev, void* buf, int64_t len, int64_t* zlen, int64_t off);
int64_t bd_write(bd_dev* dev, const void* buf, int64_t len);
int64_t bd_pwrite(bd_dev* dev, const void* buf, int64_t len, int64_t off);
int64_t bd_writez(bd_dev* dev, const void* buf, int64_t len, int64_t zlen);
int64_t bd_pwritez(bd_dev* dev, const void* buf, int64_t len, int64_t zlen, int64_t off);
// A plain write at the current position of len bytes the caller has already
// packed into zlen bytes with the output's own method and block length (see
// bd_get_pack_param): the same checks, record and result as bd_write of the
// plain bytes. Only for a driver that takes packed blocks.
int64_t bd_write_packed(bd_dev* dev, const void* packed, int64_t len, int64_t zlen);
int64_t bd_size(bd_dev* dev);
int64_t bd_offset(bd_dev* dev);
int bd_seek(bd_dev* dev, int64_t off);
int bd_truncate(bd_dev* dev, int64_t size);
int bd_sync(bd_dev* dev);
int bd_get_vol(bd_dev* dev, bd_vol* vol);
uint32_t bd_drv_type(const bd_dev* dev);
const char* bd_drv_name(const bd_dev* dev);
int bd_info(bd_dev* dev, bd_dev_info* info);

// ---- compressed-block pass-through
int32_t bd_get_pack_type(bd_dev* dev);
int bd_get_pack_param(bd_dev* dev, bd_pack_param* p);
int bd_set_pack_param(bd_dev* dev, const bd_pack_param* p);
int bd_set_best_pack_mode(bd_dev* in, bd_dev* out, bd_pack_mode* mode);
// The decision bd_set_best_pack_mode would take (on, block_len), changing neither device.
int bd_peek_pack_mode(bd_dev* in, bd_dev* out, bd_pack_mode* mode);
int bd_set_no_pack_mode(bd_dev* in, bd_dev* out);

// ---- other services
int bd_ioctl(bd_dev* dev, int32_t cmd, void* arg, int64_t arglen);
int bd_extend_test(bd_dev* dev, int64_t off, int64_t len);
int64_t bd_pread_unaligned(bd_dev* dev, void* buf, int64_t len, int64_t off);
int bd_is_iso(const char* url);

int bd_is_valid_sector_size(int64_t size);
const char* bd_sector_size_text();
uint32_t bd_sector_size_by_index(int index);
uint32_t bd_size_type_of(uint32_t type);
const char* bd_size_type_name(uint32_t size_type);

// ---- hashing and byte counting of a device's ranges

inline constexpr size_t BD_HASH_CTX_SIZE = 8192;
inline constexpr size_t BD_COUNT_CTX_SIZE = 4096;

struct bd_hash_param {
    uint32_t hash_flag;
    uint64_t bs;
    uint8_t thread;       // non-zero: per-block algorithms may use a pool
    uint8_t force_local;  // compute here even on a remote device
    char ctx[BD_HASH_CTX_SIZE];  // state text: a job continues from it
};

struct bd_count_param {
    uint32_t word;  // handed to a remote server
    uint64_t bs;
    uint8_t thread;
    uint8_t force_local;
    char ctx[BD_COUNT_CTX_SIZE];  // saved counters
};

// Range request of BLOCK_HASH_CAL and BLOCK_COUNT_CAL.
struct bd_cal_req {
    uint64_t off;
    uint64_t len;
    char* buf;
    uint64_t size;
};

// Request of BLOCK_HASH_GET and BLOCK_HASH_BS_GET.
struct bd_hash_get_req {
    uint32_t alg;
    void* buf;
    uint64_t size;
};

int bd_hash_init(bd_dev* dev, const bd_hash_param* p);
int bd_hash_cal(bd_dev* dev, int64_t off, int64_t len, char* buf, size_t size);
int bd_hash_get(bd_dev* dev, uint32_t alg, void* buf, size_t size);
int bd_hash_bs_get(bd_dev* dev, char* buf, size_t size);
int bd_count_init(bd_dev* dev, const bd_count_param* p);
int bd_count_cal(bd_dev* dev, int64_t off, int64_t len, char* buf, size_t size);
// Bytes the last successful bd_hash_cal or bd_count_cal covered.
int64_t bd_cal_len(const bd_dev* dev);
// Where the last bd_hash_cal or bd_count_cal that failed on a local read
// found it (in the range's offset space): the offset of that read, or of
// its first unreadable sector when it met a media error; -1 when no read of
// the range failed (a remote job, an early end, a stop).
int64_t bd_cal_fail_off(const bd_dev* dev);

// ---- pattern writes (a wipe)
int bd_pwritex_init(bd_dev* dev, uint32_t value, uint64_t bs);
// Writes len bytes of the pattern from the window-relative offset off: the
// bytes written, or -1 with the device's error record filled.
int64_t bd_pwritex(bd_dev* dev, uint32_t mode, int64_t len, int64_t off);

// ---- driver registry
int bd_init2();
int bd_exit2();
bd_drv* bd_probe_driver(const char* url, uint32_t oflag);
bd_drv* bd_url_drv(const char* url);
uint32_t bd_url_drv_type(const char* url);
const char* bd_url_drv_name(const char* url);
void bd_drv_add(bd_drv* drv);
int bd_load_conf_plugins(const char* ini_path);
const char* bd_support_exts(char* buf, size_t size);
const char* bd_open_filter();
const char* bd_save_filter();
const char* bd_rw_filter();

// The file driver: local files, devices and the pseudo-files.
void bd_file_register();
void bd_file_exit();
bd_drv* bd_file_drv();
// A copy's read-ahead of the input `dev`: a positioned read (the device as
// its argument) that may run on a thread of its own and records nothing on
// the device, no error and no position. Only for a plain local regular file
// opened through the file driver (no partition window) and only while `out`,
// the device the copy writes (none: nothing written), is not that same file
// (reads ahead of the writes would not see what they change) nor the null
// device (there is nothing to overlap). None otherwise.
//
// An image whose reads repeat (".kxz", VDI, the image libraries' kinds,
// AFF4) is read ahead through its driver's own positioned read, not while
// `out` is the null device or an image of the same driver. That read moves
// the device's position and may fill its error record and log: the caller
// makes it only while it makes no other call on the device, holds its
// messages, and afterwards restores the error record and the position.
file_read_fn bd_read_ahead_fn(const bd_dev* dev, const bd_dev* out);

// Fills the device's error record at the calling place.
#define BD_SET_ERR(dev, code, ...) verr_set(&(dev)->verr, __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
