// Waits of the memory buffers on a condition with the buffer's own lock.
//
// A buffer changes its state and signals its conditions with its lock held,
// and a waiter tests its predicate under the same lock before it sleeps, so
// no wake-up is lost between the test and the sleep.
#pragma once

#include <cstdint>

#include "libpal/basic/pl_cond_wait.h"

// With lock held: sleeps on cond until ready() holds or ms have passed
// (0: no sleep at all; OS_WAIT_FOREVER: no limit). Returns 0 when ready()
// holds, -2 on time-out, -1 when the wait failed. The buffers' name for
// pl_wait_until.
template <class Ready>
int mem_wait_locked(os_cond* cond, os_mutex* lock, uint32_t ms, Ready ready) {
    return pl_wait_until(cond, lock, ms, ready);
}
