#include "libcrypt/aes.h"

#include <array>
#include <cstring>

namespace {

using table = std::array<uint32_t, 256>;
using sbox = std::array<uint8_t, 256>;

constexpr uint8_t xtime(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t rotl8(uint8_t v, int n) { return static_cast<uint8_t>((v << n) | (v >> (8 - n))); }
constexpr uint32_t rotr32(uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

// The S-box: the multiplicative inverse in GF(2^8) (0 maps to 0), then the
// affine map. The inverse comes from the powers of the generator 3 and their
// logarithms (a^-1 = 3^(255 - log a)), a few hundred steps rather than a
// power per entry, so that every compiler's constant evaluation finishes.
constexpr sbox make_sbox() {
    uint8_t pow3[255]{};
    uint8_t log3[256]{};
    uint8_t v = 1;
    for (int i = 0; i < 255; i++) {
        pow3[i] = v;
        log3[v] = static_cast<uint8_t>(i);
        v = static_cast<uint8_t>(v ^ xtime(v));  // v * 3
    }
    sbox s{};
    for (int x = 0; x < 256; x++) {
        const uint8_t b = x ? pow3[(255 - log3[x]) % 255] : 0;
        s[x] = static_cast<uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
    }
    return s;
}

constexpr sbox make_inverse(const sbox& s) {
    sbox r{};
    for (int x = 0; x < 256; x++) r[s[x]] = static_cast<uint8_t>(x);
    return r;
}

constexpr uint32_t word4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

// Round table of one direction, rotated right by rot bits: entry x is the
// column (m0, m1, m2, m3) x box[x] in GF(2^8).
constexpr table make_round_table(const sbox& box, const uint8_t (&m)[4], int rot) {
    table t{};
    for (int x = 0; x < 256; x++) {
        uint8_t s = box[x];
        uint32_t w = word4(gmul(s, m[0]), gmul(s, m[1]), gmul(s, m[2]), gmul(s, m[3]));
        t[x] = rot ? rotr32(w, rot) : w;
    }
    return t;
}

constexpr uint8_t k_enc_col[4] = {2, 1, 1, 3};
constexpr uint8_t k_dec_col[4] = {14, 9, 13, 11};

constexpr sbox S = make_sbox();
constexpr sbox Si = make_inverse(S);
constexpr table Te0 = make_round_table(S, k_enc_col, 0);
constexpr table Te1 = make_round_table(S, k_enc_col, 8);
constexpr table Te2 = make_round_table(S, k_enc_col, 16);
constexpr table Te3 = make_round_table(S, k_enc_col, 24);
constexpr table Td0 = make_round_table(Si, k_dec_col, 0);
constexpr table Td1 = make_round_table(Si, k_dec_col, 8);
constexpr table Td2 = make_round_table(Si, k_dec_col, 16);
constexpr table Td3 = make_round_table(Si, k_dec_col, 24);

constexpr std::array<uint32_t, 10> make_rcon() {
    std::array<uint32_t, 10> r{};
    uint8_t v = 1;
    for (auto& w : r) {
        w = uint32_t{v} << 24;
        v = xtime(v);
    }
    return r;
}
constexpr auto Rcon = make_rcon();

static_assert(S[0x00] == 0x63 && S[0x01] == 0x7c && S[0x53] == 0xed && S[0xff] == 0x16);
static_assert(Si[0x63] == 0x00 && Si[0x16] == 0xff);
static_assert(Te0[0] == 0xc66363a5u && Te1[0] == 0xa5c66363u && Td0[0] == 0x51f4a750u);
static_assert(Rcon[0] == 0x01000000u && Rcon[9] == 0x36000000u);

uint32_t load_be(const uint8_t* p) { return word4(p[0], p[1], p[2], p[3]); }

void store_be(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t sub_word(uint32_t w) {
    return word4(S[w >> 24], S[(w >> 16) & 0xff], S[(w >> 8) & 0xff], S[w & 0xff]);
}

// Rounds for a schedule, or 0 when its round byte is not a known one.
int rounds_of(const aes_schedule* ks) {
    uint32_t b = ks->rounds16 & 0xff;
    return (b == 160 || b == 192 || b == 224) ? static_cast<int>(b / 16) : 0;
}

// FIPS-197 key expansion of nk key words.
void expand_enc(const uint8_t* key, int nk, aes_schedule* ks) {
    const int nr = nk + 6;
    const int total = 4 * (nr + 1);
    uint32_t* w = ks->rk;
    for (int i = 0; i < nk; i++) w[i] = load_be(key + 4 * i);
    uint32_t temp = 0;
    for (int i = nk; i < total; i++) {
        temp = w[i - 1];
        if (i % nk == 0)
            temp = sub_word(rotr32(temp, 24)) ^ Rcon[i / nk - 1];
        else if (nk > 6 && i % nk == 4)
            temp = sub_word(temp);
        w[i] = w[i - nk] ^ temp;
    }
    explicit_bzero(&temp, sizeof temp);
    for (int i = total; i < 60; i++) w[i] = 0;
    ks->rounds16 = static_cast<uint32_t>(16 * nr);
}

// The equivalent inverse cipher's schedule: the encryption round keys in
// reverse order, InvMixColumns applied to all but the first and last.
void expand_dec(const uint8_t* key, int nk, aes_schedule* ks) {
    aes_schedule enc;
    expand_enc(key, nk, &enc);
    const int nr = nk + 6;
    for (int r = 0; r <= nr; r++)
        for (int c = 0; c < 4; c++) ks->rk[4 * r + c] = enc.rk[4 * (nr - r) + c];
    for (int i = 4; i < 4 * nr; i++) {
        uint32_t v = ks->rk[i];
        ks->rk[i] = Td0[S[v >> 24]] ^ Td1[S[(v >> 16) & 0xff]] ^ Td2[S[(v >> 8) & 0xff]] ^ Td3[S[v & 0xff]];
    }
    for (int i = 4 * (nr + 1); i < 60; i++) ks->rk[i] = 0;
    ks->rounds16 = enc.rounds16;
    explicit_bzero(&enc, sizeof enc);
}

}  // namespace

int32_t aes_setkey_enc_128(const uint8_t* key, aes_schedule* ks) { return expand_enc(key, 4, ks), 0; }
int32_t aes_setkey_enc_192(const uint8_t* key, aes_schedule* ks) { return expand_enc(key, 6, ks), 0; }
int32_t aes_setkey_enc_256(const uint8_t* key, aes_schedule* ks) { return expand_enc(key, 8, ks), 0; }
int32_t aes_setkey_dec_128(const uint8_t* key, aes_schedule* ks) { return expand_dec(key, 4, ks), 0; }
int32_t aes_setkey_dec_192(const uint8_t* key, aes_schedule* ks) { return expand_dec(key, 6, ks), 0; }
int32_t aes_setkey_dec_256(const uint8_t* key, aes_schedule* ks) { return expand_dec(key, 8, ks), 0; }

namespace {

// Key words for a length in bytes or bits, 0 when it is neither.
int key_words(uint32_t key_len) {
    switch (key_len) {
        case 16: case 128: return 4;
        case 24: case 192: return 6;
        case 32: case 256: return 8;
        default: return 0;
    }
}

}  // namespace

int32_t aes_setkey_enc(const uint8_t* key, uint32_t key_len, aes_schedule* ks) {
    int nk = key_words(key_len);
    if (!nk) return 1;
    expand_enc(key, nk, ks);
    return 0;
}

int32_t aes_setkey_dec(const uint8_t* key, uint32_t key_len, aes_schedule* ks) {
    int nk = key_words(key_len);
    if (!nk) return 1;
    expand_dec(key, nk, ks);
    return 0;
}

int32_t aes_encrypt_block(const uint8_t* in, uint8_t* out, const aes_schedule* ks) {
    const int nr = rounds_of(ks);
    if (!nr) return 1;
    const uint32_t* rk = ks->rk;
    uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1];
    uint32_t s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
    for (int r = 1; r < nr; r++) {
        rk += 4;
        uint32_t t0 = Te0[s0 >> 24] ^ Te1[(s1 >> 16) & 0xff] ^ Te2[(s2 >> 8) & 0xff] ^ Te3[s3 & 0xff] ^ rk[0];
        uint32_t t1 = Te0[s1 >> 24] ^ Te1[(s2 >> 16) & 0xff] ^ Te2[(s3 >> 8) & 0xff] ^ Te3[s0 & 0xff] ^ rk[1];
        uint32_t t2 = Te0[s2 >> 24] ^ Te1[(s3 >> 16) & 0xff] ^ Te2[(s0 >> 8) & 0xff] ^ Te3[s1 & 0xff] ^ rk[2];
        uint32_t t3 = Te0[s3 >> 24] ^ Te1[(s0 >> 16) & 0xff] ^ Te2[(s1 >> 8) & 0xff] ^ Te3[s2 & 0xff] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return word4(S[a >> 24], S[(b >> 16) & 0xff], S[(c >> 8) & 0xff], S[d & 0xff]) ^ k;
    };
    uint32_t o0 = last(s0, s1, s2, s3, rk[0]), o1 = last(s1, s2, s3, s0, rk[1]);
    uint32_t o2 = last(s2, s3, s0, s1, rk[2]), o3 = last(s3, s0, s1, s2, rk[3]);
    store_be(out, o0), store_be(out + 4, o1), store_be(out + 8, o2), store_be(out + 12, o3);
    return 0;
}

int32_t aes_decrypt_block(const uint8_t* in, uint8_t* out, const aes_schedule* ks) {
    const int nr = rounds_of(ks);
    if (!nr) return 1;
    const uint32_t* rk = ks->rk;
    uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1];
    uint32_t s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
    for (int r = 1; r < nr; r++) {
        rk += 4;
        uint32_t t0 = Td0[s0 >> 24] ^ Td1[(s3 >> 16) & 0xff] ^ Td2[(s2 >> 8) & 0xff] ^ Td3[s1 & 0xff] ^ rk[0];
        uint32_t t1 = Td0[s1 >> 24] ^ Td1[(s0 >> 16) & 0xff] ^ Td2[(s3 >> 8) & 0xff] ^ Td3[s2 & 0xff] ^ rk[1];
        uint32_t t2 = Td0[s2 >> 24] ^ Td1[(s1 >> 16) & 0xff] ^ Td2[(s0 >> 8) & 0xff] ^ Td3[s3 & 0xff] ^ rk[2];
        uint32_t t3 = Td0[s3 >> 24] ^ Td1[(s2 >> 16) & 0xff] ^ Td2[(s1 >> 8) & 0xff] ^ Td3[s0 & 0xff] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return word4(Si[a >> 24], Si[(b >> 16) & 0xff], Si[(c >> 8) & 0xff], Si[d & 0xff]) ^ k;
    };
    uint32_t o0 = last(s0, s3, s2, s1, rk[0]), o1 = last(s1, s0, s3, s2, rk[1]);
    uint32_t o2 = last(s2, s1, s0, s3, rk[2]), o3 = last(s3, s2, s1, s0, rk[3]);
    store_be(out, o0), store_be(out + 4, o1), store_be(out + 8, o2), store_be(out + 12, o3);
    return 0;
}
