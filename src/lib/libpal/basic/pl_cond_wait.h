// Waits on an os_cond under a mutex that guards the waiter's own state.
//
// os_cond_wait locks the condition's own mutex, so a signal sent between a
// waiter's check of its state and its wait is lost. Waiting here holds the
// mutex that guards the state instead: the check and the wait are one step
// for any signaller that changes the state under the same mutex.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "libpal/os/os_thread.h"

// A limit in milliseconds on the monotonic clock: 0 means do not wait,
// OS_WAIT_FOREVER means no limit; otherwise one deadline for all waits.
class pl_wait_limit {
public:
    explicit pl_wait_limit(uint32_t ms) : ms_(ms) {
        if (ms == 0 || ms == OS_WAIT_FOREVER) return;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t nsec = static_cast<uint64_t>(now.tv_nsec) + static_cast<uint64_t>(ms % 1000) * 1000000ull;
        deadline_.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000) + static_cast<time_t>(nsec / 1000000000ull);
        deadline_.tv_nsec = static_cast<long>(nsec % 1000000000ull);
    }

    // One wait on c while the caller holds m: 0 woken (possibly spuriously:
    // re-check), -2 the limit has passed (or is 0), -1 another error.
    int wait(os_cond* c, os_mutex* m) const {
        if (ms_ == 0) return -2;
        int rc = ms_ == OS_WAIT_FOREVER ? pthread_cond_wait(&c->cond, &m->mutex)
                                        : pthread_cond_timedwait(&c->cond, &m->mutex, &deadline_);
        if (rc == 0) return 0;
        return rc == ETIMEDOUT ? -2 : -1;
    }

private:
    uint32_t ms_;
    timespec deadline_{};
};
