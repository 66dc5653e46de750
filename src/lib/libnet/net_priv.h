// Helpers shared by the channel and connect code.
#pragma once

#include <cstdint>

// The monotonic clock in microseconds, and the whole milliseconds since a
// start taken from it: never more than the real time gone by, so a deadline
// of n ms never ends before n ms have passed.
uint64_t net_now_us();
int64_t net_elapsed_ms(uint64_t start_us);

// Fills the error record at the calling place when one is given.
#define NET_ERR(err, code, ...)                                                          \
    do {                                                                                 \
        if (err) verr_set((err), __FILE__, __LINE__, __func__, (code), __VA_ARGS__);     \
    } while (0)
