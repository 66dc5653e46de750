// Binary log records: a message as fixed-width integers and six
// zero-terminated texts (tag, thread name, source path, line number,
// function, message), laid out by the format of record type 1 (log) or 3
// (kernel log).
//
// Log record (type 1), little-endian on this system:
//   0 u64 sec, 8 u32 usec, 12 u32 pid, 16 u32 tid (low 32 bits of the
//   system thread id), 20 u8 level (low byte of the level word), 21 the six
//   texts, together at most 1449 bytes.
// Kernel log record (type 3): u16 cpu_num and u8 irql before the level, so
// its texts start at 24.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t BSV_LOG_HEAD_SIZE = 21;
inline constexpr uint32_t BSV_KLOG_HEAD_SIZE = 24;
inline constexpr uint32_t BSV_LOG_STR_ROOM = 1449;  // the six texts with their terminators
inline constexpr uint32_t BSV_LOG_RECORD_MAX = BSV_LOG_HEAD_SIZE + BSV_LOG_STR_ROOM;  // 1470
inline constexpr uint32_t BSV_KLOG_RECORD_MAX = BSV_KLOG_HEAD_SIZE + BSV_LOG_STR_ROOM;

// A record read back: integers and the addresses of its texts inside it.
struct bsv_log_rec {
    uint64_t sec;
    uint32_t usec;
    uint32_t pid;
    uint32_t tid;
    uint16_t cpu_num;  // kernel records only
    uint8_t irql;      // kernel records only
    uint8_t level;
    const char* tag;
    const char* tid_name;
    const char* file;
    const char* line;
    const char* func;
    const char* msg;
};

// Packs texts into a room, each with its terminator. Every text keeps room
// for the terminators of the texts still to come, so all of them are always
// present: a text that does not fit is cut and terminated in its last byte.
// Returns the bytes used.
uint32_t bsv_pack_strings(uint8_t* room, uint32_t size, const char* const* texts, uint32_t count);

// Builds the log record of one message into buf (BSV_LOG_RECORD_MAX bytes)
// with the current real-time clock, process and thread. Absent texts are
// empty. The record length.
int32_t bsv_log_record_write(uint8_t* buf, uint32_t level, const char* tag, const char* path, int32_t line,
                             const char* func, const char* msg);
// The kernel form (BSV_KLOG_RECORD_MAX bytes): cpu_num 1 and irql 2.
int32_t bsv_klog_record_write(uint8_t* buf, uint32_t level, const char* tag, const char* path, int32_t line,
                              const char* func, const char* msg);
// Reads a record of len bytes: 0, or -1 when it is shorter than its head or
// its six texts are not all terminated inside it.
int bsv_log_record_read(const void* rec, uint32_t len, bsv_log_rec* out);
int bsv_klog_record_read(const void* rec, uint32_t len, bsv_log_rec* out);
