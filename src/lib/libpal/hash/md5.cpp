#include "libpal/hash/md5.h"

#include <cstring>
#include <memory>

#include "libpal/hash/digest_feed.h"
#include "libpal/hash/digest_text.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"

namespace {

constexpr digest_field MD5_FIELDS[] = {
    {offsetof(pl_md5_ctx, state), 4, 4},
    {offsetof(pl_md5_ctx, count), 4, 2},
    {offsetof(pl_md5_ctx, buffer), 1, 64},
};

// The four rounds of the standard; the G round adds its two halves
// separately, which shortens the dependency chain on b.
template <int S>
inline void step_f(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
    a += (d ^ (b & (c ^ d))) + x;
    a = rotl(a, S) + b;
}
template <int S>
inline void step_g(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
    a += x + (c & ~d);
    a += b & d;
    a = rotl(a, S) + b;
}
template <int S>
inline void step_h(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
    a += (b ^ c ^ d) + x;
    a = rotl(a, S) + b;
}
template <int S>
inline void step_i(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
    a += (c ^ (b | ~d)) + x;
    a = rotl(a, S) + b;
}

// The MD5 compression function over n whole blocks.
void pl_md5_transform(uint32_t state[4], const uint8_t* p, size_t n) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; n > 0; n--, p += 64) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        uint32_t x[16];
        for (int i = 0; i < 16; i++) x[i] = load_le32(p + 4 * i);

        step_f<7>(a, b, c, d, x[0] + 0xd76aa478);
        step_f<12>(d, a, b, c, x[1] + 0xe8c7b756);
        step_f<17>(c, d, a, b, x[2] + 0x242070db);
        step_f<22>(b, c, d, a, x[3] + 0xc1bdceee);
        step_f<7>(a, b, c, d, x[4] + 0xf57c0faf);
        step_f<12>(d, a, b, c, x[5] + 0x4787c62a);
        step_f<17>(c, d, a, b, x[6] + 0xa8304613);
        step_f<22>(b, c, d, a, x[7] + 0xfd469501);
        step_f<7>(a, b, c, d, x[8] + 0x698098d8);
        step_f<12>(d, a, b, c, x[9] + 0x8b44f7af);
        step_f<17>(c, d, a, b, x[10] + 0xffff5bb1);
        step_f<22>(b, c, d, a, x[11] + 0x895cd7be);
        step_f<7>(a, b, c, d, x[12] + 0x6b901122);
        step_f<12>(d, a, b, c, x[13] + 0xfd987193);
        step_f<17>(c, d, a, b, x[14] + 0xa679438e);
        step_f<22>(b, c, d, a, x[15] + 0x49b40821);

        step_g<5>(a, b, c, d, x[1] + 0xf61e2562);
        step_g<9>(d, a, b, c, x[6] + 0xc040b340);
        step_g<14>(c, d, a, b, x[11] + 0x265e5a51);
        step_g<20>(b, c, d, a, x[0] + 0xe9b6c7aa);
        step_g<5>(a, b, c, d, x[5] + 0xd62f105d);
        step_g<9>(d, a, b, c, x[10] + 0x02441453);
        step_g<14>(c, d, a, b, x[15] + 0xd8a1e681);
        step_g<20>(b, c, d, a, x[4] + 0xe7d3fbc8);
        step_g<5>(a, b, c, d, x[9] + 0x21e1cde6);
        step_g<9>(d, a, b, c, x[14] + 0xc33707d6);
        step_g<14>(c, d, a, b, x[3] + 0xf4d50d87);
        step_g<20>(b, c, d, a, x[8] + 0x455a14ed);
        step_g<5>(a, b, c, d, x[13] + 0xa9e3e905);
        step_g<9>(d, a, b, c, x[2] + 0xfcefa3f8);
        step_g<14>(c, d, a, b, x[7] + 0x676f02d9);
        step_g<20>(b, c, d, a, x[12] + 0x8d2a4c8a);

        step_h<4>(a, b, c, d, x[5] + 0xfffa3942);
        step_h<11>(d, a, b, c, x[8] + 0x8771f681);
        step_h<16>(c, d, a, b, x[11] + 0x6d9d6122);
        step_h<23>(b, c, d, a, x[14] + 0xfde5380c);
        step_h<4>(a, b, c, d, x[1] + 0xa4beea44);
        step_h<11>(d, a, b, c, x[4] + 0x4bdecfa9);
        step_h<16>(c, d, a, b, x[7] + 0xf6bb4b60);
        step_h<23>(b, c, d, a, x[10] + 0xbebfbc70);
        step_h<4>(a, b, c, d, x[13] + 0x289b7ec6);
        step_h<11>(d, a, b, c, x[0] + 0xeaa127fa);
        step_h<16>(c, d, a, b, x[3] + 0xd4ef3085);
        step_h<23>(b, c, d, a, x[6] + 0x04881d05);
        step_h<4>(a, b, c, d, x[9] + 0xd9d4d039);
        step_h<11>(d, a, b, c, x[12] + 0xe6db99e5);
        step_h<16>(c, d, a, b, x[15] + 0x1fa27cf8);
        step_h<23>(b, c, d, a, x[2] + 0xc4ac5665);

        step_i<6>(a, b, c, d, x[0] + 0xf4292244);
        step_i<10>(d, a, b, c, x[7] + 0x432aff97);
        step_i<15>(c, d, a, b, x[14] + 0xab9423a7);
        step_i<21>(b, c, d, a, x[5] + 0xfc93a039);
        step_i<6>(a, b, c, d, x[12] + 0x655b59c3);
        step_i<10>(d, a, b, c, x[3] + 0x8f0ccc92);
        step_i<15>(c, d, a, b, x[10] + 0xffeff47d);
        step_i<21>(b, c, d, a, x[1] + 0x85845dd1);
        step_i<6>(a, b, c, d, x[8] + 0x6fa87e4f);
        step_i<10>(d, a, b, c, x[15] + 0xfe2ce6e0);
        step_i<15>(c, d, a, b, x[6] + 0xa3014314);
        step_i<21>(b, c, d, a, x[13] + 0x4e0811a1);
        step_i<6>(a, b, c, d, x[4] + 0xf7537e82);
        step_i<10>(d, a, b, c, x[11] + 0xbd3af235);
        step_i<15>(c, d, a, b, x[2] + 0x2ad7d2bb);
        step_i<21>(b, c, d, a, x[9] + 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

}  // namespace

