#include "libpal/hash/sha256.h"

#include <cstring>
#include <utility>

#include "libpal/hash/digest_feed.h"
#include "libpal/hash/digest_text.h"
#include "libpal/hash/sha256_round.h"
#include "libpal/hash/sha_ni.h"

namespace {

constexpr digest_field SHA256_FIELDS[] = {
    {offsetof(pl_sha256_ctx, total), 8, 1},
    {offsetof(pl_sha256_ctx, state), 4, 8},
    {offsetof(pl_sha256_ctx, buffered), 4, 1},
    {offsetof(pl_sha256_ctx, buffer), 1, 64},
};


// Round R of 64 on a 16-word rolling message schedule; the eight working
// words are renamed by the caller instead of moved.
template <int R>
inline void sha256_round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g,
                         uint32_t& h, uint32_t w[16]) {
    if constexpr (R >= 16) {
        uint32_t w15 = w[(R + 1) & 15], w2 = w[(R + 14) & 15];
        uint32_t s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
        uint32_t s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
        w[R & 15] += s0 + w[(R + 9) & 15] + s1;
    }
    uint32_t t1 =
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + k_sha256_round[R] + w[R & 15];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

template <int R>
inline void eight_rounds(uint32_t* v, uint32_t w[16]) {
    uint32_t &a = v[0], &b = v[1], &c = v[2], &d = v[3], &e = v[4], &f = v[5], &g = v[6], &h = v[7];
    sha256_round<R>(a, b, c, d, e, f, g, h, w);
    sha256_round<R + 1>(h, a, b, c, d, e, f, g, w);
    sha256_round<R + 2>(g, h, a, b, c, d, e, f, w);
    sha256_round<R + 3>(f, g, h, a, b, c, d, e, w);
    sha256_round<R + 4>(e, f, g, h, a, b, c, d, w);
    sha256_round<R + 5>(d, e, f, g, h, a, b, c, w);
    sha256_round<R + 6>(c, d, e, f, g, h, a, b, w);
    sha256_round<R + 7>(b, c, d, e, f, g, h, a, w);
}

template <int... G>
inline void all_rounds(uint32_t* v, uint32_t w[16], std::integer_sequence<int, G...>) {
    (eight_rounds<8 * G>(v, w), ...);
}

// The portable SHA-256 compression function over n whole blocks.
void sha256_blocks_portable(uint32_t state[8], const uint8_t* p, size_t n) {
    uint32_t v[8];
    memcpy(v, state, sizeof v);
    for (; n > 0; n--, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
        uint32_t v0[8];
        memcpy(v0, v, sizeof v);
        all_rounds(v, w, std::make_integer_sequence<int, 8>{});
        for (int i = 0; i < 8; i++) v[i] += v0[i];
    }
    memcpy(state, v, sizeof v);
}

// The SHA-256 compression function: the SHA instructions when chosen.
void pl_sha256_transform(uint32_t state[8], const uint8_t* p, size_t n) {
    if (pl_sha_ni_active())
        pl_sha256_ni_blocks(state, p, n);
    else
        sha256_blocks_portable(state, p, n);
}

}  // namespace

void pl_sha256_init(pl_sha256_ctx* ctx) {
    static constexpr uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memset(ctx, 0, sizeof *ctx);  // no stale bytes in the state text
    memcpy(ctx->state, iv, sizeof iv);
}

void pl_sha256_update(pl_sha256_ctx* ctx, const void* data, size_t len) {
    size_t used = ctx->buffered & 63;
    ctx->total += uint64_t{len} << 3;
    ctx->buffered = static_cast<uint32_t>((used + len) & 63);
    digest_feed(ctx->buffer, used, static_cast<const uint8_t*>(data), len,
                [ctx](const uint8_t* p, size_t n) { pl_sha256_transform(ctx->state, p, n); });
}

void pl_sha256_final(pl_sha256_ctx* ctx, uint8_t* out) {
    size_t used = ctx->buffered & 63;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        pl_sha256_transform(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_be64(ctx->buffer + 56, ctx->total);
    pl_sha256_transform(ctx->state, ctx->buffer, 1);
    if (out)
        for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->state[i]);
}

int pl_sha256_get_ctx(const pl_sha256_ctx* ctx, char* text, size_t size) {
    return digest_text_get(ctx, SHA256_FIELDS, text, size);
}

int pl_sha256_set_ctx(pl_sha256_ctx* ctx, const char* text) {
    pl_sha256_ctx tmp = *ctx;
    if (digest_text_set(&tmp, SHA256_FIELDS, text) != 0) return -1;
    if (tmp.buffered >= 64 || (tmp.total & 7) != 0 || tmp.buffered != ((tmp.total >> 3) & 63)) return -1;
    *ctx = tmp;
    return 0;
}

void pl_sha256_buf(const void* data, size_t len, uint8_t* out) {
    pl_sha256_ctx ctx;
    pl_sha256_init(&ctx);
    pl_sha256_update(&ctx, data, len);
    pl_sha256_final(&ctx, out);
}
