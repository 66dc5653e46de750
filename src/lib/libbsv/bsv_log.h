// The binary-record hook of the logger: every message that passes the
// level filter becomes a log record, sent as a network packet to the UDP
// sink (level words with 0x400 or 0x800), to the file sink, and to the
// subscribers of the "log" channel.
#pragma once

#include <cstdint>

// A sink takes (level word, bytes, length, its context). Sinks run on the
// logging thread, serialised per sink: a sink is never called twice at once,
// and once it has been replaced or cleared no call with the old context is
// still running.
using bsv_sink_fn = void (*)(uint32_t level, const uint8_t* data, uint32_t len, void* ctx);

// Sets (or with none clears) the process-wide sinks.
void bsv_set_udp_sink(bsv_sink_fn fn, void* ctx);
void bsv_set_file_sink(bsv_sink_fn fn, void* ctx);
// Clears the sink only when ctx is the context it was set with.
void bsv_unset_udp_sink(void* ctx);
void bsv_unset_file_sink(void* ctx);

// Called by the logger for each message. Messages tagged "bsv" or "net" (the
// tags the outputs log under) make no record, and a message logged from
// inside a sink on the same thread is dropped. Never fails.
void bsv_log_hook(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, const char* msg);
// The same for a fatal-signal handler: waits at most wait_ms for each sink's
// lock and skips a sink whose lock stays taken.
void bsv_log_hook_bounded(uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                          const char* msg, uint32_t wait_ms);
