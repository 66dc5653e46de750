// The logger's file output: a text file of dated lines, capped in size by
// dropping its older half, or, for a name ending ".pcap", a capture file of
// the binary log record of every message.
//
// Set-up calls (set_dir, set_mode, set_size, open, close) take the owner's
// lock themselves when the state has one; log_file_write and the getters
// are called with it held. The capture kind's records arrive through the
// file sink of the binary-record hook, outside that lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct bsvf_pcap;
struct os_mutex;

enum : uint32_t {
    LOG_FILE_PCAP = 1,
    LOG_FILE_TEXT = 2,
};

inline constexpr int32_t LOG_FILE_SIZE_DEFAULT = 2097152;
inline constexpr int32_t LOG_FILE_SIZE_MIN = 1024;

struct log_file_state {
    char name[4096];  // the resolved path of the open file; empty until a file was opened
    char dir[2048];   // directory for relative names
    char mode[4];     // "w" or "a"
    std::atomic<int32_t> size;  // the cap in bytes
    uint32_t kind;              // LOG_FILE_*
    bsvf_pcap* pcap;            // the capture kind's writer (used under the file sink's lock)
    FILE* stream;               // the text kind's stream
    os_mutex* lock;             // the owner's lock, or none
    dev_t dev;                  // identity of the file the stream writes
    ino_t ino;
};

// Mode "w", cap 2097152, text kind; lock is the owner's mutex (or none).
void log_file_init(log_file_state* s, os_mutex* lock);
// Creates the directory with its parents and keeps it (at most 2047
// characters). 0.
int log_file_set_dir(log_file_state* s, const char* dir);
// "a" or "w": 0; anything else -1 and the mode stays.
int log_file_set_mode(log_file_state* s, const char* mode);
// The cap; values below 1025 become 1024, values beyond the i32 range its
// largest value. 0.
int log_file_set_size(log_file_state* s, int64_t bytes);
// Closes the current output and opens name (joined to the directory when it
// is relative and one is set). 0 or -1.
int log_file_open(log_file_state* s, const char* name);
// One message of the text kind: the dated header, then text. 0, or -1 when
// it could not be written (the message is dropped for this output).
int log_file_write(log_file_state* s, uint32_t level, const char* tag, const char* text, size_t len);
int log_file_close(log_file_state* s);
// The file sink of the capture kind (context: the state).
void log_file_pcap_sink(uint32_t level, const uint8_t* record, uint32_t len, void* state);

const char* log_file_get_name(const log_file_state* s);
int32_t log_file_get_size(const log_file_state* s);
// The descriptor of the text stream, -1 when none.
int log_file_get_fd(const log_file_state* s);
