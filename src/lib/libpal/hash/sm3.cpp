#include "libpal/hash/sm3.h"

#include <cstring>
#include <utility>

#include "libpal/hash/digest_feed.h"
#include "libpal/hash/digest_text.h"

namespace {

constexpr digest_field SM3_FIELDS[] = {
    {offsetof(pl_sm3_ctx, total), 4, 2},
    {offsetof(pl_sm3_ctx, state), 4, 8},
    {offsetof(pl_sm3_ctx, buffer), 1, 64},
};

inline uint32_t p0(uint32_t x) { return x ^ rotl(x, 9) ^ rotl(x, 17); }
inline uint32_t p1(uint32_t x) { return x ^ rotl(x, 15) ^ rotl(x, 23); }

// The round constant of round j, rotated left by j mod 32.
constexpr uint32_t tj(int j) {
    uint32_t t = j < 16 ? 0x79cc4519u : 0x7a879d8au;
    int r = j % 32;
    return r ? (t << r) | (t >> (32 - r)) : t;
}

// Round J of 64 on a 16-word rolling message expansion (W[J+4] is made
// here, four rounds ahead of its use); the working words are renamed by the
// caller: b and f are rotated in place, d and h take the new c and g.
template <int J>
inline void sm3_round(uint32_t a, uint32_t& b, uint32_t c, uint32_t& d, uint32_t e, uint32_t& f, uint32_t g,
                      uint32_t& h, uint32_t w[16]) {
    if constexpr (J + 4 >= 16) {
        constexpr int n = J + 4;
        w[n & 15] = p1(w[(n - 16) & 15] ^ w[(n - 9) & 15] ^ rotl(w[(n - 3) & 15], 15)) ^ rotl(w[(n - 13) & 15], 7) ^
                    w[(n - 6) & 15];
    }
    const uint32_t wj = w[J & 15];
    const uint32_t wj4 = w[(J + 4) & 15];
    const uint32_t a12 = rotl(a, 12);
    constexpr uint32_t t = tj(J);
    const uint32_t ss1 = rotl(a12 + e + t, 7);
    const uint32_t ss2 = ss1 ^ a12;
    uint32_t ff, gg;
    if constexpr (J < 16) {
        ff = a ^ b ^ c;
        gg = e ^ f ^ g;
    } else {
        ff = (a & b) | (c & (a | b));
        gg = g ^ (e & (f ^ g));
    }
    const uint32_t tt1 = ff + d + ss2 + (wj ^ wj4);
    const uint32_t tt2 = gg + h + ss1 + wj;
    b = rotl(b, 9);
    f = rotl(f, 19);
    d = tt1;
    h = p0(tt2);
}

template <int J>
inline void four_rounds(uint32_t* v, uint32_t w[16]) {
    uint32_t &a = v[0], &b = v[1], &c = v[2], &d = v[3], &e = v[4], &f = v[5], &g = v[6], &h = v[7];
    sm3_round<J>(a, b, c, d, e, f, g, h, w);
    sm3_round<J + 1>(d, a, b, c, h, e, f, g, w);
    sm3_round<J + 2>(c, d, a, b, g, h, e, f, w);
    sm3_round<J + 3>(b, c, d, a, f, g, h, e, w);
}

template <int... G>
inline void all_rounds(uint32_t* v, uint32_t w[16], std::integer_sequence<int, G...>) {
    (four_rounds<4 * G>(v, w), ...);
}

// The SM3 compression function over n whole blocks.
void pl_sm3_compress(uint32_t state[8], const uint8_t* p, size_t n) {
    uint32_t v[8];
    memcpy(v, state, sizeof v);
    for (; n > 0; n--, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
        uint32_t v0[8];
        memcpy(v0, v, sizeof v);
        all_rounds(v, w, std::make_integer_sequence<int, 16>{});
        for (int i = 0; i < 8; i++) v[i] ^= v0[i];
    }
    memcpy(state, v, sizeof v);
}

}  // namespace

void pl_sm3_init(pl_sm3_ctx* ctx) {
    static constexpr uint32_t iv[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                                       0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};
    memset(ctx, 0, sizeof *ctx);  // no stale bytes in the state text
    memcpy(ctx->state, iv, sizeof iv);
}

void pl_sm3_update(pl_sm3_ctx* ctx, const void* data, size_t len) {
    uint64_t total = count_get(ctx->total);
    size_t used = static_cast<size_t>(total & 63);
    count_set(ctx->total, total + len);
    digest_feed(ctx->buffer, used, static_cast<const uint8_t*>(data), len,
                [ctx](const uint8_t* p, size_t n) { pl_sm3_compress(ctx->state, p, n); });
}

void pl_sm3_final(pl_sm3_ctx* ctx, uint8_t* out) {
    const uint64_t total = count_get(ctx->total);
    size_t used = static_cast<size_t>(total & 63);
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        pl_sm3_compress(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_be64(ctx->buffer + 56, total << 3);
    pl_sm3_compress(ctx->state, ctx->buffer, 1);
    if (out)
        for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->state[i]);
}

int pl_sm3_get_ctx(const pl_sm3_ctx* ctx, char* text, size_t size) {
    return digest_text_get(ctx, SM3_FIELDS, text, size);
}

int pl_sm3_set_ctx(pl_sm3_ctx* ctx, const char* text) {
    pl_sm3_ctx tmp = *ctx;
    if (digest_text_set(&tmp, SM3_FIELDS, text) != 0) return -1;
    *ctx = tmp;
    return 0;
}

void pl_sm3_buf(const void* data, size_t len, uint8_t* out) {
    pl_sm3_ctx ctx;
    pl_sm3_init(&ctx);
    pl_sm3_update(&ctx, data, len);
    pl_sm3_final(&ctx, out);
}
