// Update speed of each digest against OpenSSL's on the same 1 MiB buffer.
// Benchmarks only: the product itself never links OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <cstdint>
#include <vector>

#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sha512_avx2.h"
#include "libpal/hash/sha_ni.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh.h"

namespace {

const std::vector<uint8_t>& buffer() {
    static const std::vector<uint8_t> buf = [] {
        std::vector<uint8_t> b(1 << 20);
        uint64_t x = 88172645463325252ULL;
        for (uint8_t& c : b) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = static_cast<uint8_t>(x >> 56);
        }
        return b;
    }();
    return buf;
}

template <typename C>
void run_ours(benchmark::State& st, void (*init)(C*), void (*update)(C*, const void*, size_t)) {
    const auto& buf = buffer();
    C ctx;
    init(&ctx);
    for (auto _ : st) {
        update(&ctx, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
}

// SHA-1 and SHA-256 with the block routine chosen by the argument:
// 1 the SHA instructions, 0 the portable code.
template <typename C>
void run_ours_path(benchmark::State& st, void (*init)(C*), void (*update)(C*, const void*, size_t)) {
    const int want = static_cast<int>(st.range(0));
    if (want && !pl_sha_ni_available()) {
        st.SkipWithError("no SHA instructions on this processor");
        return;
    }
    const int prev = pl_sha_ni_set(want);
    run_ours(st, init, update);
    pl_sha_ni_set(prev);
}

// SHA-512 with the block routine chosen by the argument (PL_SHA512_*):
// 2 AVX-512VL, 1 AVX2/BMI2, 0 the portable code.
void run_sha512_path(benchmark::State& st) {
    const int want = static_cast<int>(st.range(0));
    const int prev = pl_sha512_avx2_set(want);
    if (pl_sha512_avx2_active() != want) {
        pl_sha512_avx2_set(prev);
        st.SkipWithError("this processor lacks the routine's instructions");
        return;
    }
    run_ours(st, pl_sha512_init, pl_sha512_update);
    pl_sha512_avx2_set(prev);
}

void run_openssl(benchmark::State& st, const EVP_MD* md) {
    const auto& buf = buffer();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!md || !ctx || !EVP_DigestInit_ex(ctx, md, nullptr)) {
        st.SkipWithError("OpenSSL digest unavailable");
        EVP_MD_CTX_free(ctx);
        return;
    }
    for (auto _ : st) {
        EVP_DigestUpdate(ctx, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
    EVP_MD_CTX_free(ctx);
}

void BM_md5_ours(benchmark::State& st) { run_ours(st, pl_md5_init, pl_md5_update); }
void BM_md5_openssl(benchmark::State& st) { run_openssl(st, EVP_md5()); }
void BM_sha1_ours(benchmark::State& st) { run_ours_path(st, pl_sha1_init, pl_sha1_update); }
void BM_sha1_openssl(benchmark::State& st) { run_openssl(st, EVP_sha1()); }
void BM_sha256_ours(benchmark::State& st) { run_ours_path(st, pl_sha256_init, pl_sha256_update); }
void BM_sha256_openssl(benchmark::State& st) { run_openssl(st, EVP_sha256()); }
void BM_sha512_ours(benchmark::State& st) { run_sha512_path(st); }
void BM_sha512_openssl(benchmark::State& st) { run_openssl(st, EVP_sha512()); }
void BM_sm3_ours(benchmark::State& st) { run_ours(st, pl_sm3_init, pl_sm3_update); }
void BM_sm3_openssl(benchmark::State& st) { run_openssl(st, EVP_sm3()); }

// XXH3 has no OpenSSL counterpart: ours (the library's dispatching update)
// against the library's plain update, built for the baseline processor.
void BM_xxh3_ours(benchmark::State& st) {
    const auto& buf = buffer();
    XXH3_state_s* s = pl_xxh3_128_new();
    for (auto _ : st) {
        pl_xxh3_128_update(s, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
    pl_xxh3_128_free(s);
}
void BM_xxh3_library_plain(benchmark::State& st) {
    const auto& buf = buffer();
    XXH3_state_t* s = XXH3_createState();
    XXH3_128bits_reset(s);
    for (auto _ : st) {
        XXH3_128bits_update(s, buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
    XXH3_freeState(s);
}

}  // namespace

BENCHMARK(BM_md5_ours);
BENCHMARK(BM_md5_openssl);
BENCHMARK(BM_sha1_ours)->ArgName("sha_ni")->Arg(1)->Arg(0);
BENCHMARK(BM_sha1_openssl);
BENCHMARK(BM_sha256_ours)->ArgName("sha_ni")->Arg(1)->Arg(0);
BENCHMARK(BM_sha256_openssl);
BENCHMARK(BM_sha512_ours)->ArgName("routine")->Arg(2)->Arg(1)->Arg(0);
BENCHMARK(BM_sha512_openssl);
BENCHMARK(BM_sm3_ours);
BENCHMARK(BM_sm3_openssl);
BENCHMARK(BM_xxh3_ours);
BENCHMARK(BM_xxh3_library_plain);

BENCHMARK_MAIN();
