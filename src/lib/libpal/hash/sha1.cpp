#include "libpal/hash/sha1.h"

#include <cstring>
#include <utility>

#include "libpal/hash/digest_feed.h"
#include "libpal/hash/digest_text.h"
#include "libpal/hash/sha_ni.h"

namespace {

constexpr digest_field SHA1_FIELDS[] = {
    {offsetof(pl_sha1_ctx, state), 4, 5},
    {offsetof(pl_sha1_ctx, count), 4, 2},
    {offsetof(pl_sha1_ctx, buffer), 1, 64},
};

// Round R of 80 (0..79) on a 16-word rolling message schedule; the callers
// rename the five working words instead of moving them.
template <int R>
inline void sha1_round(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w[16]) {
    uint32_t x;
    if constexpr (R < 16) {
        x = w[R];
    } else {
        x = rotl(w[(R + 13) & 15] ^ w[(R + 8) & 15] ^ w[(R + 2) & 15] ^ w[R & 15], 1);
        w[R & 15] = x;
    }
    uint32_t f, k;
    if constexpr (R < 20) {
        f = d ^ (b & (c ^ d));
        k = 0x5a827999;
    } else if constexpr (R < 40) {
        f = b ^ c ^ d;
        k = 0x6ed9eba1;
    } else if constexpr (R < 60) {
        f = (b & c) | (d & (b | c));
        k = 0x8f1bbcdc;
    } else {
        f = b ^ c ^ d;
        k = 0xca62c1d6;
    }
    e += rotl(a, 5) + f + k + x;
    b = rotl(b, 30);
}

// Five rounds from R on, the working words rotating one place each round.
template <int R>
inline void five_rounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t w[16]) {
    sha1_round<R>(a, b, c, d, e, w);
    sha1_round<R + 1>(e, a, b, c, d, w);
    sha1_round<R + 2>(d, e, a, b, c, w);
    sha1_round<R + 3>(c, d, e, a, b, w);
    sha1_round<R + 4>(b, c, d, e, a, w);
}

template <int... G>
inline void all_rounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t w[16],
                       std::integer_sequence<int, G...>) {
    (five_rounds<5 * G>(a, b, c, d, e, w), ...);
}

// The portable SHA-1 compression function over n whole blocks.
void sha1_blocks_portable(uint32_t state[5], const uint8_t* p, size_t n) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (; n > 0; n--, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
        all_rounds(a, b, c, d, e, w, std::make_integer_sequence<int, 16>{});
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
}

// The SHA-1 compression function: the SHA instructions when chosen.
void pl_sha1_transform(uint32_t state[5], const uint8_t* p, size_t n) {
    if (pl_sha_ni_active())
        pl_sha1_ni_blocks(state, p, n);
    else
        sha1_blocks_portable(state, p, n);
}

}  // namespace

void pl_sha1_init(pl_sha1_ctx* ctx) {
    memset(ctx, 0, sizeof *ctx);  // no stale bytes in the state text
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xc3d2e1f0;
}

void pl_sha1_update(pl_sha1_ctx* ctx, const void* data, size_t len) {
    uint64_t bits = count_get(ctx->count);
    size_t used = static_cast<size_t>((bits >> 3) & 63);
    count_set(ctx->count, bits + (uint64_t{len} << 3));
    digest_feed(ctx->buffer, used, static_cast<const uint8_t*>(data), len,
                [ctx](const uint8_t* p, size_t n) { pl_sha1_transform(ctx->state, p, n); });
}

void pl_sha1_final(pl_sha1_ctx* ctx, uint8_t* out) {
    size_t used = (ctx->count[0] >> 3) & 63;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        pl_sha1_transform(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_be32(ctx->buffer + 56, ctx->count[1]);
    store_be32(ctx->buffer + 60, ctx->count[0]);
    pl_sha1_transform(ctx->state, ctx->buffer, 1);
    if (out)
        for (int i = 0; i < 5; i++) store_be32(out + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof *ctx);
}

int pl_sha1_get_ctx(const pl_sha1_ctx* ctx, char* text, size_t size) {
    return digest_text_get(ctx, SHA1_FIELDS, text, size);
}

int pl_sha1_set_ctx(pl_sha1_ctx* ctx, const char* text) {
    pl_sha1_ctx tmp = *ctx;
    if (digest_text_set(&tmp, SHA1_FIELDS, text) != 0 || (tmp.count[0] & 7) != 0) return -1;
    *ctx = tmp;
    return 0;
}

void pl_sha1_buf(const void* data, size_t len, uint8_t* out) {
    pl_sha1_ctx ctx;
    pl_sha1_init(&ctx);
    pl_sha1_update(&ctx, data, len);
    pl_sha1_final(&ctx, out);
}
