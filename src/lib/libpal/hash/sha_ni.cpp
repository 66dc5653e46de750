#include "libpal/hash/sha_ni.h"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <utility>

#include "libpal/hash/sha256_round.h"

namespace {

// Asks the processor itself: not every compiler's __builtin_cpu_supports
// knows the SHA extensions by name.
bool cpu_has_sha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & bit_SSSE3) != 0, sse41 = (c & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & bit_SHA) != 0;
}

bool available() {
    static const bool has = cpu_has_sha();
    return has;
}

// -1 until first asked: then the processor's answer, or the tests' choice.
std::atomic<int> g_active{-1};

#define SHA_NI_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds of SHA-1 (group G of 20) with one vector of message words.
// Groups alternate between two vectors as the one that carries E into the
// next four rounds; the message schedule runs three groups ahead
// (sha1msg1, xor, sha1msg2).
template <int G>
SHA_NI_TARGET __attribute__((always_inline)) inline void sha1_group(__m128i& abcd, __m128i& ecur, __m128i& enext,
                                                                     __m128i m[4]) {
    if constexpr (G == 0)
        ecur = _mm_add_epi32(ecur, m[0]);
    else
        ecur = _mm_sha1nexte_epu32(ecur, m[G & 3]);
    enext = abcd;
    if constexpr (G >= 3 && G <= 18) m[(G + 1) & 3] = _mm_sha1msg2_epu32(m[(G + 1) & 3], m[G & 3]);
    abcd = _mm_sha1rnds4_epu32(abcd, ecur, G / 5);
    if constexpr (G >= 1 && G <= 16) m[(G - 1) & 3] = _mm_sha1msg1_epu32(m[(G - 1) & 3], m[G & 3]);
    if constexpr (G >= 2 && G <= 17) m[(G - 2) & 3] = _mm_xor_si128(m[(G - 2) & 3], m[G & 3]);
}

template <int... G>
SHA_NI_TARGET __attribute__((always_inline)) inline void sha1_groups(__m128i& abcd, __m128i& e0, __m128i& e1,
                                                                      __m128i m[4], std::integer_sequence<int, G...>) {
    (sha1_group<G>(abcd, G % 2 ? e1 : e0, G % 2 ? e0 : e1, m), ...);
}

}  // namespace

int pl_sha_ni_available() { return available() ? 1 : 0; }

int pl_sha_ni_active() {
    int a = g_active.load(std::memory_order_relaxed);
    if (a < 0) {
        a = pl_sha_ni_available();
        g_active.store(a, std::memory_order_relaxed);
    }
    return a;
}

int pl_sha_ni_set(int on) {
    int prev = pl_sha_ni_active();
    g_active.store(on != 0 && available() ? 1 : 0, std::memory_order_relaxed);
    return prev;
}

// SHA-1: the state is held as ABCD (A in the highest lane) and E (in the
// highest lane of its own vector); each group of four rounds takes one
// vector of four message words.
SHA_NI_TARGET void pl_sha1_ni_blocks(uint32_t state[5], const uint8_t* data, size_t nblocks) {
    const __m128i bswap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (; nblocks > 0; nblocks--, data += 64) {
        const __m128i abcd_save = abcd;
        const __m128i e_save = e0;
        __m128i m[4];
        __m128i e1 = abcd;  // set by the first group
        for (int i = 0; i < 4; i++)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap);

        sha1_groups(abcd, e0, e1, m, std::make_integer_sequence<int, 20>{});

        e0 = _mm_sha1nexte_epu32(e0, e_save);
        abcd = _mm_add_epi32(abcd, abcd_save);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

// SHA-256: the state is held as ABEF and CDGH; each group of four rounds
// takes one vector of four message words plus their constants, two rounds
// per sha256rnds2.
SHA_NI_TARGET void pl_sha256_ni_blocks(uint32_t state[8], const uint8_t* data, size_t nblocks) {
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // CDAB
    __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
    __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);    // ABEF
    s1 = _mm_blend_epi16(s1, tmp, 0xF0);         // CDGH

    for (; nblocks > 0; nblocks--, data += 64) {
        const __m128i s0_save = s0;
        const __m128i s1_save = s1;
        __m128i m[4];
        for (int i = 0; i < 4; i++)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap);

#pragma GCC unroll 16
        for (int g = 0; g < 16; g++) {
            if (g >= 4) {
                // W[t..t+3] from W[t-16..t-1]
                __m128i w = _mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]);
                w = _mm_add_epi32(w, _mm_alignr_epi8(m[(g + 3) & 3], m[(g + 2) & 3], 4));
                m[g & 3] = _mm_sha256msg2_epu32(w, m[(g + 3) & 3]);
            }
            __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k_sha256_round + 4 * g));
            __m128i wk = _mm_add_epi32(m[g & 3], k);
            s1 = _mm_sha256rnds2_epu32(s1, s0, wk);
            s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(wk, 0x0E));
        }

        s0 = _mm_add_epi32(s0, s0_save);
        s1 = _mm_add_epi32(s1, s1_save);
    }

    tmp = _mm_shuffle_epi32(s0, 0x1B);           // FEBA
    s1 = _mm_shuffle_epi32(s1, 0xB1);            // DCHG
    s0 = _mm_blend_epi16(tmp, s1, 0xF0);         // DCBA
    s1 = _mm_alignr_epi8(s1, tmp, 8);            // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}
