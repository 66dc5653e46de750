#include "libpal/memory/random.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "libpal/basic/pl_assert.h"

namespace {

// Non-zero until start-up seeds it, so that an unseeded process still draws
// varied values.
std::atomic<uint64_t> g_xorshift_state{0x9e3779b97f4a7c15ULL};

constexpr uint64_t xorshift_step(uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

uint64_t rand_word() {
    uint64_t r1 = static_cast<uint32_t>(rand());
    uint64_t r2 = static_cast<uint32_t>(rand());
    uint64_t r3 = static_cast<uint32_t>(rand());
    uint64_t r4 = static_cast<uint32_t>(rand());
    uint64_t high = ((r1 << 16) | (r2 & 0xffff)) & 0xffffffffULL;
    uint64_t low = ((r3 << 16) | (r4 & 0xffff)) & 0xffffffffULL;
    return (high << 32) | low;
}

// Fills the buffer from a generator; next() gives one 64-bit value.
template <class Next>
void fill(unsigned char* out, uint64_t length, Next next) {
    uint64_t words = length / 8;
    for (uint64_t i = 0; i < words; ++i) {
        uint64_t v = next();
        std::memcpy(out + i * 8, &v, 8);
    }
    uint64_t tail = length % 8;
    if (tail) {
        uint64_t v = next();
        std::memcpy(out + words * 8, &v, tail);
    }
}

}  // namespace

void memory_random_seed(uint64_t seed) { g_xorshift_state.store(seed - 1, std::memory_order_relaxed); }

uint64_t memory_xorshift64() {
    uint64_t x = g_xorshift_state.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = xorshift_step(x);
    } while (!g_xorshift_state.compare_exchange_weak(x, next, std::memory_order_relaxed));
    return next;
}

uint64_t memory_random_u64() { return memory_xorshift64(); }

uint64_t memory_rand_u64() { return rand_word(); }

uint64_t memory_random_imp(int mode, void* buf, uint64_t length) {
    if (!PL_CHECK("pal", buf)) return ~0ULL;
    if (length == 0) return 0;
    auto* out = static_cast<unsigned char*>(buf);
    if (mode == 0) {
        // One pass over a private copy of the state: a large fill costs one
        // shift sequence per 8 bytes and a single store.
        uint64_t x = g_xorshift_state.load(std::memory_order_relaxed);
        fill(out, length, [&x] { return x = xorshift_step(x); });
        g_xorshift_state.store(x, std::memory_order_relaxed);
    } else {
        fill(out, length, rand_word);
    }
    return length;
}

uint64_t memory_random(void* buf, uint64_t length) { return memory_random_imp(0, buf, length); }

uint64_t memory_random_seeded(void* buf, uint64_t length) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    srand(static_cast<unsigned>(ms));
    return memory_random_imp(1, buf, length);
}
