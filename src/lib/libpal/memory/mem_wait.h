// Waits of the memory buffers on a condition with the buffer's own lock.
//
// A buffer changes its state and signals its conditions with its lock held,
// and a waiter tests its predicate under the same lock before it sleeps, so
// no wake-up is lost between the test and the sleep.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "libpal/os/os_thread.h"

namespace mem_wait_detail {

// The monotonic time ms from now (the conditions run on that clock).
inline timespec deadline_after(uint32_t ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    uint64_t nsec = static_cast<uint64_t>(t.tv_nsec) + static_cast<uint64_t>(ms % 1000) * 1000000ull;
    t.tv_sec += static_cast<time_t>(ms / 1000) + static_cast<time_t>(nsec / 1000000000ull);
    t.tv_nsec = static_cast<long>(nsec % 1000000000ull);
    return t;
}

}  // namespace mem_wait_detail

// With lock held: sleeps on cond until ready() holds or ms have passed
// (0: no sleep at all; OS_WAIT_FOREVER: no limit). Returns 0 when ready() holds, -2 on time-out, -1 when
// the wait failed.
template <class Ready>
int mem_wait_locked(os_cond* cond, os_mutex* lock, uint32_t ms, Ready ready) {
    if (ready()) return 0;
    if (ms == 0) return -2;
    if (ms == OS_WAIT_FOREVER) {
        while (!ready())
            if (pthread_cond_wait(&cond->cond, &lock->mutex) != 0) return -1;
        return 0;
    }
    timespec until = mem_wait_detail::deadline_after(ms);
    while (!ready()) {
        int rc = pthread_cond_timedwait(&cond->cond, &lock->mutex, &until);
        if (rc == ETIMEDOUT) return ready() ? 0 : -2;
        if (rc != 0) return -1;
    }
    return 0;
}
