// The six digests behind one interface, for table-driven tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh.h"

inline std::string to_hex(const uint8_t* d, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

// A running digest.
struct digest_run {
    virtual ~digest_run() = default;
    virtual void update(const void* data, size_t len) = 0;
    virtual std::string final_hex() = 0;
    virtual std::string text() = 0;
    virtual int load(const char* text) = 0;
};

struct digest_algo {
    const char* name;
    size_t digest_len;
    size_t fields;  // of the state text; 0 for XXH3's single dump
    std::function<std::unique_ptr<digest_run>()> make;
    std::function<std::string(const void*, size_t)> one_shot;
    std::vector<std::string> oracle;  // command reading standard input
};

template <typename C, size_t N, size_t TEXT>
struct own_ops {
    void (*init)(C*);
    void (*update)(C*, const void*, size_t);
    void (*final)(C*, uint8_t*);
    int (*get)(const C*, char*, size_t);
    int (*set)(C*, const char*);
    void (*buf)(const void*, size_t, uint8_t*);
};

template <typename C, size_t N, size_t TEXT>
struct own_run : digest_run {
    own_ops<C, N, TEXT> ops;
    C ctx{};
    explicit own_run(own_ops<C, N, TEXT> o) : ops(o) { ops.init(&ctx); }
    void update(const void* data, size_t len) override { ops.update(&ctx, data, len); }
    std::string final_hex() override {
        uint8_t d[N];
        ops.final(&ctx, d);
        return to_hex(d, N);
    }
    std::string text() override {
        char t[TEXT];
        ops.get(&ctx, t, sizeof t);
        return t;
    }
    int load(const char* text) override { return ops.set(&ctx, text); }
};

template <typename C, size_t N, size_t TEXT>
digest_algo own_algo(const char* name, size_t fields, own_ops<C, N, TEXT> ops, std::vector<std::string> oracle) {
    return {name, N, fields, [ops] { return std::unique_ptr<digest_run>(new own_run<C, N, TEXT>(ops)); },
            [ops](const void* d, size_t n) {
                uint8_t out[N];
                ops.buf(d, n, out);
                return to_hex(out, N);
            },
            std::move(oracle)};
}

struct xxh3_run : digest_run {
    XXH3_state_s* st = pl_xxh3_128_new();
    ~xxh3_run() override { pl_xxh3_128_free(st); }
    void update(const void* data, size_t len) override { pl_xxh3_128_update(st, data, len); }
    std::string final_hex() override {
        uint8_t d[PL_XXH3_128_DIGEST_LEN];
        pl_xxh3_128_final(st, d);
        return to_hex(d, sizeof d);
    }
    std::string text() override {
        char t[PL_XXH3_TEXT_SIZE];
        return pl_xxh3_128_get_ctx(st, t, sizeof t) == 0 ? t : "";
    }
    int load(const char* text) override { return pl_xxh3_128_set_ctx(st, text); }
};

inline const std::vector<digest_algo>& own_algos() {
    static const std::vector<digest_algo> v = {
        own_algo("md5", 70,
                 own_ops<pl_md5_ctx, PL_MD5_DIGEST_LEN, PL_MD5_TEXT_SIZE>{pl_md5_init, pl_md5_update, pl_md5_final,
                                                                          pl_md5_get_ctx, pl_md5_set_ctx, pl_md5_buf},
                 {"md5sum"}),
        own_algo("sha1", 71,
                 own_ops<pl_sha1_ctx, PL_SHA1_DIGEST_LEN, PL_SHA1_TEXT_SIZE>{
                     pl_sha1_init, pl_sha1_update, pl_sha1_final, pl_sha1_get_ctx, pl_sha1_set_ctx, pl_sha1_buf},
                 {"sha1sum"}),
        own_algo("sha256", 74,
                 own_ops<pl_sha256_ctx, PL_SHA256_DIGEST_LEN, PL_SHA256_TEXT_SIZE>{
                     pl_sha256_init, pl_sha256_update, pl_sha256_final, pl_sha256_get_ctx, pl_sha256_set_ctx,
                     pl_sha256_buf},
                 {"sha256sum"}),
        own_algo("sha512", 138,
                 own_ops<pl_sha512_ctx, PL_SHA512_DIGEST_LEN, PL_SHA512_TEXT_SIZE>{
                     pl_sha512_init, pl_sha512_update, pl_sha512_final, pl_sha512_get_ctx, pl_sha512_set_ctx,
                     pl_sha512_buf},
                 {"sha512sum"}),
        own_algo("sm3", 74,
                 own_ops<pl_sm3_ctx, PL_SM3_DIGEST_LEN, PL_SM3_TEXT_SIZE>{pl_sm3_init, pl_sm3_update, pl_sm3_final,
                                                                          pl_sm3_get_ctx, pl_sm3_set_ctx, pl_sm3_buf},
                 {"openssl", "dgst", "-sm3"}),
    };
    return v;
}

inline const digest_algo& xxh3_algo() {
    static const digest_algo a = {"xxh3", PL_XXH3_128_DIGEST_LEN, 0,
                                  [] { return std::unique_ptr<digest_run>(new xxh3_run); },
                                  [](const void* d, size_t n) {
                                      uint8_t out[PL_XXH3_128_DIGEST_LEN];
                                      pl_xxh3_128_buf(d, n, out);
                                      return to_hex(out, sizeof out);
                                  },
                                  {"xxhsum", "-H2"}};
    return a;
}

inline std::vector<digest_algo> all_algos() {
    std::vector<digest_algo> v = own_algos();
    v.push_back(xxh3_algo());
    return v;
}

// Deterministic bytes (xorshift64) for test data.
inline std::string test_bytes(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9e3779b97f4a7c15ULL + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}