void pl_md5_init(pl_md5_ctx* ctx) {
    memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void pl_md5_update(pl_md5_ctx* ctx, const void* data, size_t len) {
    uint64_t bits = count_get(ctx->count);
    size_t used = static_cast<size_t>((bits >> 3) & 63);
    count_set(ctx->count, bits + (uint64_t{len} << 3));
    digest_feed(ctx->buffer, used, static_cast<const uint8_t*>(data), len,
                [ctx](const uint8_t* p, size_t n) { pl_md5_transform(ctx->state, p, n); });
}

void pl_md5_final(pl_md5_ctx* ctx, uint8_t* out) {
    size_t used = (ctx->count[0] >> 3) & 63;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        memset(ctx->buffer + used, 0, 64 - used);
        pl_md5_transform(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    memset(ctx->buffer + used, 0, 56 - used);
    store_le32(ctx->buffer + 56, ctx->count[0]);
    store_le32(ctx->buffer + 60, ctx->count[1]);
    pl_md5_transform(ctx->state, ctx->buffer, 1);
    if (out)
        for (int i = 0; i < 4; i++) store_le32(out + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof *ctx);
}

int pl_md5_get_ctx(const pl_md5_ctx* ctx, char* text, size_t size) {
    return digest_text_get(ctx, MD5_FIELDS, text, size);
}

int pl_md5_set_ctx(pl_md5_ctx* ctx, const char* text) {
    pl_md5_ctx tmp = *ctx;
    if (digest_text_set(&tmp, MD5_FIELDS, text) != 0 || (tmp.count[0] & 7) != 0) return -1;
    *ctx = tmp;
    return 0;
}

void pl_md5_buf(const void* data, size_t len, uint8_t* out) {
    pl_md5_ctx ctx;
    pl_md5_init(&ctx);
    pl_md5_update(&ctx, data, len);
    pl_md5_final(&ctx, out);
}

namespace {

void to_hex(const uint8_t* d, size_t n, char* out) {
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 15];
    }
    out[2 * n] = '\0';
}

}  // namespace

char* pl_md5_str_hex(const char* text, char* out) {
    out[0] = '\0';
    if (!text || !*text) return out;
    uint8_t d[PL_MD5_DIGEST_LEN];
    pl_md5_buf(text, strlen(text), d);
    to_hex(d, sizeof d, out);
    return out;
}

int pl_md5_file(const char* path, uint8_t* out) {
    size_t size = 0;
    std::unique_ptr<void, pl_mem_deleter> data(os_file_read_all(path, &size, 0));
    if (!data || size == 0) return -1;
    pl_md5_buf(data.get(), size, out);
    return 0;
}

int pl_md5_file_hex(const char* path, char* out) {
    out[0] = '\0';
    uint8_t d[PL_MD5_DIGEST_LEN];
    if (pl_md5_file(path, d) != 0) return -1;
    to_hex(d, sizeof d, out);
    return 0;
}
