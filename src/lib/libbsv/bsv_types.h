// Binary log record types, their format texts, and the id tables that
// name programs, systems and architectures in network packets.
#pragma once

#include <cstdint>

struct bsv_value_ctx;

enum : uint32_t {
    BSV_TYPE_LOG = 1,          // log record
    BSV_TYPE_LOG_SWAP = 2,     // log record of the opposite byte order
    BSV_TYPE_KLOG = 3,         // kernel log record
    BSV_TYPE_NET_HEAD = 5,     // network packet head
    BSV_TYPE_NET_HEAD_SWAP = 6,
};

inline constexpr const char* BSV_FORMAT_LOG =
    "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
inline constexpr const char* BSV_FORMAT_KLOG =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,tag|tid_name|file|line|func|msg-str";
inline constexpr const char* BSV_FORMAT_NET_HEAD =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,hostname|data-str";

// The format text and byte-order flag of a record type; false (logged) for
// a type the table lacks.
bool bsv_type_info(uint32_t type, const char** format, uint32_t* swap);
// A value reader of the type, or nothing ("type=%d error: not found").
bsv_value_ctx* bsv_type_open_value(uint32_t type);
// The byte-order flag of types 1 to 3; 0 (logged) for any other.
uint32_t bsv_type_get_os_endian(uint32_t type);

// Ids. bsv_app_id looks the name up exactly (0 when empty or unlisted); the
// others convert the id text like atol and give the name, or "unkown(%d)"
// (a text of the calling thread, overwritten by its next call).
uint16_t bsv_app_id(const char* name);
const char* bsv_app_name(const char* id_text);
const char* bsv_os_name(const char* id_text);
const char* bsv_arch_name(const char* id_text);
