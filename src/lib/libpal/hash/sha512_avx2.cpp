#include "libpal/hash/sha512_avx2.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "libpal/hash/sha512_round.h"

namespace {

bool cpu_has_avx2_bmi2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

// AVX-512F and AVX-512VL by cpuid, and the system saving their state: XCR0
// must hold the SSE and AVX state (bits 1 and 2) and the opmask and upper
// vector registers (bits 5 to 7), else the instructions fault.
bool cpu_has_avx512vl() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    if (!(b & bit_AVX512F) || !(b & bit_AVX512VL)) return false;
    unsigned xcr0_lo = 0, xcr0_hi = 0;
    asm volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    constexpr unsigned need = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    return (xcr0_lo & need) == need;
}

// The best routine of this processor.
int best() {
    static const int b = !cpu_has_avx2_bmi2() ? PL_SHA512_PORTABLE
                         : cpu_has_avx512vl() ? PL_SHA512_AVX512
                                              : PL_SHA512_AVX2;
    return b;
}

// -1 until first asked: then the processor's best, or the tests' choice.
std::atomic<int> g_active{-1};

namespace avx2 {
#define SHA512_VEC_TARGET "avx2,bmi,bmi2"
#define SHA512_VEC_AVX512 0
#include "libpal/hash/sha512_vec_blocks.h"
#undef SHA512_VEC_AVX512
#undef SHA512_VEC_TARGET
}  // namespace avx2

namespace avx512 {
#define SHA512_VEC_TARGET "avx2,bmi,bmi2,avx512f,avx512vl"
#define SHA512_VEC_AVX512 1
#include "libpal/hash/sha512_vec_blocks.h"
#undef SHA512_VEC_AVX512
#undef SHA512_VEC_TARGET
}  // namespace avx512

}  // namespace

int pl_sha512_avx2_available() { return best() >= PL_SHA512_AVX2 ? 1 : 0; }

int pl_sha512_avx512_available() { return best() >= PL_SHA512_AVX512 ? 1 : 0; }

int pl_sha512_avx2_active() {
    int a = g_active.load(std::memory_order_relaxed);
    if (a < 0) {
        a = best();
        g_active.store(a, std::memory_order_relaxed);
    }
    return a;
}

int pl_sha512_avx2_set(int routine) {
    int prev = pl_sha512_avx2_active();
    g_active.store(std::clamp(routine, int{PL_SHA512_PORTABLE}, best()), std::memory_order_relaxed);
    return prev;
}

void pl_sha512_avx2_blocks(uint64_t state[8], const uint8_t* data, size_t nblocks) {
    avx2::blocks(state, data, nblocks);
}

void pl_sha512_avx512_blocks(uint64_t state[8], const uint8_t* data, size_t nblocks) {
    avx512::blocks(state, data, nblocks);
}
