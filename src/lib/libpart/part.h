// Partition tables: the volumes of a partitioned disk or image and the byte
// window of one of them.
#pragma once

#include <cstdint>

#include "libblock/bd.h"

// The lookup opens the device read-only with image parsing.
inline constexpr uint32_t LIBPART_OFLAG = 0x8001;

// Scheme codes.
enum : uint32_t {
    PART_SCHEME_VOLUME = 0,
    PART_SCHEME_MBR = 1,
    PART_SCHEME_GPT = 2,
    PART_SCHEME_APPLE = 3,
    PART_SCHEME_AMIGA = 4,
    PART_SCHEME_DVH = 5,
};

// One volume: start and size in sectors of the device, and its name (the MBR
// type description, the GPT or Apple partition name, empty otherwise).
struct part_vol {
    uint64_t start;
    uint64_t size;
    char name[256];
};

struct part_list {
    part_vol* vols;  // in discovery order
    uint32_t count;
    uint64_t image_size;  // bytes
    uint32_t sector_size;
    uint32_t scheme;
    const char* scheme_name;
    char info[128];
};

// The volumes of the device named url. oflag is the open's flag word; its
// BD_OFLAG_IMAGE bit decides whether image formats are parsed, as it does
// for the caller that asks. Returns 0 (list filled, freed with
// part_list_free), -1 (open or size failure) or -2 (read failure), the
// reason in err (4096 bytes).
int libpart_get(const char* url, part_list* list, char* err, uint32_t oflag = LIBPART_OFLAG);
// The byte window of volume vol_idx (counted from 1). Returns 0 or -1 with
// the reason in err ("vol_idx=%d valid values: 1-%d" for a number out of range).
int libpart_get_vol(const char* url, int vol_idx, bd_vol* vol, char* err, uint32_t oflag = LIBPART_OFLAG);
void part_list_free(part_list* list);

// "volume", "MBR", "GPT", "APPLE", "AMIGA", "DVH"; "UNKOWN" above 5.
const char* part_scheme_name(uint32_t code);
// The description of an MBR partition type byte.
const char* part_type_name(uint8_t type);
