#include "libpal/memory/random.h"

#include <sys/random.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "liblog/log2.h"
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

// The additive generator: 31 words and two indices.
struct additive_state {
    std::array<uint32_t, 31> word;
    uint32_t i;
    uint32_t j;
};

constexpr additive_state additive_seeded(uint64_t seed) {
    additive_state st{};
    uint64_t s = seed;
    for (auto& w : st.word) {
        s = s * 0x5851f42d4c957f2dULL + 1;
        w = static_cast<uint32_t>(s >> 32);
    }
    st.word[0] |= 1;
    st.i = 3;
    st.j = 0;
    return st;
}

std::mutex g_additive_mu;
// Built-in start: the state seed 1 gives, so an unseeded process draws too.
additive_state g_additive = additive_seeded(1);

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

uint32_t memory_random_u32() {
    uint32_t r1 = static_cast<uint32_t>(rand());
    uint32_t r2 = static_cast<uint32_t>(rand());
    return (r1 << 16) | (r2 & 0xffff);
}

uint32_t memory_random_range(int32_t low, int32_t high) {
    if (!PL_CHECK("pal", low < high)) return static_cast<uint32_t>(low);
    // Compared as signed 64-bit values so a range below zero still works.
    auto in_range = [low, high](int64_t v) { return v >= low && v < high; };
    uint32_t v = 0;
    for (int tries = 0; tries < 64; tries++) {
        v = memory_random_u32();
        if (in_range(static_cast<int32_t>(v))) return v;
        if (in_range(v & 0xffff)) return v & 0xffff;
    }
    uint64_t width = static_cast<uint64_t>(static_cast<int64_t>(high) - low);
    return static_cast<uint32_t>(static_cast<int64_t>(low) + static_cast<int64_t>(v % width));
}

void memory_random_alnum(char* text, size_t size) {
    if (size == 0 || !PL_CHECK("pal", text)) return;
    for (size_t k = 0; k + 1 < size; k++)
        text[k] = k_alnum_alphabet[static_cast<uint32_t>(memory_xorshift64()) % 62];
    text[size - 1] = 0;
}

void memory_srandom(uint64_t seed) {
    additive_state st = additive_seeded(seed);
    std::lock_guard<std::mutex> g(g_additive_mu);
    g_additive = st;
}

uint32_t memory_random31() {
    std::lock_guard<std::mutex> g(g_additive_mu);
    additive_state& st = g_additive;
    st.word[st.i] += st.word[st.j];
    uint32_t r = st.word[st.i] >> 1;
    st.i = st.i + 1 == 31 ? 0 : st.i + 1;
    st.j = st.j + 1 == 31 ? 0 : st.j + 1;
    return r;
}

int32_t memory_random_strong(void* buf, size_t length) {
    if (!PL_CHECK("pal", buf || length == 0)) return -1;
    auto* out = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(out + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "getrandom len=%zu error: ", length - done);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int32_t memory_random_alnum_strong(char* text, size_t size) {
    if (size == 0) return 0;
    if (!PL_CHECK("pal", text)) return -1;
    // Bytes of 248 and above are dropped: 248 is 4 x 62, so every character
    // of the alphabet is equally likely.
    constexpr unsigned k_limit = 4 * 62;
    unsigned char pool[256];
    size_t k = 0;
    while (k + 1 < size) {
        if (memory_random_strong(pool, sizeof pool) != 0) {
            explicit_bzero(text, size);
            return -1;
        }
        for (size_t p = 0; p < sizeof pool && k + 1 < size; p++)
            if (pool[p] < k_limit) text[k++] = k_alnum_alphabet[pool[p] % 62];
    }
    text[size - 1] = 0;
    explicit_bzero(pool, sizeof pool);
    return 0;
}
