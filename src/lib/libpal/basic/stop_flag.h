// The stop request: a word that one thread sets and long waits elsewhere
// poll, so that a caller can end a connect, a network wait, a transfer or a
// hash range from another thread. The engine keeps one for its input and one
// for its output and hands them through the block layer's open to the
// drivers, the remote client and the network channels.
#pragma once

#include <atomic>
#include <cstdint>

struct stop_flag {
    std::atomic<uint32_t> stop;  // non-zero: stop
    // Optional: asked with its argument and the wait the caller is about to
    // make (ms); non-zero means stop. The engine never sets it.
    int (*cb)(void* arg, uint32_t ms);
    void* arg;
};

// True when a stop is requested: the stop word, else the callback when there
// is one (a negative wait is handed over as 0). None is never stopped.
inline bool pl_stop_requested(const stop_flag* s, int32_t ms = 0) {
    if (!s) return false;
    if (s->stop.load(std::memory_order_relaxed)) return true;
    return s->cb && s->cb(s->arg, ms < 0 ? 0u : static_cast<uint32_t>(ms)) != 0;
}
