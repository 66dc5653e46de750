// Sleeps that resume after signals, and the clocks.
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>

#include "libpal/os/os_thread.h"

namespace {

constexpr uint64_t k_ns_per_sec = 1000000000ull;

// Sleeps the whole interval: an interrupting signal (SIGUSR1 asks for the
// summary) resumes the sleep with the time that was left.
void sleep_for(uint64_t sec, uint64_t nsec) {
    sec += nsec / k_ns_per_sec;
    nsec %= k_ns_per_sec;
    constexpr auto max_sec = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
    timespec req{};
    req.tv_sec = static_cast<time_t>(sec < max_sec ? sec : max_sec);
    req.tv_nsec = static_cast<long>(nsec);
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace

void os_usleep(uint64_t us) { sleep_for(us / 1000000, (us % 1000000) * 1000); }

void os_msleep(uint64_t ms) { sleep_for(ms / 1000, (ms % 1000) * 1000000); }

void os_sleep(uint64_t seconds) { sleep_for(seconds, 0); }

int64_t os_time_ms() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t os_time_us() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

uint64_t os_mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void os_clock_realtime(os_clock_val* out) {
    if (!out) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    out->sec = static_cast<uint64_t>(ts.tv_sec);
    out->nsec = static_cast<uint32_t>(ts.tv_nsec);
}

void os_time_deadline_from(os_clock_val* out, const os_clock_val* now, uint64_t ms) {
    if (!out || !now) return;
    uint64_t nsec = static_cast<uint64_t>(now->nsec) + (ms % 1000) * 1000000;
    uint64_t sec = 0;
    if (__builtin_add_overflow(now->sec, ms / 1000 + nsec / k_ns_per_sec, &sec)) {
        // Never wrap into the past: a wait that long has no end.
        out->sec = std::numeric_limits<uint64_t>::max();
        out->nsec = static_cast<uint32_t>(k_ns_per_sec - 1);
        return;
    }
    out->sec = sec;
    out->nsec = static_cast<uint32_t>(nsec % k_ns_per_sec);
}

timespec os_mono_deadline(uint64_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const os_clock_val now{static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
    os_clock_val d{};
    os_time_deadline_from(&d, &now, ms);
    constexpr auto max_sec = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
    timespec out{};
    out.tv_sec = static_cast<time_t>(d.sec < max_sec ? d.sec : max_sec);
    out.tv_nsec = static_cast<long>(d.nsec);
    return out;
}

void os_time_deadline(os_clock_val* out, uint64_t ms) {
    os_clock_val now{};
    os_clock_realtime(&now);
    os_time_deadline_from(out, &now, ms);
}
