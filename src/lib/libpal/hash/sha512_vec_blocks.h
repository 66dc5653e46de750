// The body of SHA-512's vector block routines, compiled once per instruction
// set: sha512_avx2.cpp includes it inside a namespace of its own for each,
// with SHA512_VEC_TARGET the target attribute's text and SHA512_VEC_AVX512
// 1 to compute the message schedule's rotates with AVX-512VL (0: shifts).
// Deliberately without an include guard.

#ifndef SHA512_VEC_TARGET
#error "define SHA512_VEC_TARGET and SHA512_VEC_AVX512 before including this file"
#endif

#define SHA512_VEC_FN __attribute__((target(SHA512_VEC_TARGET)))
#define SHA512_VEC_INLINE SHA512_VEC_FN __attribute__((always_inline)) inline

// Rotates written out so that they compile to rorx inside the target.
template <int N>
SHA512_VEC_INLINE uint64_t ror(uint64_t x) {
    return (x >> N) | (x << (64 - N));
}

// Two or four message words, one vector (two words of each of two blocks
// in the wide one: the lanes of 128 bits never mix).
typedef uint64_t words2 __attribute__((vector_size(16)));
typedef uint64_t words4 __attribute__((vector_size(32)));

// The words of lo shifted down by one, with the lowest word of hi on top,
// within each 128-bit lane.
SHA512_VEC_INLINE words2 align1(words2 hi, words2 lo) {
    return reinterpret_cast<words2>(_mm_alignr_epi8(reinterpret_cast<__m128i>(hi), reinterpret_cast<__m128i>(lo), 8));
}
SHA512_VEC_INLINE words4 align1(words4 hi, words4 lo) {
    return reinterpret_cast<words4>(
        _mm256_alignr_epi8(reinterpret_cast<__m256i>(hi), reinterpret_cast<__m256i>(lo), 8));
}

// K[t], K[t+1] in every lane.
template <typename V>
SHA512_VEC_INLINE V pair_of_k(const uint64_t* k) {
    const __m128i p = _mm_load_si128(reinterpret_cast<const __m128i*>(k));
    if constexpr (sizeof(V) == 16)
        return reinterpret_cast<V>(p);
    else
        return reinterpret_cast<V>(_mm256_broadcastsi128_si256(p));
}

template <typename V>
SHA512_VEC_INLINE void store_words(uint64_t* p, V w) {
    memcpy(p, &w, sizeof w);
}

#if SHA512_VEC_AVX512
// vprorq, and vpternlogq for the three-way exclusive or.
template <int N, typename V>
SHA512_VEC_INLINE V vror(V x) {
    if constexpr (sizeof(V) == 16)
        return reinterpret_cast<V>(_mm_ror_epi64(reinterpret_cast<__m128i>(x), N));
    else
        return reinterpret_cast<V>(_mm256_ror_epi64(reinterpret_cast<__m256i>(x), N));
}

template <typename V>
SHA512_VEC_INLINE V xor3(V a, V b, V c) {
    if constexpr (sizeof(V) == 16)
        return reinterpret_cast<V>(_mm_ternarylogic_epi64(reinterpret_cast<__m128i>(a), reinterpret_cast<__m128i>(b),
                                                          reinterpret_cast<__m128i>(c), 0x96));
    else
        return reinterpret_cast<V>(_mm256_ternarylogic_epi64(
            reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b), reinterpret_cast<__m256i>(c), 0x96));
}
#else
template <int N, typename V>
SHA512_VEC_INLINE V vror(V x) {
    return (x >> N) | (x << (64 - N));
}

template <typename V>
SHA512_VEC_INLINE V xor3(V a, V b, V c) {
    return a ^ b ^ c;
}
#endif

template <typename V>
SHA512_VEC_INLINE V small_sigma0(V x) {
    return xor3(vror<1>(x), vror<8>(x), x >> 7);
}

template <typename V>
SHA512_VEC_INLINE V small_sigma1(V x) {
    return xor3(vror<19>(x), vror<61>(x), x >> 6);
}

// W[t], W[t+1] from W[t-16..t-1] held as eight vectors of two words (per
// lane), the oldest at x[S & 7]. Two words a step keep the chain from one
// step to the next short (four would need W[t+2] from W[t] in the same
// step).
template <int S, typename V>
SHA512_VEC_INLINE V schedule2(const V x[8]) {
    const V w15 = align1(x[(S + 1) & 7], x[S & 7]);      // W[t-15], W[t-14]
    const V w7 = align1(x[(S + 5) & 7], x[(S + 4) & 7]);  // W[t-7], W[t-6]
    return (x[S & 7] + w7) + (small_sigma0(w15) + small_sigma1(x[(S + 7) & 7]));
}

