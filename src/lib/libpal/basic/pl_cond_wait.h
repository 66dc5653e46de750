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
        if (ms != 0 && ms != OS_WAIT_FOREVER) deadline_ = os_mono_deadline(ms);
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

// With m held: waits on c until ready() holds or the limit of ms has passed
// (0: no wait at all; OS_WAIT_FOREVER: no limit). 0 when ready() holds, -2
// on time-out, -1 when the wait failed.
template <class Ready>
int pl_wait_until(os_cond* c, os_mutex* m, uint32_t ms, Ready ready) {
    const pl_wait_limit limit(ms);
    while (!ready()) {
        int rc = limit.wait(c, m);
        if (rc == -2) return ready() ? 0 : -2;
        if (rc != 0) return -1;
    }
    return 0;
}
