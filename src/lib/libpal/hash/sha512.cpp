#include "libpal/hash/sha512.h"

#include <cstring>
#include <utility>

#include "libpal/hash/digest_feed.h"
#include "libpal/hash/digest_text.h"
#include "libpal/hash/sha512_avx2.h"
#include "libpal/hash/sha512_round.h"

namespace {

constexpr digest_field SHA512_FIELDS[] = {
    {offsetof(pl_sha512_ctx, state), 8, 8},
    {offsetof(pl_sha512_ctx, count), 8, 2},
    {offsetof(pl_sha512_ctx, buffer), 1, 128},
};

// Round R of 80 on a 16-word rolling message schedule; the eight working
// words are renamed by the caller instead of moved.
template <int R>
inline void sha512_round(uint64_t a, uint64_t b, uint64_t c, uint64_t& d, uint64_t e, uint64_t f, uint64_t g,
                         uint64_t& h, uint64_t w[16]) {
    if constexpr (R >= 16) {
        uint64_t w15 = w[(R + 1) & 15], w2 = w[(R + 14) & 15];
        uint64_t s0 = rotr(w15, 1) ^ rotr(w15, 8) ^ (w15 >> 7);
        uint64_t s1 = rotr(w2, 19) ^ rotr(w2, 61) ^ (w2 >> 6);
        w[R & 15] += s0 + w[(R + 9) & 15] + s1;
    }
    uint64_t t1 = h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + (g ^ (e & (f ^ g))) + k_sha512_round[R] + w[R & 15];
    uint64_t t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

template <int R>
inline void eight_rounds(uint64_t* v, uint64_t w[16]) {
    uint64_t &a = v[0], &b = v[1], &c = v[2], &d = v[3], &e = v[4], &f = v[5], &g = v[6], &h = v[7];
    sha512_round<R>(a, b, c, d, e, f, g, h, w);
    sha512_round<R + 1>(h, a, b, c, d, e, f, g, w);
    sha512_round<R + 2>(g, h, a, b, c, d, e, f, w);
    sha512_round<R + 3>(f, g, h, a, b, c, d, e, w);
    sha512_round<R + 4>(e, f, g, h, a, b, c, d, w);
    sha512_round<R + 5>(d, e, f, g, h, a, b, c, w);
    sha512_round<R + 6>(c, d, e, f, g, h, a, b, w);
    sha512_round<R + 7>(b, c, d, e, f, g, h, a, w);
}

template <int... G>
inline void all_rounds(uint64_t* v, uint64_t w[16], std::integer_sequence<int, G...>) {
    (eight_rounds<8 * G>(v, w), ...);
}

// The portable SHA-512 compression function over n whole 128-byte blocks.
void sha512_blocks_portable(uint64_t state[8], const uint8_t* p, size_t n) {
    uint64_t v[8];
    memcpy(v, state, sizeof v);
    for (; n > 0; n--, p += 128) {
        uint64_t w[16];
        for (int i = 0; i < 16; i++) w[i] = load_be64(p + 8 * i);
        uint64_t v0[8];
        memcpy(v0, v, sizeof v);
        all_rounds(v, w, std::make_integer_sequence<int, 10>{});
        for (int i = 0; i < 8; i++) v[i] += v0[i];
    }
    memcpy(state, v, sizeof v);
}

// The SHA-512 compression function: the chosen block routine.
void pl_sha512_transform(uint64_t state[8], const uint8_t* p, size_t n) {
    switch (pl_sha512_avx2_active()) {
        case PL_SHA512_AVX512:
            pl_sha512_avx512_blocks(state, p, n);
            break;
        case PL_SHA512_AVX2:
            pl_sha512_avx2_blocks(state, p, n);
            break;
        default:
            sha512_blocks_portable(state, p, n);
            break;
    }
}

}  // namespace

void pl_sha512_init(pl_sha512_ctx* ctx) {
    static constexpr uint64_t iv[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                       0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                       0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
    memset(ctx, 0, sizeof *ctx);
    memcpy(ctx->state, iv, sizeof iv);
}

void pl_sha512_update(pl_sha512_ctx* ctx, const void* data, size_t len) {
    size_t used = static_cast<size_t>((ctx->count[0] >> 3) & 127);
    // The 128-bit bit count: len * 8 may carry into the high word.
    uint64_t add_lo = uint64_t{len} << 3;
    uint64_t add_hi = uint64_t{len} >> 61;
    ctx->count[0] += add_lo;
    ctx->count[1] += add_hi + (ctx->count[0] < add_lo ? 1 : 0);
    digest_feed(ctx->buffer, used, static_cast<const uint8_t*>(data), len,
                [ctx](const uint8_t* p, size_t n) { pl_sha512_transform(ctx->state, p, n); });
}

void pl_sha512_final(pl_sha512_ctx* ctx, uint8_t* out) {
    if (!out) return;
    size_t used = (ctx->count[0] >> 3) & 127;
    ctx->buffer[used++] = 0x80;
    if (used > 112) {
        memset(ctx->buffer + used, 0, 128 - used);
        pl_sha512_transform(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 112 - used);
    store_be64(ctx->buffer + 112, ctx->count[1]);
    store_be64(ctx->buffer + 120, ctx->count[0]);
    pl_sha512_transform(ctx->state, ctx->buffer, 1);
    for (uint64_t& s : ctx->state) s = __builtin_bswap64(s);
    memcpy(out, ctx->state, sizeof ctx->state);
}

int pl_sha512_get_ctx(const pl_sha512_ctx* ctx, char* text, size_t size) {
    return digest_text_get(ctx, SHA512_FIELDS, text, size);
}

int pl_sha512_set_ctx(pl_sha512_ctx* ctx, const char* text) {
    pl_sha512_ctx tmp = *ctx;
    if (digest_text_set(&tmp, SHA512_FIELDS, text) != 0 || (tmp.count[0] & 7) != 0) return -1;
    *ctx = tmp;
    return 0;
}

void pl_sha512_buf(const void* data, size_t len, uint8_t* out) {
    pl_sha512_ctx ctx;
    pl_sha512_init(&ctx);
    pl_sha512_update(&ctx, data, len);
    pl_sha512_final(&ctx, out);
}