// Round R of 80; the working words are renamed instead of moved: at round R
// the word of role i (a = 0 ... h = 7) is v[(i - R) & 7]. bc holds b ^ c on
// entry and this round's a ^ b (the next round's b ^ c) on return, which
// takes one step off Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)).
template <int R>
SHA512_VEC_INLINE void round(uint64_t v[8], uint64_t& bc, uint64_t wk) {
    const uint64_t a = v[(0 - R) & 7], b = v[(1 - R) & 7];
    const uint64_t e = v[(4 - R) & 7], f = v[(5 - R) & 7], g = v[(6 - R) & 7];
    uint64_t& d = v[(3 - R) & 7];
    uint64_t& h = v[(7 - R) & 7];
    // The two terms of Ch share no bits, so they may be added.
    uint64_t t1 = h + wk + (e & f) + (~e & g) + (ror<14>(e) ^ ror<18>(e) ^ ror<41>(e));
    const uint64_t ab = a ^ b;
    uint64_t t2 = (ror<28>(a) ^ ror<34>(a) ^ ror<39>(a)) + (b ^ (ab & bc));
    bc = ab;
    d += t1;
    h = t1 + t2;
}

// W[t] + K[t] are stored a vector at a time: N words (N / 2 blocks) for
// every two rounds, the rounds of one block reading every N / 2-th pair.
// Rounds 2G and 2G + 1 of a pass of sixteen (wk and wk_in point at the
// pass); meanwhile, in the first four of the five passes, the schedule runs
// eight steps ahead: the next pass's words 2G and 2G + 1 go to wk.
template <int G, bool SCHEDULE, typename V>
SHA512_VEC_INLINE void step(uint64_t v[8], uint64_t& bc, V x[8], uint64_t* wk, const uint64_t* wk_in,
                             const uint64_t* k) {
    constexpr int N = sizeof(V) / 8;
    if constexpr (SCHEDULE) {
        const V w = schedule2<G>(x);
        x[G] = w;
        store_words(wk + N * (8 + G), w + pair_of_k<V>(k + 16 + 2 * G));
    }
    round<2 * G>(v, bc, wk_in[N * G]);
    round<2 * G + 1>(v, bc, wk_in[N * G + 1]);
}

// Sixteen rounds: a whole turn of the renaming and of the eight schedule
// vectors, so the same code serves every pass.
template <bool SCHEDULE, typename V, int... G>
SHA512_VEC_INLINE void sixteen_rounds(uint64_t v[8], uint64_t& bc, V x[8], uint64_t* wk, const uint64_t* wk_in,
                                       const uint64_t* k, std::integer_sequence<int, G...>) {
    (step<G, SCHEDULE>(v, bc, x, wk, wk_in, k), ...);
}

// The 80 rounds of one block on state, whose W[t] + K[t] for t < 16 are in
// wk and whose first sixteen message words are in x; with SCHEDULE the
// rest of wk is computed on the way, else it is read (wk_in: the block's
// first word in wk).
template <bool SCHEDULE, typename V>
SHA512_VEC_INLINE void block_rounds(uint64_t state[8], V x[8], uint64_t* wk, const uint64_t* wk_in) {
    constexpr int N = sizeof(V) / 8;
    constexpr auto steps = std::make_integer_sequence<int, 8>{};
    uint64_t v[8];
    for (int i = 0; i < 8; i++) v[i] = state[i];
    uint64_t bc = v[1] ^ v[2];
    // A loop, not 80 rounds written out: the longer code runs slower.
#pragma GCC unroll 1
    for (int j = 0; j < 4; j++)
        sixteen_rounds<SCHEDULE>(v, bc, x, wk + 8 * N * j, wk_in + 8 * N * j, k_sha512_round + 16 * j, steps);
    sixteen_rounds<false>(v, bc, x, wk + 32 * N, wk_in + 32 * N, k_sha512_round + 64, steps);
    for (int i = 0; i < 8; i++) state[i] += v[i];
}

// The message words are loaded and byte-swapped two to a vector per block;
// the schedule is computed in the vectors and stored as W[t] + K[t], which
// the scalar rounds read back from memory (wk_in hides that it is wk: an
// extract from a vector costs more than a load). Two blocks at a time share
// the schedule's vector work; the first block's rounds run alongside it, the
// second's read what it stored.
SHA512_VEC_FN void blocks(uint64_t state[8], const uint8_t* data, size_t nblocks) {
    const __m128i bswap = _mm_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);
    alignas(32) uint64_t wk[160];
    const uint64_t* wk_in = wk;
    asm("" : "+r"(wk_in));

    for (; nblocks >= 2; nblocks -= 2, data += 256) {
        words4 x[8];
        for (int i = 0; i < 8; i++) {
            const __m128i lo = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap);
            const __m128i hi =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 128 + 16 * i)), bswap);
            x[i] = reinterpret_cast<words4>(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
            store_words(wk + 4 * i, x[i] + pair_of_k<words4>(k_sha512_round + 2 * i));
        }
        block_rounds<true>(state, x, wk, wk_in);
        block_rounds<false>(state, x, wk, wk_in + 2);
    }
    if (nblocks > 0) {
        words2 x[8];
        for (int i = 0; i < 8; i++) {
            x[i] = reinterpret_cast<words2>(
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap));
            store_words(wk + 2 * i, x[i] + pair_of_k<words2>(k_sha512_round + 2 * i));
        }
        block_rounds<true>(state, x, wk, wk_in);
    }
    _mm256_zeroupper();
}

#undef SHA512_VEC_INLINE
#undef SHA512_VEC_FN
