// The settings of one run, filled from the command line and read once by
// the engine when the work starts.
#pragma once

#include <cstdint>

#include "libpal/memory/mem_diff.h"

// Run modes.
enum : uint32_t {
    DD_MODE_COPY = 0,
    DD_MODE_CLEAR = 1,      // wipe the output with clear_mode
    DD_MODE_HASH = 2,
    DD_MODE_DIFF = 3,       // compare by per-block digests, as asked
    DD_MODE_DIFF_HASH = 4,  // compare by per-block digests, as run
    DD_MODE_DIFF_BIN = 5,   // compare byte for byte
    DD_MODE_SYNC = 6,
    DD_MODE_BCOUNT = 7,
};

// The flag word: conv bits 0-9, iflag bits 16-19, oflag bits 20-22,
// status bits 24-27 and the engine's bits 28-30.
enum : uint32_t {
    DD_F_NOTRUNC = 1u << 0,
    DD_F_SYNC = 1u << 1,
    DD_F_NOERROR = 1u << 2,
    DD_F_FSYNC = 1u << 3,
    DD_F_SWAB = 1u << 4,
    DD_F_RESUME = 1u << 5,
    DD_F_BAD_READ = 1u << 6,
    DD_F_OFF_BLOCKS = 1u << 7,
    DD_F_CAL_ONE_TASK = 1u << 8,
    DD_F_CAL_FORCE_LOCAL = 1u << 9,
    DD_F_SKIP_BYTES = 1u << 16,
    DD_F_IDIRECT = 1u << 17,
    DD_F_IIMAGE = 1u << 18,
    DD_F_IVSS = 1u << 19,
    DD_F_SEEK_BYTES = 1u << 20,
    DD_F_ODIRECT = 1u << 21,
    DD_F_OIMAGE = 1u << 22,
    DD_F_ST_NONE = 1u << 24,
    DD_F_ST_NOXFER = 1u << 25,
    DD_F_ST_MD5 = 1u << 26,
    DD_F_ST_SHA1 = 1u << 27,
    DD_F_OBUF = 1u << 28,
    DD_F_COUNT = 1u << 29,
    DD_F_STOP = 1u << 30,
};

// The flag words of the difference recorder chosen by "diff_mode"
// (MDIFF_BYTE_MODE, MDIFF_BS_MODE) come with the recorder.

inline constexpr int32_t DD_BS_DEFAULT = 2097152;
inline constexpr int32_t DD_BS_DIFF = 65536;

struct dd_opts {
    uint32_t mode;
    uint32_t flags;
    char* in_name;    // none: "/dev/stdin"
    char* out_name;   // none: "/dev/stdout"
    char* proxy;
    char* proxy_url;
    uint64_t count;
    uint64_t seek;
    uint64_t skip;
    int32_t ibs;
    int32_t obs;
    uint32_t bad_retry_count;
    uint32_t bad_skip_sectors;
    char bad_fill_str[33];
    uint32_t retry_mode;  // 1 retry for a time, 2 retry a number of times
    uint32_t retry_delay_seconds;
    uint32_t retry_timeout_minutes;
    uint32_t retry_open;
    uint8_t disable_os_hibernate;
    uint8_t disable_pack_transport;
    uint64_t cool_down_work;  // milliseconds of work before a rest; 0: no duty cycle
    uint64_t cool_down_rest;  // milliseconds of rest
    int32_t bs_count;
    uint32_t clear_mode;  // 0-255 a fixed byte, 256 random bytes
    uint32_t hash_mode;
    uint32_t bcount_mode;
    uint32_t diff_mode;
    int32_t diff_max_count;
    void* thread_attr;
};

// Zeroes the record and sets the defaults.
void dd_opts_init(dd_opts* o);
// Frees the texts the record owns.
void dd_opts_free(dd_opts* o);
